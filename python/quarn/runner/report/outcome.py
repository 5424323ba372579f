"""How each job of a run ended."""

from __future__ import annotations

from dataclasses import dataclass, field

from quarn.runner.plan.jobs import Job

SUCCEEDED = "succeeded"
FAILED = "failed"
SKIPPED = "skipped"
INTERRUPTED = "interrupted"
NOT_RUN = "not run"
UP_TO_DATE = "up to date"  # pending on an upstream that produced the same bytes again
WAITING = "waiting"  # consumes partitions outside the run's restriction that are not current


@dataclass(slots=True)
class Outcome:
    """How one job of this run ended."""

    job: Job
    status: str
    seconds: float | None = None
    error: str = ""
    log: str = ""  # path of the worker's captured output, when it wrote any
    earlier: list[str] = field(default_factory=list)  # errors of the attempts before the last
    frames: list[str] = field(default_factory=list)  # last traceback frames from the log
