"""Inputs that take other keys of a dimension: which upstream jobs each job takes, cycles
between assets that are none between jobs, date keys, and runs that follow mapped edges."""

from __future__ import annotations

import datetime
import json
from pathlib import Path

import pytest
from run_support import Pipeline, statuses, summary_rows
from test_run_plan import ROOT, entry, graph_of, jobs_for, ref

import quarn
from quarn.runner.graph.mapping import split
from quarn.runner.plan import jobs as plan_jobs
from quarn.runner.plan.select import select

KEYS = [1, 2, 3, 4, 5]


def taken(job: plan_jobs.Job) -> list[tuple[str, int]]:
    """What the job's input `up` takes: (member name, or "" for one value; upstream key n)."""
    for param, source in job.inputs:
        if param == "up":
            if isinstance(source, plan_jobs.Job):
                return [("", source.key["n"])]
            return [(member, up.key["n"]) for member, up in source]
    return []


# name -> (upstream keys, its other dimension's keys, input text suffix, {downstream key: taken})
TAKES = {
    "previous": (KEYS, None, "[n-1]", {1: [], 2: [("", 1)], 5: [("", 4)]}),
    "two back": (KEYS, None, "[n-2]", {2: [], 3: [("", 1)], 5: [("", 3)]}),
    "window": (KEYS, None, "[n-2..n]", {
        1: [("1", 1)], 2: [("1", 1), ("2", 2)], 5: [("3", 3), ("4", 4), ("5", 5)]}),
    # positions count in the upstream's declared order
    "upstream order": ([5, 4, 3, 2, 1], None, "[n-1]", {5: [], 4: [("", 5)], 1: [("", 2)]}),
    # a dimension only the upstream has is fanned in at the mapped key
    "fanned-in previous": (KEYS, ["a", "b"], "[n-1]", {1: [], 3: [('"a"', 2), ('"b"', 2)]}),
    "fanned-in window": (KEYS, ["a"], "[n-1..n]", {
        1: [('{"n":1,"t":"a"}', 1)], 4: [('{"n":3,"t":"a"}', 3), ('{"n":4,"t":"a"}', 4)]}),
}  # fmt: skip


@pytest.mark.parametrize(("keys", "other", "suffix", "expected"), TAKES.values(), ids=TAKES)
def test_each_job_takes_the_upstream_keys_its_mapping_names(keys, other, suffix, expected):
    dims = {"n": keys, **({"t": other} if other else {})}
    jobs = jobs_for(
        entry("u", ", ".join(dims), partitions=dims),
        entry("d", "n, up=None", partitions={"n": KEYS}, inputs={"up": ref("u") + suffix}),
    )
    found = {j.key["n"]: taken(j) for j in jobs if j.asset.label == "d"}
    assert {k: found[k] for k in expected} == expected
    for job in jobs:  # exactly the jobs it takes are its upstream jobs
        assert sorted(d.key["n"] for d in job.deps) == sorted(n for _, n in taken(job))


def lagged(name: str, other: str, suffix: str, keys=KEYS) -> dict:
    return entry(name, "n, up=None", partitions={"n": keys}, inputs={"up": ref(other) + suffix})


def mapped_cycle(path: str) -> str:
    return f"dependency cycle: {path} (through a key mapping, a key would need itself)"


# name -> (entries, the diagnostic, or the number of job edges when the jobs form no cycle)
CYCLES = {
    "own earlier key": ([lagged("s", "s", "[n-1]")], 4),
    # ping[n] takes pong[n-2], pong[n] takes ping[n]: built by asset, then sorted
    "two assets through an earlier key": (
        [lagged("ping", "pong", "[n-2]"), lagged("pong", "ping", "")], 3 + 5),
    # a window includes the job's own key
    "own window": ([lagged("s", "s", "[n-1..n]")], "s: " + mapped_cycle("s -> s")),
    # a position names different keys in the two assets
    "keys in another order": (
        [lagged("ping", "pong", "[n-1]"), lagged("pong", "ping", "", keys=KEYS[::-1])],
        "ping: " + mapped_cycle("ping -> pong -> ping")),
}  # fmt: skip


@pytest.mark.parametrize(("entries", "message"), CYCLES.values(), ids=CYCLES)
def test_a_cycle_through_earlier_keys_plans_jobs_in_order_and_one_of_a_key_fails(entries, message):
    graph = graph_of(*entries)
    if isinstance(message, str):
        asset, _, text = message.partition(": ")
        assert [str(d) for d in graph.diagnostics] == [
            f"{ROOT}/pipe.py:2: error: asset '{asset}': {text}"
        ]
        return
    assert graph.diagnostics == []
    jobs = plan_jobs.build_jobs(select(graph, []), {})
    assert len(jobs) == len(entries) * len(KEYS)
    assert [j.index for j in jobs] == list(range(len(jobs)))
    position = {job: i for i, job in enumerate(jobs)}
    assert all(position[d] < position[j] for j in jobs for d in j.deps)
    assert sum(len(j.deps) for j in jobs) == message  # the mapped edges are there


def test_the_keys_an_input_takes_are_part_of_the_declaration():
    parts = set()
    for suffix in ["", "[n-1]", "[n-2]", "[n-1..n]"]:
        jobs = jobs_for(entry("u", "n", partitions={"n": KEYS}), lagged("d", "u", suffix))
        parts.add(jobs[-1].parts["declaration"])
    assert len(parts) == 4


@quarn.asset()
def prices():
    return 1


