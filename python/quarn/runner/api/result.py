"""What `quarn.materialize` returns: every job of the run with how the run ended for it,
its state and reasons as every view shows them, its timing, and its value on demand."""

from __future__ import annotations

import os
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

from quarn.runner.api.errors import RunError
from quarn.runner.api.flow import Ran
from quarn.runner.api.load import Stored, job_value
from quarn.runner.canonical import canonical_json
from quarn.runner.plan.prepare import prepare
from quarn.runner.plan.recorded import label
from quarn.runner.state.assess import Assessment
from quarn.runner.state.words import NOT_STARTED, Action, Reason, State, Status
from quarn.runner.store.layout import job_path
from quarn.runner.trace.observe import RecordedDeps

# How a run may end for a job without the run failing.
_FINE = (Status.SUCCEEDED, Status.UP_TO_DATE, Status.WAITING)


@dataclass(frozen=True, slots=True)
class JobResult:
    """One job of a run: an asset, or one key combination of a partitioned asset."""

    asset: str  # the asset's name, as the summary shows it
    partition: dict[str, Any]  # dimension -> key; empty for an unpartitioned asset
    name: str  # `prices[ticker=AAPL]`
    function: str  # `module:function`
    folder: str  # where its files are
    status: Status | None  # how this run ended for it; None when the run only checked
    action: Action  # what the plan did with it: run, pending, current or waiting
    why: tuple[Reason, ...]  # the plan's reasons for that, before anything ran
    state: State  # its state after the run, as `quarn show` and `quarn.load` see it
    reasons: tuple[Reason, ...]  # why it is not current, when it is not
    seconds: float | None = None  # how long its last attempt ran
    started: float | None = None  # when it started, in seconds since the epoch
    attempts: int = 0
    error: str = ""
    log: str = ""  # what it printed, when it printed anything
    _stored: Stored | None = field(default=None, repr=False, compare=False)
    _file: str = field(default="", repr=False, compare=False)

    @property
    def ok(self) -> bool:
        """Whether the run ended well for it (or only checked it)."""
        return self.status is None or self.status in _FINE

    def value(self, *, allow_stale: bool = False) -> Any:
        """Its stored value, read as `quarn.load` reads it: by the serializer that stored
        it, refused with StaleValueError when it is not current (unless `allow_stale`),
        LookupError when it has none."""
        if self._stored is None:
            raise LookupError(f"asset '{self.name}' has no stored value")
        return job_value(self._stored, self.asset, allow_stale)


@dataclass(frozen=True, slots=True)
class RunResult:
    """A run: its jobs in plan order (upstream first), each with how it ended."""

    out: str  # the output directory, absolute
    jobs: tuple[JobResult, ...]
    seconds: float = 0.0
    interrupted: int = 0  # the signal that stopped the run, 0 when none did
    checked_only: bool = False
    orphaned: tuple[str, ...] = ()  # the jobs of keys no longer declared (or pruned)
    manifest_error: str = ""  # why the manifest could not be saved, when it could not
    history_error: str = ""  # why the run could not be recorded in the history

    @property
    def ok(self) -> bool:
        """Every job succeeded, was current, or waits; and the run was not stopped."""
        return not (self.interrupted or self.manifest_error) and all(j.ok for j in self.jobs)

    @property
    def ran(self) -> tuple[JobResult, ...]:
        """The jobs this run started."""
        return tuple(j for j in self.jobs if j.status is not None and j.status not in NOT_STARTED)

    @property
    def failed(self) -> tuple[JobResult, ...]:
        """The jobs the run did not end well for: failed, skipped, stopped or not reached."""
        return tuple(j for j in self.jobs if not j.ok)

    def job(self, asset: Any, partition: Mapping[str, Any] | None = None) -> JobResult:
        """The job of `asset` (the @asset function, or its name) and `partition`, which
        may be left out when the run holds a single job of the asset."""
        mine = [j for j in self.jobs if _names(asset, j)]
        if not mine:
            known = ", ".join(dict.fromkeys(j.asset for j in self.jobs))
            raise LookupError(f"the run holds no job of {_shown(asset)}; it holds {known}")
        if partition is None:
            if len(mine) == 1:
                return mine[0]
            raise ValueError(
                f"the run holds {len(mine)} jobs of {_shown(asset)}: pass partition="
                "{dimension: key, ...}"
            )
        wanted = canonical_json(dict(partition))
        for job in mine:
            if canonical_json(job.partition) == wanted:
                return job
        raise LookupError(f"the run holds no job of {_shown(asset)} with partition {wanted}")

    def value(
        self, asset: Any, partition: Mapping[str, Any] | None = None, *, allow_stale: bool = False
    ) -> Any:
        """The value of one job, as `job(asset, partition).value()` reads it."""
        return self.job(asset, partition).value(allow_stale=allow_stale)

    def raise_for_failures(self) -> RunResult:
        """Itself when `ok`; else RunError naming each job that did not end well and why."""
        if self.ok:
            return self
        lines = [f"{j.name}: {j.status}" + (f": {j.error}" if j.error else "") for j in self.failed]
        if self.interrupted:
            lines.append(f"the run was stopped by signal {self.interrupted}")
        if self.manifest_error:
            lines.append(f"the manifest could not be saved: {self.manifest_error}")
        count = len(self.failed)
        raise RunError(f"{count} job{'' if count == 1 else 's'} did not succeed", lines)


