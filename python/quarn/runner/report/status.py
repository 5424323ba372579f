"""What state a job and an asset are in, in one output directory: the colours of the graph.

The decision is one small function over what the store knows (the job's manifest record,
and whether the plan finds the job current), so it follows the manifest as it grows.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping

from quarn.runner.contract import STATUS_FAILED, ManifestEntry

CURRENT = "current"
STALE = "stale"
FAILED = "failed"
NEVER_RUN = "never run"
STATES = (CURRENT, STALE, FAILED, NEVER_RUN)


def job_state(entry: ManifestEntry | None, current: bool) -> str:
    """`entry`: the job's manifest record, if any; `current`: whether its files are those of
    its present version (the run would not start it)."""
    if current:
        return CURRENT
    if entry is not None and entry.get("status") == STATUS_FAILED:
        return FAILED
    if entry is None or "digest" not in entry:  # it never succeeded
        return NEVER_RUN
    return STALE


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