@pytest.mark.parametrize(
    ("made", "expected"),
    [
        # an asset object: the reference the core records for it, then the mapping
        (lambda: quarn.previous(prices, "day", 3), (f"{Path(__file__).resolve()}:prices", "day-3")),
        (lambda: quarn.window("x[y-1]", "day", 7), ("x[y-1]", "day-6..day")),
        (lambda: quarn.previous("balance", "day", 0), ValueError),
        (lambda: quarn.window("balance", "a-b", 2), ValueError),
        (lambda: quarn.previous(3, "day"), TypeError),
        (lambda: quarn.daily("2026-02-27", datetime.date(2026, 3, 1)),
         ["2026-02-27", "2026-02-28", "2026-03-01"]),
        (lambda: quarn.monthly("2025-12-31", "2026-02"), ["2025-12", "2026-01", "2026-02"]),
        (lambda: quarn.daily("2026-01-02", "2026-01-01"), ValueError),
        (lambda: quarn.monthly("2026/01", "2026-02"), ValueError),
    ],
)  # fmt: skip
def test_helpers_make_the_texts_the_graph_reads_and_ordered_date_keys(made, expected):
    if isinstance(expected, type):
        with pytest.raises(expected):
            made()
    elif isinstance(expected, list):  # the keys, as a declaration records them
        meta = quarn.asset(partitions={"d": made()})(prices.__wrapped__).__quarn_metadata__
        assert json.loads(meta["partitions"]["d"]["values_json"]) == expected
    else:
        reference, mapping = split(made())
        assert (reference, mapping.text) == expected


# Whole runs ---------------------------------------------------------------------------------

CHAIN = """
import json, pathlib
from quarn import previous

STEPS = partitions(list(range(200)))
EDITS = pathlib.Path(__file__).with_name("edits.json")

@asset(partitions={"step": STEPS})
def nudge(step):
    return json.loads(EDITS.read_text()).get(str(step), 1) if EDITS.exists() else 1

@asset(partitions={"step": STEPS}, inputs={"before": previous("total", "step"), "nudge": nudge})
def total(step, nudge, before=0):
    return before + nudge
"""


def folder(dim: str, key) -> str:
    return plan_jobs.partition_dir_name({dim: key})


def test_a_200_step_chain_runs_again_from_the_edited_step_on(tmp_path):
    pipe = Pipeline(tmp_path)
    pipe.write("chain", CHAIN)
    quiet = pipe.run("chain", extra=("-q",))  # the summary alone, no progress
    assert (quiet.returncode, quiet.stderr) == (0, "")
    assert [r[:3] for r in summary_rows(quiet.stdout)] == [
        [asset, "(200 partitions)", "succeeded"] for asset in ("nudge", "total")]  # fmt: skip
    # the first step has no previous one: its default
    assert [pipe.value("total", folder("step", s)) for s in (0, 1, 199)] == [1, 2, 200]
    (pipe.mods / "edits.json").write_text('{"50": 11}')
    forced = pipe.run("chain", extra=("--select", "nudge", "--partition", "step=50", "--force"))
    assert statuses(forced.stdout) == {("nudge", "step=50"): "succeeded"}
    assert pipe.run("chain", extra=("-q",)).returncode == 0
    last = pipe.history()[-1]["jobs"]
    ran = {(j["asset"], j["partition"]) for j in last if j["status"] == "succeeded"}
    assert ran == {("total", f"step={s}") for s in range(50, 200)}
    assert [pipe.value("total", folder("step", s)) for s in (49, 50, 199)] == [50, 61, 210]


WINDOW = """
import json, pathlib
from quarn import window

DAYS = __import__("quarn").daily("2026-01-01", "2026-01-10")
EDITS = pathlib.Path(__file__).with_name("edits.json")

@asset(partitions={"day": DAYS})
def sales(day):
    return json.loads(EDITS.read_text()).get(day, 1) if EDITS.exists() else 1

@asset(partitions={"day": DAYS}, inputs={"week": window(sales, "day", 7)})
def weekly(day, week):
    return [json.loads(k) for k in week] + [sum(week[k] for k in week)]
"""


def test_a_7_key_window_takes_the_last_keys_and_runs_follow_exactly_the_keys_it_takes(tmp_path):
    pipe = Pipeline(tmp_path)
    pipe.write("win", WINDOW)
    assert pipe.run("win", extra=("-q",)).returncode == 0
    by_day = {v[-2]: v for v in pipe.values("weekly")}
    assert by_day["2026-01-02"] == ["2026-01-01", "2026-01-02", 2]  # the fewer that exist
    assert by_day["2026-01-10"] == [f"2026-01-{d:02d}" for d in range(4, 11)] + [7]
    (pipe.mods / "edits.json").write_text('{"2026-01-05": 100}')
    pipe.run("win", extra=("--select", "sales", "--partition", "day=2026-01-05", "--force"))
    plan = json.loads(pipe.run("win", extra=("--check-only", "--json")).stdout)
    assert [job["job"] for job in plan["listed"]] == [
        f"weekly[day=2026-01-{d:02d}]" for d in range(5, 11)
    ]
    # one key runs when the keys it takes are current, and waits when one of them is not
    (pipe.out / "sales" / folder("day", "2026-01-08") / "value.json").write_text("2")
    one = pipe.run("win", extra=("--partition", "day=2026-01-06"))
    assert statuses(one.stdout) == {("weekly", "day=2026-01-06"): "succeeded"}
    other = pipe.run("win", extra=("--partition", "day=2026-01-09"))
    assert statuses(other.stdout) == {("weekly", "day=2026-01-09"): "waiting"}
