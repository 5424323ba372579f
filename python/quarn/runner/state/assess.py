"""The decision: given the facts about one job, its state, the action a run takes, and why.

Facts in, decisions out. The callers gather the facts (the job's manifest record, the
version planned for it, what its folder holds, the assessments of its upstream jobs) in
upstream order; planning a run, the executor's early cut-off, every view and `quarn.load`
call `assess` and show what it returns, so they cannot disagree.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field

from quarn.runner.contract import STATUS_FAILED, STATUS_RUNNING, ManifestEntry
from quarn.runner.state.words import Action, Reason, State, Why

# The parts of a job's version, each recorded apart so a reason can name the one that
# changed, with what a person reads when it did.
VERSION_PARTS = {
    "code": (Why.CODE, "its code changed"),
    "declaration": (Why.DECLARATION, "its declaration changed"),
    "key": (Why.KEY, "its partition keys changed"),
    "params": (Why.PARAMETER, "its parameters changed"),
    "serializer": (Why.SERIALIZER, "the project's default serializer changed"),
}
# The part of one parameter's value: this and the parameter's name.
PARAM_PART = "params."
_WAITING_SHOWN = 3


@dataclass(frozen=True, slots=True)
class Version:
    """What a job's value depends on besides the values it consumes: the whole version as
    the manifest records it, and the digest of each of its parts."""

    digest: str
    parts: Mapping[str, str] = field(default_factory=dict)


@dataclass(frozen=True, slots=True)
class Observed:
    """What the job's folder holds: whether its result record is a success record, and the
    digest of the value file that record names (None when it is missing)."""

    ok: bool
    digest: str | None


@dataclass(frozen=True, slots=True)
class Assessment:
    state: State
    action: Action
    reasons: tuple[Reason, ...] = ()
    digest: str | None = None  # the value its downstream jobs consume, when it is current
    blockers: tuple[str, ...] = ()  # for a waiting job: the stale jobs outside the run


@dataclass(frozen=True, slots=True)
class Upstream:
    """One upstream job, as its downstream sees it."""

    id: str
    display: str
    assessment: Assessment


@dataclass(frozen=True, slots=True)
class Facts:
    """Everything `assess` needs to know about one job."""

    record: ManifestEntry | None  # its manifest record; None when no run recorded it
    version: Version | None = None  # the version planned now; None when unknown
    observed: Observed | None = None  # its folder; None when not looked at
    upstream: Sequence[Upstream] = ()  # in the order of its inputs
    forced: bool = False
    requested: bool = True  # inside the run's partition restriction
    running: bool = False  # a run that is still going started it
    changed: Sequence[Reason] = ()  # further reasons the caller found (dependencies)


def assess(facts: Facts) -> Assessment:
    """The job's state and reasons, and what a run does with it."""
    own = own_reasons(facts)
    succeeded = facts.record is not None and "digest" in facts.record
    consumed = facts.record.get("inputs", {}) if facts.record else {}
    waits: list[str] = []
    pending: list[Reason] = []
    inputs: list[Reason] = []
    for up in facts.upstream:
        theirs = up.assessment
        if theirs.action is Action.BLOCKED:
            waits.append(up.display)
        elif theirs.action is Action.WAITING:
            waits += theirs.blockers
        elif theirs.action in (Action.RUN, Action.PENDING):
            pending.append(Reason(Why.UPSTREAM, f"its upstream {up.display} is not current"))
        elif succeeded and (not isinstance(consumed, dict) or consumed.get(up.id) != theirs.digest):
            inputs.append(Reason(Why.INPUT, f"the value of {up.display} changed"))
    reasons = (*own, *inputs, *pending)
    blockers = tuple(dict.fromkeys(waits))
    if blockers:
        action = Action.WAITING
        reasons = (*reasons, _waiting(blockers))
    elif not facts.requested:
        action = Action.BLOCKED if reasons else Action.KEEP
    elif own or inputs:
        action = Action.RUN
    elif pending:
        action = Action.PENDING
    else:
        action = Action.KEEP
    digest = facts.record.get("digest") if facts.record and action is Action.KEEP else None
    return Assessment(_state(facts, reasons), action, reasons, digest, blockers)


