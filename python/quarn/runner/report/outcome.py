"""How each job of a run ended."""

from __future__ import annotations

from dataclasses import dataclass, field

from quarn.runner.plan.jobs import Job
from quarn.runner.state.words import Status


@dataclass(slots=True)
class Outcome:
    """How one job of this run ended."""

    job: Job
    status: Status
    seconds: float | None = None
    error: str = ""
    log: str = ""  # path of the worker's captured output, when it wrote any
    earlier: list[str] = field(default_factory=list)  # errors of the attempts before the last
    frames: list[str] = field(default_factory=list)  # last traceback frames from the log