def result_of(ran: Ran) -> RunResult:
    """The run as `quarn.materialize` returns it. After a run, each job is assessed again
    against the records the run left, as every view would assess it."""
    planned = ran.planned
    prepared = planned.prepared
    out = os.path.abspath(planned.options.out)
    outcomes = {o.job: o for o in ran.outcomes}
    if ran.execution is not None:
        outcomes.update((o.job, o) for o in ran.execution.outcomes)
    after: dict[str, Assessment] = {}
    if ran.execution is not None:
        manifest = planned.manifest
        again = prepare(
            planned.assets,
            planned.kept,
            planned.code,
            manifest,
            params=planned.params,
            dependencies=RecordedDeps(manifest.parts),
        )
        after = {j.id: a for j, a in again.plan.assessments.items()}
    waiting = set(prepared.waiting)
    jobs = []
    for job in prepared.jobs:
        if not job.requested and job not in waiting:
            continue
        before = planned.before.get(job)
        if before is None:
            continue
        outcome = outcomes.get(job)
        status = outcome.status if outcome is not None else None
        if status is None and ran.execution is not None:
            status = Status.UP_TO_DATE
        now = after.get(job.id, before)
        folder = job_path(out, job.id)
        record = planned.manifest.jobs.get(job.id)
        jobs.append(
            JobResult(
                job.asset.display,
                dict(job.key),
                job.display,
                job.function,
                folder,
                status,
                before.action,
                before.reasons,
                now.state,
                now.reasons,
                outcome.seconds if outcome is not None else None,
                ran.started_at.get(job),
                _attempts(status, outcome.earlier if outcome is not None else []),
                outcome.error if outcome is not None else "",
                os.path.abspath(outcome.log) if outcome is not None and outcome.log else "",
                Stored(dict(job.key), folder, record, now),
                job.asset.file_path,
            )
        )
    execution = ran.execution
    return RunResult(
        out,
        tuple(jobs),
        ran.seconds,
        execution.interrupted if execution is not None else 0,
        execution is None,
        tuple(label(i, planned.manifest.jobs.get(i)) for i in prepared.orphans),
        execution.manifest_error if execution is not None else "",
        ran.history_error,
    )


def _attempts(status: Status | None, earlier: list[str]) -> int:
    if status is None or status in NOT_STARTED:
        return 0
    return 1 + len(earlier)


def _names(asset: Any, job: JobResult) -> bool:
    """Whether `asset` (an @asset function or a name) is the job's asset."""
    if isinstance(asset, str):
        return asset in (job.asset, job.function)
    original = getattr(asset, "__quarn_original__", asset)
    code = getattr(original, "__code__", None)
    if code is None or getattr(asset, "__quarn_kind__", None) != "asset":
        raise TypeError(f"asset must be an @asset function or its name, not {asset!r}")
    same_file = os.path.realpath(code.co_filename) == os.path.realpath(job._file)
    return same_file and job.function.rpartition(":")[2] == str(original.__name__)


def _shown(asset: Any) -> str:
    return f"'{asset}'" if isinstance(asset, str) else f"'{getattr(asset, '__name__', asset)}'"