def own_reasons(facts: Facts) -> tuple[Reason, ...]:
    """Why the job is not current whatever its upstream jobs hold."""
    found: list[Reason] = []
    if facts.forced:
        found.append(Reason(Why.FORCED, "forced"))
    record = facts.record
    if record is None:
        return (*found, Reason(Why.NEVER_RAN, "it never ran"))
    status = record.get("status")
    if status == STATUS_FAILED:
        found.append(Reason(Why.FAILED, "its last run failed"))
    elif status == STATUS_RUNNING and not facts.running:
        found.append(Reason(Why.INTERRUPTED, "its last run did not finish"))
    if "digest" not in record:
        if not found:
            found.append(Reason(Why.NEVER_RAN, "it never succeeded"))
        return tuple(found)
    if facts.version is not None:
        found += _version_reasons(record, facts.version)
    recorded_inputs = record.get("inputs")
    if isinstance(recorded_inputs, dict) and set(recorded_inputs) != {
        up.id for up in facts.upstream
    }:
        found.append(Reason(Why.UPSTREAMS, "its set of upstream jobs changed"))
    observed = facts.observed
    if observed is not None:
        if not observed.ok:
            found.append(Reason(Why.VALUE, "its result.json is not a success record"))
        elif observed.digest is None:
            found.append(Reason(Why.VALUE, "its value file is missing"))
        elif observed.digest != record.get("digest"):
            found.append(Reason(Why.VALUE, "its value file is not the one its last success wrote"))
    found += facts.changed
    return tuple(found)


def _version_reasons(record: ManifestEntry, planned: Version) -> list[Reason]:
    if record.get("version") == planned.digest:
        return []
    recorded = record.get("parts")
    if isinstance(recorded, dict) and planned.parts:
        named = [
            _params_reason(recorded, planned.parts) if name == "params" else Reason(*part)
            for name, part in VERSION_PARTS.items()
            if recorded.get(name) != planned.parts.get(name)
        ]
        if named:
            return named
    return [Reason(Why.CODE, "its code or declaration changed")]


def _params_reason(recorded: Mapping[str, str], planned: Mapping[str, str]) -> Reason:
    """`its parameter threshold changed`: the parameters whose value digests differ."""
    names = sorted(
        {n for n in (*recorded, *planned) if n.startswith(PARAM_PART)}
        - {n for n in planned if recorded.get(n) == planned[n]}
    )
    if not names:
        return Reason(*VERSION_PARTS["params"])
    shown = " and ".join(", ".join(n[len(PARAM_PART) :] for n in names).rsplit(", ", 1))
    return Reason(Why.PARAMETER, f"its parameter{'' if len(names) == 1 else 's'} {shown} changed")


def _state(facts: Facts, reasons: tuple[Reason, ...]) -> State:
    record = facts.record
    if facts.running:
        return State.RUNNING
    if record is None:
        return State.NEVER_RUN
    status = record.get("status")
    if status == STATUS_FAILED:
        return State.FAILED
    if status == STATUS_RUNNING:
        return State.INTERRUPTED
    if "digest" not in record:
        return State.NEVER_RUN
    return State.STALE if reasons else State.CURRENT


def orphaned(text: str) -> Assessment:
    """A recorded job that no declaration makes any more: its key or its asset is gone."""
    return Assessment(State.ORPHANED, Action.KEEP, (Reason(Why.ORPHANED, text),))


def _waiting(blockers: tuple[str, ...]) -> Reason:
    names = ", ".join(blockers[:_WAITING_SHOWN])
    more = f" and {len(blockers) - _WAITING_SHOWN} more" if len(blockers) > _WAITING_SHOWN else ""
    return Reason(Why.WAITING, f"waiting for partitions that are not up to date: {names}{more}")
