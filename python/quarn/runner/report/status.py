"""A job's and an asset's state as a person reads it, in every view: the words of the
state model with the reasons that matter, and the colours of the graph's nodes."""

from __future__ import annotations

from collections.abc import Iterable

from quarn.runner.contract import ManifestEntry
from quarn.runner.state.assess import Assessment
from quarn.runner.state.words import STATES, State, Why, reasons_text
from quarn.runner.text import clock_utc

# Reasons a state word already says.
_SAID = {
    State.FAILED: Why.FAILED,
    State.INTERRUPTED: Why.INTERRUPTED,
    State.NEVER_RUN: Why.NEVER_RAN,
}


def describe(assessment: Assessment, record: ManifestEntry | None) -> str:
    """`stale (its code changed)`, `failed (last good value from 2026-01-05 10:00:00)`."""
    state = assessment.state
    said = _SAID.get(state)
    reasons = [r for r in assessment.reasons if r.why is not said]
    details: list[str] = []
    if state in (State.FAILED, State.INTERRUPTED) and record is not None and "digest" in record:
        details.append(f"last good value from {clock_utc(record.get('succeeded_at'))}")
    if state is not State.CURRENT and state is not State.NEVER_RUN and reasons:
        details.append(reasons_text(reasons))
    return f"{state} ({'; '.join(details)})" if details else str(state)


def asset_state(states: Iterable[State]) -> State:
    """A job running or failed makes the asset so; it is current or never run only as a
    whole; orphaned jobs do not count."""
    seen = {s for s in states if s is not State.ORPHANED}
    for state in (State.RUNNING, State.FAILED, State.INTERRUPTED):
        if state in seen:
            return state
    if seen and seen <= {State.CURRENT}:
        return State.CURRENT
    if seen <= {State.NEVER_RUN}:
        return State.NEVER_RUN
    return State.STALE


def count_states(states: Iterable[State]) -> str:
    """`2 current, 1 stale`, in the order of the states."""
    counts = dict.fromkeys(STATES, 0)
    for state in states:
        counts[state] += 1
    return ", ".join(f"{n} {s}" for s, n in counts.items() if n)
