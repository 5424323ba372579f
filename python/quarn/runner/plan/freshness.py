"""Which jobs are current: pure decisions over the manifest's records and what the job
folders hold, made in upstream order and revisited as upstream jobs finish.

A job is current when its latest run succeeded, its files are those of that success (a
success record, and a value file with the recorded digest), its version (code,
declaration, partition key) is the recorded one, and every upstream value it consumes has
the digest it consumed then. An upstream that will run makes its downstream *pending*:
once the upstream has finished, `still_needed` compares the digests again, so an upstream
that produced the same bytes stops the run from spreading (early cut-off).
"""

from __future__ import annotations

from collections.abc import Callable, Collection, Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from quarn.runner.contract import STATUS_FAILED, STATUS_SKIPPED, STATUS_SUCCEEDED, ManifestEntry

if TYPE_CHECKING:
    from quarn.runner.plan.jobs import Job

CURRENT = "current"  # up to date: not run
RUN = "run"  # runs, for `reason`
PENDING = "pending"  # current unless an upstream that runs produces other bytes
WAITING = "waiting"  # may not run: an upstream outside the requested partitions is not current
STALE_OUTSIDE = "stale outside"  # not requested, and not current: its downstream waits


@dataclass(frozen=True, slots=True)
class Observed:
    """What a job's folder holds: whether `result.json` is a success record, and the
    digest of the value file it names (None when there is none)."""

    ok: bool
    digest: str | None


@dataclass(frozen=True, slots=True)
class Decision:
    state: str
    reason: str = ""


# Reads a job's folder; called only when the record alone does not settle the question.
Observe = Callable[["Job", ManifestEntry], Observed]


def own_reason(job: Job, entry: ManifestEntry | None, observe: Observe, force: bool) -> str | None:
    """Why the job must run whatever its upstreams hold, or None when nothing of its own
    has changed since its last success."""
    if force:
        return "forced"
    if entry is None or "digest" not in entry:
        return "never succeeded"
    if entry.get("status") not in (STATUS_SUCCEEDED, STATUS_SKIPPED):
        # a skipped job's folder was left as its last success made it: its upstream decides
        status = entry.get("status")
        return "its last run failed" if status == STATUS_FAILED else "its last run did not finish"
    if entry.get("version") != job.version:
        return "its code or declaration changed"
    if set(entry.get("inputs", {})) != {d.id for d in job.deps}:
        return "its set of upstream jobs changed"
    observed = observe(job, entry)
    if not observed.ok:
        return "its result.json is not a success record"
    if observed.digest is None:
        return "its value file is missing"
    if observed.digest != entry.get("digest"):
        return "its value file is not the one its last success wrote"
    return None


def changed_input(job: Job, entry: ManifestEntry | None, digests: Mapping[str, str]) -> str | None:
    """The first upstream job whose value differs from the one this job last consumed."""
    consumed = entry.get("inputs", {}) if entry else {}
    for dep in job.deps:
        if consumed.get(dep.id) != digests.get(dep.id):
            return dep.display
    return None


def still_needed(job: Job, entry: ManifestEntry | None, digests: Mapping[str, str]) -> bool:
    """For a pending job whose upstream jobs have all finished (`digests`: the digest of
    each current value): does one of them hold other bytes than the job consumed at its
    last success? When not, the job is current without running (early cut-off)."""
    return changed_input(job, entry, digests) is not None


@dataclass(slots=True)
class Plan:
    """The decision for each job the run looks at, and the digest of every current value
    (recorded, or produced during this run)."""

    entries: Mapping[str, ManifestEntry]
    decisions: dict[Job, Decision] = field(default_factory=dict)
    digests: dict[str, str] = field(default_factory=dict)
    # asset reference -> {source file: SHA-256} its code version was computed from
    sources: dict[str, dict[str, str]] = field(default_factory=dict)

    def still_needed(self, job: Job) -> bool:
        """`still_needed` with this run's records and digests: the executor asks it when a
        pending job becomes ready."""
        return still_needed(job, self.entries.get(job.id), self.digests)

    def produced(self, job: Job, digest: str) -> None:
        self.digests[job.id] = digest

    def cut_off(self, job: Job) -> None:
        """A pending job found current after all: its recorded value stands."""
        entry = self.entries.get(job.id)
        if entry is not None and "digest" in entry:
            self.digests[job.id] = entry["digest"]
        self.decisions[job] = Decision(CURRENT, "its inputs were produced again, unchanged")


def plan_jobs(
    jobs: list[Job],
    entries: Mapping[str, ManifestEntry],
    observe: Observe,
    force: bool,
    allowed: Collection[Job] | None = None,
) -> Plan:
    """Decides every job that is allowed to run (all, when `allowed` is None) and every
    job outside `allowed` whose value an allowed job consumes; `jobs` lists upstream jobs
    before their downstream ones."""
    plan = Plan(entries)
    needed = _needed(jobs, allowed)
    blockers: dict[Job, list[Job]] = {}  # for each waiting job: the jobs it waits for
    for job in jobs:
        if job not in needed:
            continue
        entry = entries.get(job.id)
        may_run = allowed is None or job in allowed
        deps = [plan.decisions[d] for d in job.deps]
        waits: list[Job] = []
        for dep, decision in zip(job.deps, deps, strict=True):
            if decision.state == STALE_OUTSIDE:
                waits.append(dep)
            elif decision.state == WAITING:
                waits += blockers[dep]
        if waits:
            blockers[job] = list(dict.fromkeys(waits))
            plan.decisions[job] = Decision(WAITING, _waiting_text(blockers[job]))
            continue
        upstream_runs = any(d.state in (RUN, PENDING) for d in deps)
        if not may_run:
            # Not requested: current only when nothing upstream runs and its record holds.
            fresh = not upstream_runs and own_reason(job, entry, observe, False) is None
            fresh = fresh and changed_input(job, entry, plan.digests) is None
            plan.decisions[job] = Decision(CURRENT if fresh else STALE_OUTSIDE)
        elif (reason := own_reason(job, entry, observe, force)) is not None:
            plan.decisions[job] = Decision(RUN, reason)
        elif upstream_runs:
            plan.decisions[job] = Decision(PENDING, "an upstream job runs")
        elif (changed := changed_input(job, entry, plan.digests)) is not None:
            plan.decisions[job] = Decision(RUN, f"the value of {changed} changed")
        else:
            plan.decisions[job] = Decision(CURRENT)
        if plan.decisions[job].state == CURRENT and entry is not None and "digest" in entry:
            plan.digests[job.id] = entry["digest"]
    return plan


def _needed(jobs: list[Job], allowed: Collection[Job] | None) -> set[Job]:
    """The allowed jobs and every job upstream of one."""
    if allowed is None:
        return set(jobs)
    needed = set(allowed)
    for job in reversed(jobs):
        if job in needed:
            needed.update(job.deps)
    return needed


def _waiting_text(blockers: list[Job], shown: int = 3) -> str:
    names = ", ".join(j.display for j in blockers[:shown])
    more = f" and {len(blockers) - shown} more" if len(blockers) > shown else ""
    return f"waiting for partitions that are not up to date: {names}{more}"
