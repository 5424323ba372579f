"""Which recorded dependencies of a job changed, and the records of many jobs kept small.

Pure: what is observed now comes in as data (`Observed`), read by `observe.py`. A file
whose stat is the recorded one is unchanged without being read; one whose stat differs is
compared by its SHA-256, and found unchanged (only touched) its new stat is handed back to
be kept, so that the next check does not hash it again.
"""

from __future__ import annotations

import hashlib
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

from quarn.runner.canonical import canonical_json
from quarn.runner.contract import CodeDep, FileDep, JobDeps
from quarn.runner.trace.units import MODULE

# What each kind of reason is about; `Changed.subject` names the one of that kind.
CODE = "code"
FILE = "file"
ENV = "env"


@dataclass(frozen=True, slots=True)
class Changed:
    """One recorded dependency that is not what the job used: `kind` (CODE, FILE, ENV),
    `subject` (a path, `path: unit`, a variable) and the sentence a person reads."""

    kind: str
    subject: str
    text: str


@dataclass(frozen=True, slots=True)
class SourceNow:
    """A source file as it is now: the SHA-256 of its bytes (None: gone), and the digests
    of its units (None: not parsed, because its bytes are the recorded ones or it does not
    parse)."""

    sha256: str | None
    units: Mapping[str, str] | None = None


@dataclass(frozen=True, slots=True)
class FileNow:
    """A data file as it is now: its stat (None: gone), and its SHA-256 when its stat is
    not the recorded one (None: not read)."""

    stat: list[int] | None
    sha256: str | None = None


@dataclass(frozen=True, slots=True)
class Observed:
    code: Mapping[str, SourceNow] = field(default_factory=dict)
    files: Mapping[str, FileNow] = field(default_factory=dict)
    env: Mapping[str, str | None] = field(default_factory=dict)  # name -> digest (None: unset)


@dataclass(frozen=True, slots=True)
class Comparison:
    """The changed dependencies, in the record's order, and the new stat of each file
    found only touched."""

    changed: list[Changed]
    restat: dict[str, list[int]]


def must_hash(recorded: FileDep, stat: list[int] | None) -> bool:
    """Whether a file's digest must be read to compare it: it exists, was read as it is
    (not absent, not changed while read), and its stat is not the recorded one."""
    return stat is not None and bool(recorded.get("sha256")) and stat != recorded.get("stat")


def compare(deps: JobDeps, now: Observed, base: str = "") -> Comparison:
    """The recorded dependencies of a job that changed since it ran, and the stats to
    refresh; paths are shown relative to `base` when inside it. Anything missing from
    `now` or malformed in `deps` counts as changed."""
    changed: list[Changed] = []
    restat: dict[str, list[int]] = {}
    for path, recorded in _items(deps.get("code")):
        changed += _code(path, _shown(path, base), recorded, now.code.get(path))
    for path, file in _items(deps.get("files")):
        reason, fresh = _file(_shown(path, base), file, now.files.get(path))
        if reason:
            changed.append(Changed(FILE, path, reason))
        elif fresh is not None:
            restat[path] = fresh
    for name, digest in _items(deps.get("env")):
        if name not in now.env or now.env[name] != digest:
            changed.append(Changed(ENV, name, f"environment {name} changed"))
    return Comparison(changed, restat)


def _items(part: object) -> list[tuple[str, Any]]:
    return list(part.items()) if isinstance(part, dict) else []


def _code(path: str, shown: str, recorded: CodeDep, now: SourceNow | None) -> list[Changed]:
    units = recorded.get("units") if isinstance(recorded, dict) else None
    if not isinstance(units, dict):
        return [Changed(CODE, path, f"{shown} changed (its code ran in this job)")]
    if now is None or now.sha256 is None:
        return [Changed(CODE, path, f"{shown} is gone (its code ran in this job)")]
    if now.sha256 == recorded.get("sha256"):
        return []
    if now.units is None:
        return [Changed(CODE, path, f"{shown} changed (its code ran in this job)")]
    found = []
    for unit, digest in units.items():
        if not digest or now.units.get(unit) != digest:
            ran = "ran when imported" if unit == MODULE else "ran in this job"
            name = "its module body" if unit == MODULE else unit
            found.append(Changed(CODE, f"{path}: {unit}", f"{shown}: {name} changed ({ran})"))
    return found


