"""What the recorded dependencies of jobs are now, read cheaply: each file, variable and
source once however many jobs recorded it; a file hashed only when its stat is not the
recorded one; a changed source parsed once per content (`cache.source_units`)."""

from __future__ import annotations

import copy
import hashlib
import os
from collections.abc import Mapping
from typing import Any

from quarn.runner.contract import JobDeps, ManifestEntry
from quarn.runner.inputs import Inputs
from quarn.runner.state.words import Reason, Why
from quarn.runner.store.digest import stat_key
from quarn.runner.trace.cache import Folders, file_digest, folders, source_units, text_digest
from quarn.runner.trace.deps import (
    Comparison,
    FileNow,
    Observed,
    SourceNow,
    compare,
    join,
    must_hash,
)


class DepsObserver:
    """Observes recorded dependencies against the files under `cwd` (where relative paths
    of a record start: the jobs' working directory) and the environment `environ`."""

    def __init__(
        self,
        cwd: str | None = None,
        environ: Mapping[str, str] | None = None,
        folders: Folders | None = None,
    ) -> None:
        self.cwd = cwd or os.getcwd()
        self.environ = os.environ if environ is None else environ
        self.folders = folders or Folders()
        self._stats: dict[str, list[int] | None] = {}
        self._sources: dict[str, tuple[str | None, bytes]] = {}  # path -> SHA-256, bytes
        self._units: dict[str, SourceNow] = {}
        # Each source read, with its stat from before it was read (None: unreadable).
        self.source_stats: dict[str, list[int] | None] = {}

    def changes(self, deps: JobDeps) -> Comparison:
        """The dependencies of `deps` that changed, and the files only touched."""
        return compare(deps, self.observe(deps), self.cwd)

    def observe(self, deps: JobDeps) -> Observed:
        recorded_code = deps.get("code")
        code: dict[str, SourceNow] = {}
        for path in _keys(recorded_code):
            source = recorded_code[path]
            code[path] = self._source(
                path, source.get("sha256") if isinstance(source, dict) else None
            )
        files: dict[str, FileNow] = {}
        recorded_files = deps.get("files")
        for path in _keys(recorded_files):
            full = self._full(path)
            stat = self._stat(full)
            file = recorded_files[path]
            digest = None
            if isinstance(file, dict) and must_hash(file, stat) and stat is not None:
                digest = file_digest(full, stat, self.folders.digests)
            files[path] = FileNow(stat, digest)
        env: dict[str, str | None] = {}
        for name in _keys(deps.get("env")):
            value = self.environ.get(name)
            env[name] = None if value is None else text_digest(value)
        return Observed(code, files, env)

    def _full(self, path: str) -> str:
        return path if os.path.isabs(path) else os.path.join(self.cwd, path)

    def _stat(self, path: str) -> list[int] | None:
        if path not in self._stats:
            self._stats[path] = stat_key(path)
        return self._stats[path]

    def _source(self, path: str, recorded: object) -> SourceNow:
        """A source's digest now; parsed, from the very bytes hashed, only when that is not
        the `recorded` one."""
        if path not in self._sources:
            try:
                with open(self._full(path), "rb") as handle:
                    st = os.fstat(handle.fileno())
                    data = handle.read()
            except OSError:
                self._sources[path] = (None, b"")
                self.source_stats[path] = stat_key(self._full(path))
            else:
                self._sources[path] = (hashlib.sha256(data).hexdigest(), data)
                self.source_stats[path] = [st.st_size, st.st_mtime_ns, st.st_ctime_ns, st.st_ino]
        sha, data = self._sources[path]
        if sha is None or sha == recorded:
            return SourceNow(sha)
        if path not in self._units:
            table = source_units(sha, self._full(path), self.folders.units, data)
            self._units[path] = SourceNow(sha, None if table is None else table.digests)
        return self._units[path]


def _keys(part: object) -> list[str]:
    return [k for k in part if isinstance(k, str)] if isinstance(part, dict) else []


def _items(part: object) -> list[tuple[str, Any]]:
    return [(k, v) for k, v in part.items() if isinstance(k, str)] if isinstance(part, dict) else []


class RecordedDeps:
    """The dependency reasons of the jobs of one manifest: for a job's record, what it was
    seen to use (its `deps`, read from the shared `parts`) compared with what is there now.
    Parts found only touched (same bytes, new stat) are kept in `touched`, to be saved."""

    def __init__(self, parts: Mapping[str, Any], observer: DepsObserver | None = None) -> None:
        self.parts = parts
        self.observer = observer or DepsObserver(folders=folders())
        self.touched: dict[str, Any] = {}
        # What the jobs found unchanged rest on, as the next look would find it unchanged:
        # each file by its recorded stat (as refreshed), each variable by its digest, each
        # source by its stat from before it was read; `used_by` in full.
        self._used = Inputs()
        self._noted: set[tuple[object, ...]] = set()

    def __call__(
        self, job_id: str, record: ManifestEntry, function: str | None = None
    ) -> list[Reason]:
        refs = record.get("deps")
        if not isinstance(refs, dict) or not refs:
            return []  # recorded before runs recorded what jobs use: the static version alone
        deps = join(refs, {**self.parts, **self.touched})
        if deps is None:
            return [Reason(Why.DEPENDENCY, "what it used when it ran is not on record")]
        ran = record.get("function")
        moved = bool(
            function
            and isinstance(ran, str)
            and ran.partition(":")[0] != function.partition(":")[0]
        )
        if moved and isinstance(ran, str):
            deps = _moved(deps, ran.partition(":")[0])
        found = self.observer.changes(deps)
        ident = refs.get("files")
        if found.restat and ident:
            part = self.touched.get(ident) or copy.deepcopy(self.parts[ident])
            for path, stat in found.restat.items():
                part[path]["stat"] = stat
            self.touched[ident] = part
        noted = (moved, *sorted(refs.items()))
        if not found.changed and noted not in self._noted:
            self._noted.add(noted)  # jobs that share their parts share what they rest on
            self._note(deps, found.restat)
        return [Reason(Why.DEPENDENCY, c.text) for c in found.changed]

    def _note(self, deps: JobDeps, restat: Mapping[str, list[int]]) -> None:
        used, cwd = self._used, self.observer.cwd
        for path, file in _items(deps.get("files")):
            stat = restat.get(path, file.get("stat") if isinstance(file, dict) else None)
            used.path(path if os.path.isabs(path) else os.path.join(cwd, path), stat)
        for name, digest in _items(deps.get("env")):
            used.variable(name, digest)
        for path in _keys(deps.get("code")):
            full = path if os.path.isabs(path) else os.path.join(cwd, path)
            used.path(full, self.observer.source_stats.get(path))

    def used(self) -> Inputs:
        """What the dependencies found unchanged so far rest on (see `_used`)."""
        return self._used


def _moved(deps: JobDeps, module: str) -> JobDeps:
    """The record of a job whose asset has moved out of `module` since it ran, without the
    code of that module: the asset's own code is the static version's to judge (a function
    moved as it was is the same function), and what its old module did no longer runs."""
    tails = (os.sep + module.replace(".", os.sep) + ".py",) + (
        os.sep + module.replace(".", os.sep) + os.sep + "__init__.py",
    )
    code = {p: c for p, c in deps["code"].items() if not p.endswith(tails)}
    moved: JobDeps = {**deps, "code": code}
    return moved
