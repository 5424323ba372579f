"""What follows when a job starts or ends: decisions only, returned as effects.

The executor feeds in what happened (a job's attempt ended, its folder was moved into
place) and the clock; `RunState` answers with the effects to carry out (move the stage
folder, record a success, mark a failure, retry, skip the downstream jobs, cut off a
pending job whose inputs came back unchanged). Nothing here reads a file or touches a
process, so every path is tested by feeding stimuli and reading the effects.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

from quarn.runner.contract import (
    STATUS_FAILED,
    STATUS_SKIPPED,
    STATUS_SUCCEEDED,
    JobReport,
    ManifestEntry,
)
from quarn.runner.executors.scheduler import Scheduler
from quarn.runner.plan.freshness import Plan
from quarn.runner.plan.jobs import Job
from quarn.runner.report.outcome import Outcome
from quarn.runner.state.words import Action, Status
from quarn.runner.trace.deps import share


@dataclass(frozen=True, slots=True)
class Ending:
    """How one attempt of a job ended, as the executor observed it."""

    status: int | None  # exit status; negative: killed by that signal; None: lost
    recorded: bool | None  # its result record: True success, False failure, None none
    report: JobReport | None  # what its worker said of the value it stored
    seconds: float | None  # None: it never started
    error: str = ""  # the failure as read from its record, its signal or its log
    log: str = ""  # where its output will be once its folder is in place
    frames: Sequence[str] = ()  # the last frames of its traceback
    timed_out: bool = False
    stopped: bool = False  # the run was stopping it


# Effects, carried out by the executor in the order given.
@dataclass(frozen=True, slots=True)
class Promote:
    """Move the stage folder into place: as the job's folder after a success, beside the
    last good value after a failure; the executor then calls `promoted`."""

    job: Job
    failed: bool


@dataclass(frozen=True, slots=True)
class Record:
    job: Job
    entry: ManifestEntry
    parts: Mapping[str, Any] = field(default_factory=dict)  # of the manifest's `deps` table


@dataclass(frozen=True, slots=True)
class Mark:
    """The job's latest run did not succeed: its last success stays described."""

    job: Job
    status: str


@dataclass(frozen=True, slots=True)
class Retry:
    job: Job
    attempt: int  # the attempt that failed
    at: float
    error: str


@dataclass(frozen=True, slots=True)
class Finish:
    outcome: Outcome


Effect = Promote | Record | Mark | Retry | Finish


@dataclass(slots=True)
class _Concluding:
    ending: Ending
    succeeded: bool
    retryable: bool


@dataclass(slots=True)
class RunState:
    """The run's jobs between the plan and their outcomes."""

    jobs: Sequence[Job]
    plan: Plan
    retries: int = 0
    scheduler: Scheduler = field(init=False)
    _concluding: dict[Job, _Concluding] = field(default_factory=dict)
    _errors: dict[Job, list[str]] = field(default_factory=dict)  # of attempts before the last

    def __post_init__(self) -> None:
        self.scheduler = Scheduler(self.jobs, self.retries)

    def next_job(self, now: float) -> tuple[Job | None, list[Effect]]:
        """The job to start now, if any, and the effects of the pending jobs found current
        on the way (their upstream jobs produced again the bytes they consumed)."""
        effects: list[Effect] = []
        while (job := self.scheduler.next_job(now)) is not None:
            if self.plan.action(job) is Action.PENDING:
                if self.plan.reassess(job).action is Action.KEEP:
                    effects.append(Finish(Outcome(job, Status.UP_TO_DATE)))
                    self.scheduler.succeeded(job)
                    continue
            return job, effects
        return None, effects

    def not_started(self, job: Job, error: str, now: float) -> list[Effect]:
        """The job could not be started (its folder is refused, its worker would not start)."""
        return self._failed(job, Ending(None, None, None, None, error), False, now)

    def ended(self, job: Job, ending: Ending) -> list[Effect]:
        """An attempt ended. A job the run stopped keeps its folder as it was; any other
        ending first moves its stage folder into place."""
        if ending.stopped and not ending.timed_out and (ending.status is None or ending.status < 0):
            return [Finish(Outcome(job, Status.INTERRUPTED, ending.seconds))]
        succeeded = ending.status == 0 and ending.recorded is True and ending.report is not None
        retryable = (
            ending.timed_out
            or ending.status is None
            or ending.status < 0
            or ending.recorded is not None
        )
        self._concluding[job] = _Concluding(ending, succeeded, retryable)
        return [Promote(job, failed=not succeeded)]

    def promoted(self, job: Job, problem: str, now: float, wall_clock: str) -> list[Effect]:
        """The stage folder is in place (`problem` says why it could not be, when it could
        not); `now` is the run's clock, `wall_clock` the time to record (UTC, ISO 8601)."""
        concluding = self._concluding.pop(job)
        ending = concluding.ending
        if problem:
            return self._failed(job, _with(ending, problem, ""), False, now)
        if not concluding.succeeded or ending.report is None:
            if ending.status == 0 and ending.recorded is True:
                ending = _with(ending, "the worker stored no report of its value", ending.log)
            return self._failed(job, ending, concluding.retryable, now)
        report = ending.report
        deps = report.get("deps")
        # What the job read of each upstream, as its worker saw the bytes (an upstream file
        # rewritten after it was planned is then recorded as what it was); an input it
        # never read (a fan-in member not asked for) as the plan had it.
        read = deps.get("inputs", {}) if deps else {}
        entry: ManifestEntry = {
            "asset": job.asset.display,
            "partition": job.key or None,
            "status": STATUS_SUCCEEDED,
            "version": job.version,
            "parts": job.parts,
            "function": job.function,
            "inputs": {d.id: read.get(d.id, self.plan.digest(d)) for d in job.deps},
            "digest": report["digest"],
            "value": report["value"],
            "stat": report["stat"],
            "result_stat": report["result_stat"],
            "succeeded_at": wall_clock,
            "seconds": round(ending.seconds or 0.0, 3),
        }
        if "serializer" in report:
            entry["serializer"] = report["serializer"]
        parts: dict[str, Any] = {}
        if deps:
            entry["deps"], parts = share(deps)
        self.plan.produced(job, report["digest"])
        self.scheduler.succeeded(job)
        outcome = Outcome(
            job, Status.SUCCEEDED, ending.seconds, "", ending.log, self._errors.pop(job, [])
        )
        return [Record(job, entry, parts), Finish(outcome)]

    def _failed(self, job: Job, ending: Ending, retryable: bool, now: float) -> list[Effect]:
        decision = self.scheduler.failed(job, retryable, now)
        if decision.retry_at is not None:
            self._errors.setdefault(job, []).append(ending.error)
            return [Retry(job, self.scheduler.attempt(job), decision.retry_at, ending.error)]
        outcome = Outcome(
            job,
            Status.FAILED,
            ending.seconds,
            ending.error,
            ending.log,
            self._errors.pop(job, []),
            list(ending.frames),
        )
        effects: list[Effect] = [Mark(job, STATUS_FAILED), Finish(outcome)]
        for down in decision.skipped:
            effects += [
                Mark(down, STATUS_SKIPPED),
                Finish(Outcome(down, Status.SKIPPED, None, f"upstream {job.display} failed")),
            ]
        return effects


def _with(ending: Ending, error: str, log: str) -> Ending:
    return Ending(
        ending.status,
        ending.recorded,
        ending.report,
        ending.seconds,
        error,
        log,
        ending.frames if log else (),
        ending.timed_out,
        ending.stopped,
    )
