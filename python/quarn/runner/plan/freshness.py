"""Every job's assessment, in upstream order: the state model applied to the job graph.

A job's assessment depends on those of its upstream jobs (a downstream of a job that runs
is pending; one whose upstream value changed runs), so jobs are assessed upstream first.
While a run goes on, a pending job is assessed again once its upstream jobs have finished,
with the digests they produced: the same bytes again make it current without running
(early cut-off).
"""

from __future__ import annotations

from collections.abc import Callable, Collection, Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Protocol

from quarn.runner.contract import ManifestEntry
from quarn.runner.state.assess import Assessment, Facts, Observed, Upstream, Version, assess
from quarn.runner.state.words import Action, Reason, State

if TYPE_CHECKING:
    from quarn.runner.plan.jobs import Job

# Reads a job's folder; called for jobs whose record describes a success.
Observe = Callable[["Job", ManifestEntry], Observed]


class Dependencies(Protocol):
    """What a job was seen to use while it ran, compared with what is there now (see
    trace/observe.py): (job id, its record of a success, its `module:function` now when
    known) -> the reasons it changed."""

    touched: dict[str, Any]  # shared parts whose files were found touched, the same bytes

    def __call__(
        self, job_id: str, record: ManifestEntry, function: str | None = None
    ) -> Sequence[Reason]: ...


@dataclass(slots=True)
class Plan:
    """The assessment of each job the run looks at, and the facts it was made from."""

    records: Mapping[str, ManifestEntry]
    facts: dict[Job, Facts] = field(default_factory=dict)
    assessments: dict[Job, Assessment] = field(default_factory=dict)
    # asset reference -> {source file: SHA-256} its code version was computed from
    sources: dict[str, dict[str, str]] = field(default_factory=dict)

    def action(self, job: Job) -> Action | None:
        found = self.assessments.get(job)
        return None if found is None else found.action

    def digest(self, job: Job) -> str:
        """The digest of the value the job's downstream jobs consume now ("" when unknown)."""
        found = self.assessments.get(job)
        return (found.digest if found is not None else None) or ""

    def reassess(self, job: Job) -> Assessment:
        """The job's assessment with its upstream jobs as they are now (some of them ran)."""
        facts = self.facts[job]
        again = Facts(
            facts.record,
            facts.version,
            facts.observed,
            _upstream(job, self.assessments),
            facts.forced,
            facts.requested,
            facts.running,
            facts.changed,
        )
        self.assessments[job] = assessment = assess(again)
        return assessment

    def produced(self, job: Job, digest: str) -> None:
        """The job ran and stored a value with this digest: it is current now."""
        self.assessments[job] = Assessment(State.CURRENT, Action.KEEP, (), digest)


def plan_jobs(
    jobs: list[Job],
    records: Mapping[str, ManifestEntry],
    observe: Observe,
    forced: Collection[Job] = (),
    allowed: Collection[Job] | None = None,
    running: Collection[str] = (),
    dependencies: Dependencies | None = None,
) -> Plan:
    """Assesses every job that is allowed to run (all, when `allowed` is None) and every
    job outside `allowed` whose value an allowed job consumes; `jobs` lists upstream jobs
    before their downstream ones. `running`: ids of jobs a run that is still going started;
    `dependencies`: what each job was seen to use, compared with what is there now."""
    plan = Plan(records)
    needed = _needed(jobs, allowed)
    for job in jobs:
        if job not in needed:
            continue
        record = records.get(job.id)
        succeeded = record is not None and "digest" in record
        facts = Facts(
            record,
            Version(job.version, job.parts),
            observe(job, record) if record is not None and succeeded else None,
            _upstream(job, plan.assessments),
            forced=job in forced,
            requested=allowed is None or job in allowed,
            running=job.id in running,
            changed=(
                dependencies(job.id, record, job.function)
                if dependencies and record and succeeded
                else ()
            ),
        )
        plan.facts[job] = facts
        plan.assessments[job] = assess(facts)
    return plan


def _upstream(job: Job, assessments: Mapping[Job, Assessment]) -> list[Upstream]:
    return [Upstream(d.id, d.display, assessments[d]) for d in job.deps]


def _needed(jobs: list[Job], allowed: Collection[Job] | None) -> set[Job]:
    """The allowed jobs and every job upstream of one."""
    if allowed is None:
        return set(jobs)
    needed = set(allowed)
    for job in reversed(jobs):
        if job in needed:
            needed.update(job.deps)
    return needed
