"""The state model and the run's transitions, fed with facts and stimuli: no process, no file.

One table holds every reason a job is not current, as the facts that cause it; the plan's
walk over a chain shows how an upstream's state reaches its downstream jobs; the run state
shows what a job's end leads to (promote, record, retry, skip, cut off).
"""

from __future__ import annotations

import pytest
from test_run_plan import chain, jobs_for

from quarn.runner.executors.transitions import (
    Ending,
    Finish,
    Mark,
    Promote,
    Record,
    Retry,
    RunState,
)
from quarn.runner.plan.freshness import plan_jobs
from quarn.runner.state.assess import (
    Assessment,
    Facts,
    Observed,
    Upstream,
    Version,
    assess,
)
from quarn.runner.state.words import Action, Reason, State, Status, Why

PARTS = {"code": "c1", "declaration": "d1", "key": "k1"}
RECORD = {
    "asset": "b",
    "status": "succeeded",
    "version": "v1",
    "parts": PARTS,
    "digest": "b1",
    "inputs": {"a/_": "a1"},
    "succeeded_at": "2026-01-05T10:00:00Z",
}
CURRENT_UP = Assessment(State.CURRENT, Action.KEEP, (), "a1")


def facts(record=RECORD, version=("v1", PARTS), observed=(True, "b1"), up=CURRENT_UP, **more):
    return Facts(
        record,
        Version(*version) if version else None,
        Observed(*observed) if observed else None,
        [Upstream("a/_", "a", up)] if up else [],
        **more,
    )


# name -> (facts, state, action, reasons in order)
STALE_CODE = ("v2", {**PARTS, "code": "c2"})
# fmt: off
TABLE = {
    "current": (facts(), State.CURRENT, Action.KEEP, []),
    "never ran": (facts(None, observed=None), State.NEVER_RUN, Action.RUN, [Why.NEVER_RAN]),
    "never succeeded": (facts({"asset": "b", "status": "skipped"}, observed=None),
                        State.NEVER_RUN, Action.RUN, [Why.NEVER_RAN]),
    "forced": (facts(forced=True), State.STALE, Action.RUN, [Why.FORCED]),
    "code": (facts(version=STALE_CODE), State.STALE, Action.RUN, [Why.CODE]),
    "declaration and key": (facts(version=("v2", {**PARTS, "declaration": "d2", "key": "k2"})),
                            State.STALE, Action.RUN, [Why.DECLARATION, Why.KEY]),
    "version of an older manifest": (facts({**RECORD, "parts": None}, version=("v2", PARTS)),
                                     State.STALE, Action.RUN, [Why.CODE]),
    "upstream set": (facts({**RECORD, "inputs": {"a/_": "a1", "gone/_": "x"}}),
                     State.STALE, Action.RUN, [Why.UPSTREAMS]),
    "input value": (facts(up=Assessment(State.CURRENT, Action.KEEP, (), "a2")),
                    State.STALE, Action.RUN, [Why.INPUT]),
    "upstream runs": (facts(up=Assessment(State.STALE, Action.RUN)),
                      State.STALE, Action.PENDING, [Why.UPSTREAM]),
    "serializer": (facts(version=("v2", {**PARTS, "serializer": "s2"})),
                   State.STALE, Action.RUN, [Why.SERIALIZER]),
    "parameter": (facts(version=("v2", {**PARTS, "params": "p2", "params.t": "t2"})),
                  State.STALE, Action.RUN, [Why.PARAMETER]),
    "seen dependency": (facts(changed=[Reason(Why.DEPENDENCY, "data.csv changed")]),
                        State.STALE, Action.RUN, [Why.DEPENDENCY]),
    "value tampered": (facts(observed=(True, "other")), State.STALE, Action.RUN, [Why.VALUE]),
    "value missing": (facts(observed=(True, None)), State.STALE, Action.RUN, [Why.VALUE]),
    "no success record": (facts(observed=(False, None)), State.STALE, Action.RUN, [Why.VALUE]),
    "last run failed": (facts({**RECORD, "status": "failed"}),
                        State.FAILED, Action.RUN, [Why.FAILED]),
    "interrupted": (facts({**RECORD, "status": "running"}),
                    State.INTERRUPTED, Action.RUN, [Why.INTERRUPTED]),
    "running now": (facts({**RECORD, "status": "running"}, running=True),
                    State.RUNNING, Action.KEEP, []),
    "skipped, upstream back unchanged": (facts({**RECORD, "status": "skipped"}),
                                         State.CURRENT, Action.KEEP, []),
    "stale outside the partitions": (facts(version=STALE_CODE, requested=False),
                                     State.STALE, Action.BLOCKED, [Why.CODE]),
    "waiting on a stale job outside": (facts(up=Assessment(State.STALE, Action.BLOCKED)),
                                       State.STALE, Action.WAITING, [Why.WAITING]),
    "version unknown: judged by its record": (facts(version=None),
                                              State.CURRENT, Action.KEEP, []),
}
# fmt: on


