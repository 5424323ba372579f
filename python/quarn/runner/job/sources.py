"""The code a job runs is the code its version describes.

The runner hashes the project's source files when it plans (`JobSpec.sources`). Here every
project module is compiled from the bytes that were just read and checked against those
digests: no bytecode cache is consulted for project files, so a source edited within the
second of its cached bytecode (with the same size) can never run as the old code while the
new version is recorded. Compiled code may be kept in the user's own cache (`code_cache`),
keyed by the SHA-256 of the path and the source bytes, so it is only ever reused for
exactly those bytes. A file that no longer has its planned digest stops the job before
the asset runs.
"""

from __future__ import annotations

import hashlib
import importlib.abc
import importlib.machinery
import os
import sys
from collections.abc import Mapping, Sequence
from types import CodeType, ModuleType

from quarn.runner.job import code_cache
from quarn.runner.project import in_roots, project_roots

# realpath -> digest of the bytes this process compiled it from. A forked job runs what
# its template loaded, whatever the file holds by now: that is what must match the plan
# (and what the job's record of the code that ran names).
from quarn.runner.trace.cache import LOADED as LOADED


class SourceChanged(Exception):
    """A project source file is not the one the run planned with."""


def _changed(path: str) -> SourceChanged:
    return SourceChanged(f"the source of {path} changed since the run was planned; run again")


def check_sources(sources: Mapping[str, str]) -> None:
    """Every planned file still has its digest (also those a fresh import would not read
    again, being already loaded)."""
    for path, expected in sorted(sources.items()):
        loaded = LOADED.get(os.path.realpath(path))
        if loaded is not None:
            if loaded != expected:
                raise _changed(path)
            continue
        try:
            with open(path, "rb") as handle:
                data = handle.read()
        except OSError:
            raise _changed(path) from None
        if hashlib.sha256(data).hexdigest() != expected:
            raise _changed(path)


class _CheckedLoader(importlib.machinery.SourceFileLoader):
    """Compiles a project module from the bytes it reads, after checking their digest."""

    def __init__(
        self, fullname: str, path: str, expected: str | None, cache_dir: str | None
    ) -> None:
        super().__init__(fullname, path)
        self.expected = expected
        self.cache_dir = cache_dir

    def get_code(self, fullname: str) -> CodeType:
        path = self.get_filename(fullname)
        data = self.get_data(path)
        digest = hashlib.sha256(data).hexdigest()
        if self.expected is not None and digest != self.expected:
            raise _changed(path)
        LOADED[os.path.realpath(path)] = digest
        cached = None
        if self.cache_dir is not None:
            key = hashlib.sha256(os.fsencode(path) + b"\0" + data).hexdigest()
            cached = code_cache.entry_path(self.cache_dir, key)
            code = code_cache.load(cached)
            if code is not None:
                return code
        code = compile(data, path, "exec", dont_inherit=True)
        if cached is not None:
            code_cache.store(cached, code)
        return code


class _ProjectFinder(importlib.abc.MetaPathFinder):
    """Finds modules as the path finder does, and gives project source files the checked
    loader."""

    def __init__(self, roots: list[str], sources: Mapping[str, str], cache_dir: str | None):
        self.roots = roots
        self.sources = {os.path.realpath(p): d for p, d in sources.items()}
        self.cache_dir = cache_dir

    def find_spec(
        self, fullname: str, path: Sequence[str] | None, target: ModuleType | None = None
    ) -> importlib.machinery.ModuleSpec | None:
        spec = importlib.machinery.PathFinder.find_spec(fullname, path, target)
        if (
            spec is None
            or spec.origin is None
            or type(spec.loader) is not importlib.machinery.SourceFileLoader
            or not in_roots(spec.origin, self.roots)
        ):
            return spec
        expected = self.sources.get(os.path.realpath(spec.origin))
        spec.loader = _CheckedLoader(fullname, spec.origin, expected, self.cache_dir)
        spec.cached = None
        return spec


def install(sources: Mapping[str, str], paths: Sequence[str], cache_dir: str | None) -> None:
    """Checks the planned files, then puts the checked loader in front of the path finder
    for every later import of a project module."""
    check_sources(sources)
    roots = project_roots(paths)
    finder = _ProjectFinder(roots, sources, cache_dir)
    index = next(
        (i for i, f in enumerate(sys.meta_path) if f is importlib.machinery.PathFinder),
        len(sys.meta_path),
    )
    sys.meta_path.insert(index, finder)