def _shown(path: str, base: str) -> str:
    prefix = base.rstrip("/") + "/" if base else ""
    return path[len(prefix) :] if prefix and path.startswith(prefix) else path


def _file(path: str, recorded: FileDep, now: FileNow | None) -> tuple[str, list[int] | None]:
    """Why the file (shown as `path`) counts as changed ("" when not), and its new stat
    when only touched."""
    if not isinstance(recorded, dict) or now is None:
        return f"{path} changed", None
    stat, sha = recorded.get("stat"), recorded.get("sha256")
    if stat is None and sha is None:  # the job found no such file
        return ("" if now.stat is None else f"{path} appeared"), None
    if not sha:
        return f"{path} changed while the job read it", None
    if now.stat is None:
        return f"{path} is gone", None
    if now.stat == stat:
        return "", None
    if now.sha256 != sha:
        return f"{path} changed", None
    return "", now.stat


# Sharing ----------------------------------------------------------------------------------

# The parts of a record kept once per content: the jobs of one asset mostly ran the same
# code and read the same variables, whatever files each read.
SHARED = ("code", "files", "env")


def share(deps: JobDeps) -> tuple[dict[str, str], dict[str, Any]]:
    """Splits a record into references (part -> id) and the parts by id, each id the digest
    of its part's content: a table of parts holds each set of dependencies once, however
    many jobs recorded it. Empty parts are left out; `inputs` and `notes` are not shared."""
    refs: dict[str, str] = {}
    parts: dict[str, Any] = {}
    for name in SHARED:
        part = deps.get(name)
        if part:
            ident = part_id(name, part)
            refs[name] = ident
            parts[ident] = part
    return refs, parts


def part_id(name: str, part: Any) -> str:
    """The id of a part: the digest of its kind and content. A file counts by its path and
    digest only: the stat kept beside it is a cache, refreshed in place when a file is found
    touched but the same."""
    if name == "files" and isinstance(part, dict):
        part = {p: f.get("sha256") if isinstance(f, dict) else f for p, f in part.items()}
    text = canonical_json([name, part])
    return hashlib.sha256(text.encode("utf-8")).hexdigest()[:16]


def join(refs: Mapping[str, str], parts: Mapping[str, Any]) -> JobDeps | None:
    """The record `share` split, from its references and a table of parts; None when a
    part is missing (the record is then unknown: its job counts as changed)."""
    found: dict[str, Any] = {"code": {}, "files": {}, "env": {}, "inputs": {}}
    for name, ident in refs.items():
        if name not in SHARED or not isinstance(parts.get(ident), dict):
            return None
        found[name] = parts[ident]
    deps: JobDeps = found  # type: ignore[assignment]  # each part as `share` took it
    return deps


def listing(records: list[JobDeps], base: str = "") -> list[tuple[str, str, int]]:
    """What the jobs of `records` used, for a person: (kind, what, how many of them), code
    first (file: unit), then files, then environment variables, each sorted."""
    counts: dict[tuple[str, str], int] = {}
    for deps in records:
        seen: set[tuple[str, str]] = set()
        for path, code in _items(deps.get("code")):
            units = code.get("units") if isinstance(code, dict) else None
            for unit in units if isinstance(units, dict) else ():
                name = "module body" if unit == MODULE else unit
                seen.add((CODE, f"{_shown(path, base)}: {name}"))
        seen.update((FILE, _shown(path, base)) for path, _ in _items(deps.get("files")))
        seen.update((ENV, name) for name, _ in _items(deps.get("env")))
        for key in seen:
            counts[key] = counts.get(key, 0) + 1
    order = {CODE: 0, FILE: 1, ENV: 2}
    return sorted(((k, w, n) for (k, w), n in counts.items()), key=lambda r: (order[r[0]], r[1]))