@pytest.mark.parametrize(("given", "state", "action", "reasons"), TABLE.values(), ids=TABLE)
def test_facts_give_one_state_with_named_reasons(given, state, action, reasons):
    found = assess(given)
    assert (found.state, found.action) == (state, action)
    assert [r.why for r in found.reasons] == reasons
    assert found.digest == ("b1" if action is Action.KEEP and given.record else None)


def test_the_waiting_reason_names_the_stale_jobs_outside_through_waiting_upstreams():
    outside = Assessment(State.STALE, Action.WAITING, blockers=("x[k=1]", "x[k=2]"))
    found = assess(facts(up=outside))
    assert found.blockers == ("x[k=1]", "x[k=2]")
    assert found.reasons[-1].text.endswith("not up to date: x[k=1], x[k=2]")


# The plan's walk: a, then b and side on a, then c on b.
WALK = {
    "all current": ({}, {}, "current current current current"),
    "code edit": ({"b": {"version": "old"}}, {}, "current run pending current"),
    "never succeeded": ({"a": None}, {}, "run pending pending pending"),
    "upstream re-run since": ({"b": {"inputs": {"a/_": "old"}}}, {}, "current run pending current"),
    "result not a success": ({}, {"c": (False, None)}, "current current run current"),
}


@pytest.mark.parametrize(("changes", "observed", "expected"), WALK.values(), ids=WALK)
def test_the_walk_carries_an_upstream_that_runs_to_its_downstream(changes, observed, expected):
    jobs = jobs_for(*chain())
    records = {
        j.id: {"status": "succeeded", "version": j.version, "digest": f"d-{j.id}",
               "inputs": {d.id: f"d-{d.id}" for d in j.deps}, "value": "value.json"}
        for j in jobs
    }  # fmt: skip
    for label, change in changes.items():
        records[f"{label}/_"] = None if change is None else {**records[f"{label}/_"], **change}
    records = {k: v for k, v in records.items() if v is not None}

    def observe(job, record):
        return Observed(*observed.get(job.asset.label, (True, record.get("digest"))))

    plan = plan_jobs(jobs, records, observe)
    by_label = {j.asset.label: j for j in jobs}
    got = [plan.assessments[by_label[n]].action for n in ("a", "b", "c", "side")]
    assert " ".join(got) == expected
    forced = plan_jobs(jobs, records, observe, forced=jobs[:1])
    assert forced.action(jobs[0]) is Action.RUN  # forcing names one job, not its downstream
    assert forced.action(by_label["side"]) in (Action.PENDING, Action.RUN)


# The run state -------------------------------------------------------------------------------

REPORT = {"value": "value.json", "digest": "new", "stat": [1, 2, 3, 4], "result_stat": [5, 6, 7, 8]}


