"""Which source files are the project's: those under its folders, not the interpreter's."""

from __future__ import annotations

import os
import sys
import sysconfig
from collections.abc import Iterable


def project_roots(paths: Iterable[str], cwd: str | None = None) -> list[str]:
    """The folders whose modules are the project's: `paths`, then the current directory,
    leaving out the interpreter's own library folders (the standard library and
    site-packages, whose modules count by version)."""
    library = {os.path.realpath(p) for p in sysconfig.get_paths().values() if p}
    library.add(os.path.realpath(sys.prefix))
    library.add(os.path.realpath(sys.base_prefix))
    roots: list[str] = []
    for path in [*paths, cwd or os.getcwd()]:
        real = os.path.realpath(path)
        inside = any(real == lib or real.startswith(lib + os.sep) for lib in library)
        if not inside and real not in roots:
            roots.append(real)
    return roots


def in_roots(path: str, roots: Iterable[str]) -> bool:
    real = os.path.realpath(path)
    return any(real.startswith(root + os.sep) for root in roots)
