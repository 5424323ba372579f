"""What state a job and an asset are in, in one output directory: the colours of the graph.

The decision is one small function over what the store knows (the manifest's record, the
staleness check, the latest run that ran the job), so it follows the manifest as it grows.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping

from quarn.runner.report.outcome import FAILED as JOB_FAILED
from quarn.runner.store.history import JobRecord

CURRENT = "current"
STALE = "stale"
FAILED = "failed"
NEVER_RUN = "never run"
STATES = (CURRENT, STALE, FAILED, NEVER_RUN)


def job_state(recorded: bool, current: bool, last: JobRecord | None) -> str:
    """`recorded`: the manifest vouches for a value of the job; `current`: that value is of
    the job's present version; `last`: how the latest run that ran the job ended it."""
    if recorded and current:
        return CURRENT
    if last is not None and last["status"] == JOB_FAILED:
        return FAILED
    if recorded or last is not None:
        return STALE
    return NEVER_RUN


def asset_state(states: Iterable[str]) -> str:
    """One failed job makes the asset failed; it is current or never run only as a whole."""
    seen = set(states)
    if FAILED in seen:
        return FAILED
    if seen <= {CURRENT} and seen:
        return CURRENT
    if seen <= {NEVER_RUN}:
        return NEVER_RUN
    return STALE


def count_states(states: Mapping[str, str]) -> str:
    """`2 current, 1 stale`, in the order of STATES."""
    counts = {s: 0 for s in STATES}
    for state in states.values():
        counts[state] += 1
    return ", ".join(f"{n} {s}" for s, n in counts.items() if n)
