"""Which source files are the project's: those under its folders, not the interpreter's."""

from __future__ import annotations

import functools
import os
import sys
import sysconfig
from collections.abc import Iterable


@functools.cache
def _library() -> frozenset[str]:
    """The interpreter's own folders: the standard library and site-packages."""
    library = {os.path.realpath(p) for p in sysconfig.get_paths().values() if p}
    library.add(os.path.realpath(sys.prefix))
    library.add(os.path.realpath(sys.base_prefix))
    return frozenset(library)


def _inside(real: str, folders: Iterable[str]) -> bool:
    return any(real == f or real.startswith(f.rstrip(os.sep) + os.sep) for f in folders)


def project_roots(paths: Iterable[str], cwd: str | None = None) -> list[str]:
    """The folders whose modules are the project's: `paths`, then `cwd` (the project root
    when there is a project file, else the current directory), leaving out the
    interpreter's own folders (whose modules count by version)."""
    roots: list[str] = []
    for path in [*paths, cwd or os.getcwd()]:
        real = os.path.realpath(path)
        if not _inside(real, _library()) and real not in roots:
            roots.append(real)
    return roots


def in_roots(path: str, roots: Iterable[str]) -> bool:
    """Whether a source file is the project's: under a root, and not the interpreter's
    (a root such as / or the home folder may hold a virtual environment)."""
    real = os.path.realpath(path)
    return _inside(real, roots) and not _inside(real, _library())


def library_file(path: str) -> bool:
    """Whether a file is the interpreter's own (the standard library, site-packages): every
    other source file that runs is code someone may edit, on the project's path or not."""
    return _inside(os.path.realpath(path), _library())


def library_folder(path: str) -> bool:
    """Whether a path, as spelled, is under the interpreter's folders: `library_file`
    without resolving links, for a first answer that is mostly the last."""
    return path.startswith(library_prefixes())


@functools.cache
def library_prefixes() -> tuple[str, ...]:
    """The interpreter's folders, each ending with a separator, for `str.startswith`."""
    return tuple(folder.rstrip(os.sep) + os.sep for folder in sorted(_library()))
