"""The words of a job's state, spelled once: states, actions, reasons and run outcomes."""

from __future__ import annotations

from dataclasses import dataclass
from enum import StrEnum


class State(StrEnum):
    """What a job's stored value is, as every view shows it."""

    NEVER_RUN = "never run"  # no run has stored a value for it
    CURRENT = "current"  # its value is that of its present version and inputs
    STALE = "stale"  # it has a value, and at least one reason says it is not current
    FAILED = "failed"  # its latest run failed; its last good value, if any, is kept
    INTERRUPTED = "interrupted"  # its latest run was stopped before it ended
    RUNNING = "running"  # a run that is still going started it
    ORPHANED = "orphaned"  # its key or its asset is no longer declared


# The order in which views count states.
STATES = tuple(State)


class Action(StrEnum):
    """What a run does with a job."""

    KEEP = "current"  # nothing: its value is current
    RUN = "run"
    PENDING = "pending"  # runs unless the upstream jobs that run produce the same bytes again
    WAITING = "waiting"  # may not run: an upstream outside the requested partitions is stale
    BLOCKED = "stale outside"  # outside the requested partitions, and not current


class Why(StrEnum):
    """The kinds of reason a job is not current."""

    NEVER_RAN = "never ran"
    FORCED = "forced"
    FAILED = "failed"
    INTERRUPTED = "interrupted"
    CODE = "code"
    DECLARATION = "declaration"
    KEY = "key"
    UPSTREAMS = "upstreams"  # the set of upstream jobs it consumes
    VALUE = "value"  # its own files on disk
    INPUT = "input"  # the value of an upstream job
    UPSTREAM = "upstream"  # an upstream job that is not current itself
    WAITING = "waiting"
    ORPHANED = "orphaned"
    DEPENDENCY = "dependency"  # something the job was seen to use while it ran
    PARAMETER = "parameter"
    SERIALIZER = "serializer"  # the project's default serializer, which it stores by


@dataclass(frozen=True, slots=True)
class Reason:
    why: Why
    text: str  # what a person reads: "its code changed", "the value of prices changed"

    def __str__(self) -> str:
        return self.text


def reasons_text(reasons: tuple[Reason, ...] | list[Reason], shown: int = 3) -> str:
    """`its code changed; the value of a changed and 2 more`: a view's one-line account."""
    texts = [r.text for r in reasons]
    more = f" and {len(texts) - shown} more" if len(texts) > shown else ""
    return "; ".join(texts[:shown]) + more


class Status(StrEnum):
    """How a job's part in one run ended: the run's summary and its history say it."""

    SUCCEEDED = "succeeded"
    FAILED = "failed"
    SKIPPED = "skipped"  # an upstream failed
    INTERRUPTED = "interrupted"  # the run was stopped while it ran
    NOT_RUN = "not run"  # the run ended before it could start
    UP_TO_DATE = "up to date"  # current: not run
    WAITING = "waiting"  # consumes partitions outside the run's restriction that are stale


# Outcomes of jobs that were never started in that run.
NOT_STARTED = frozenset({Status.UP_TO_DATE, Status.SKIPPED, Status.NOT_RUN, Status.WAITING})
