"""What was seen, as a job's record: the code that ran as units with their digests, the
files read with their stat and SHA-256, the paths as the job's folder shows them.

A forked job runs this once, in a process where each function it calls for the first time
costs copied pages: hence few functions, and what the imports were seen to use settled in
the template, once for every job (`prepare`).
"""

from __future__ import annotations

import hashlib
import os
from collections.abc import Iterable
from types import CodeType
from typing import TYPE_CHECKING

from quarn.runner.contract import CodeDep, FileDep, JobDeps
from quarn.runner.store.digest import stat_key
from quarn.runner.trace.cache import LOADED, Folders, file_digest, source_units
from quarn.runner.trace.units import Units

if TYPE_CHECKING:
    from quarn.runner.trace.record import Seen

_NO_UNITS = Units({})


def prepare(seen: Iterable[Seen], watched: Iterable[CodeType]) -> None:
    """After the imports of a template: the unit of every project code object a job may
    run, the code each module's import ran as units, and the digest of every file read,
    computed once, where every forked job finds them."""
    _known.update(_units_of(watched, None))
    for each in seen:
        each.settled = code_of(each.code, None)
        for path, stat in each.files.items():
            if stat is not None and stat_key(path) == stat:
                file_digest(path, stat, None)


# code object -> (its source's real path, that source's SHA-256, its unit, the unit's digest)
_known: dict[CodeType, tuple[str, str, str, str]] = {}


def code_of(codes: Iterable[CodeType], folder: str | None) -> dict[str, CodeDep]:
    """Code objects that ran, as source file (real path) -> its SHA-256 and the units that
    ran with their digests ("" when the bytes that ran are gone)."""
    found: dict[str, CodeDep] = {}
    unknown = []
    for code in codes:
        known = _known.get(code)
        if known is None:
            unknown.append(code)
            continue
        path, sha, unit, digest = known
        dep = found.get(path)
        if dep is None:
            dep = found[path] = {"sha256": sha, "units": {}}
        dep["units"][unit] = digest
    if unknown:  # not watched in a template (imported by the job): the long way
        for path, sha, unit, digest in _units_of(unknown, folder).values():
            found.setdefault(path, {"sha256": sha, "units": {}})["units"][unit] = digest
    return found


def _units_of(
    codes: Iterable[CodeType], folder: str | None
) -> dict[CodeType, tuple[str, str, str, str]]:
    from quarn.runner.trace.record import project_file

    found: dict[CodeType, tuple[str, str, str, str]] = {}
    sources: dict[str, tuple[str, Units | None]] = {}
    for code in codes:
        path = project_file(code.co_filename)
        if path is None:
            continue
        if path not in sources:
            sha = LOADED.get(path)
            if sha is not None:
                sources[path] = (sha, source_units(sha, path, folder))
            else:  # loaded before the checked loader, or by another: as the file is now
                try:
                    with open(path, "rb") as handle:
                        data = handle.read()
                except OSError:
                    data = b""
                sha = hashlib.sha256(data).hexdigest()
                sources[path] = (sha, source_units(sha, path, folder, data))
        sha, table = sources[path]
        unit = (table or _NO_UNITS).unit_of(code.co_qualname, code.co_firstlineno)
        found[code] = (path, sha, unit, table.digests.get(unit, "") if table else "")
    return found


def deps(
    root: Seen, imports: list[Seen], written: set[str], cwd: str, folders: Folders, notes: list[str]
) -> JobDeps:
    """The record of a job from what it (`root`), and the imports it relies on, were seen
    to use. Paths are absolute (`cwd`: where the relative ones it wrote started): a
    reader anywhere finds them, and a moved project runs once more what read them."""
    seen = [root, *imports]
    code: dict[str, CodeDep] = {}
    for part in [code_of(root.code, folders.units), *(s.settled for s in imports)]:
        for path, dep in (part or {}).items():
            known = code.setdefault(path, {"sha256": dep["sha256"], "units": {}})
            known["units"].update(dep["units"])
    written = {os.path.normpath(os.path.join(cwd, p)) for p in written}  # as `abspath` would
    opened: dict[str, list[list[int] | None]] = {}
    env: dict[str, str | None] = {}
    for each in seen:
        for path, stat in each.files.items():
            if path not in written:
                opened.setdefault(path, []).append(stat)
        for name, digest in each.env.items():
            env.setdefault(name, digest)
    # In no particular order: whoever keeps the record sorts it (`canonical_json`).
    files = {p: _file(p, s, folders.digests) for p, s in opened.items()}
    record: JobDeps = {"code": code, "files": files, "env": env, "inputs": root.inputs}
    if notes:
        record["notes"] = list(notes)
    return record


def _file(path: str, stats: list[list[int] | None], folder: str | None) -> FileDep:
    """A file as the job read it: absent, changed while the job ran (SHA-256 ""), or its
    stat and SHA-256 now, when every open saw that very stat."""
    now = stat_key(path)
    if any(s != now for s in stats):
        return {"stat": now, "sha256": ""}
    if now is None:
        return {"stat": None, "sha256": None}
    return {"stat": now, "sha256": file_digest(path, now, folder) or ""}