def run_state(retries=0):
    """a -> b -> c and a -> side, all to run; b was current before a runs."""
    jobs = jobs_for(*chain())
    records = {j.id: {"status": "succeeded", "version": j.version, "digest": "old",
                      "inputs": {d.id: "old" for d in j.deps}} for j in jobs}  # fmt: skip
    records["a/_"] = {"status": "failed"}
    plan = plan_jobs(jobs, records, lambda job, record: Observed(True, record.get("digest")))
    return {j.asset.label: j for j in jobs}, RunState(jobs, plan, retries)


def succeed(state, job, digest="new"):
    effects = state.ended(job, Ending(0, True, {**REPORT, "digest": digest}, 1.0))
    assert effects == [Promote(job, failed=False)]
    return state.promoted(job, "", 1.0, "2026-01-05T10:00:00Z")


def test_a_success_is_promoted_then_recorded_and_an_unchanged_value_cuts_off_its_downstream():
    by, state = run_state()
    job, _ = state.next_job(0.0)
    assert job is by["a"]
    recorded, finished = succeed(state, job, digest="old")
    assert isinstance(recorded, Record) and recorded.entry["digest"] == "old"
    assert recorded.entry["parts"] == job.parts and recorded.entry["function"] == "pipe:a"
    assert isinstance(finished, Finish) and finished.outcome.status is Status.SUCCEEDED
    # b, c and side were pending on a: the same bytes again make them current unrun
    job, effects = state.next_job(0.0)
    assert job is None
    assert {e.outcome.job.asset.label for e in effects} == {"b", "c", "side"}
    assert {e.outcome.status for e in effects} == {Status.UP_TO_DATE}


def test_other_bytes_run_the_downstream_with_the_new_digest_recorded_as_consumed():
    by, state = run_state()
    succeed(state, state.next_job(0.0)[0])
    started = [state.next_job(0.0)[0], state.next_job(0.0)[0]]
    assert {j.asset.label for j in started} == {"b", "side"}
    record = succeed(state, by["b"])[0]
    assert record.entry["inputs"] == {"a/_": "new"}


@pytest.mark.parametrize(
    ("ending", "retries", "expected"),
    [
        (Ending(1, False, None, 1.0, "ValueError: bad"), 1, "retry"),
        (Ending(-9, None, None, 1.0, "killed"), 1, "retry"),
        (Ending(1, None, None, 1.0, "no record"), 1, "fail"),  # exited without a record
        (Ending(0, True, None, 1.0), 0, "fail"),  # a success that described nothing
        (Ending(1, False, None, 1.0, "ValueError: bad"), 0, "fail"),
        (Ending(-15, None, None, 1.0, stopped=True), 0, "interrupted"),
    ],
)
def test_an_attempt_that_failed_is_retried_or_fails_and_skips_downstream(ending, retries, expected):
    by, state = run_state(retries)
    job, _ = state.next_job(0.0)
    effects = state.ended(job, ending)
    if expected == "interrupted":
        assert [e.outcome.status for e in effects] == [Status.INTERRUPTED]  # its folder stays
        return
    assert effects == [Promote(job, failed=True)]  # beside its last good value
    effects = state.promoted(job, "", 5.0, "now")
    if expected == "retry":
        assert effects == [Retry(job, 1, 5.5, ending.error)]
        return
    marks = sorted((e.job.asset.label, e.status) for e in effects if isinstance(e, Mark))
    assert marks == [("a", "failed"), ("b", "skipped"), ("c", "skipped"), ("side", "skipped")]
    assert state.next_job(10.0) == (None, [])


def test_a_folder_that_cannot_be_promoted_fails_the_job_without_a_retry():
    by, state = run_state(retries=3)
    job, _ = state.next_job(0.0)
    state.ended(job, Ending(0, True, REPORT, 1.0))
    effects = state.promoted(job, "out/a is a symbolic link", 1.0, "now")
    failed = [e for e in effects if isinstance(e, Finish) and e.outcome.job is job]
    assert failed[0].outcome.status is Status.FAILED
    assert failed[0].outcome.error == "out/a is a symbolic link"
