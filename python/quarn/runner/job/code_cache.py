"""Compiled project code, kept per user where only that user can write.

A spawned job compiles every project module it imports from the bytes it checked against
the plan (`sources`); compiling a 2,600-line module costs about 10 ms, reading its code
back 0.2 ms (`bench/bench_compile.py`). The cache is not in the output directory: whoever
can write there (a shared folder, a copied or unpacked directory) could plant code under
the key of a real source, and the job would run it. It lives in the user's own cache
folder instead (`$XDG_CACHE_HOME/quarn/code`, else `~/.cache/quarn/code`), which is used
only while it is a real folder of this user that nobody else may write, and each entry
only when this user owns it: what could plant an entry there can already run code as the
user. Entries are keyed by the SHA-256 of the source's path and bytes, so one is only ever
reused for exactly those bytes.
"""

from __future__ import annotations

import marshal
import os
import sys
from types import CodeType

from quarn.runner.store.user_cache import keep, private_folder, read_own


def cache_dir() -> str | None:
    """The folder, created private when missing; None when it is not safe to use."""
    return private_folder("code")


def entry_path(folder: str, key: str) -> str:
    return os.path.join(folder, f"{key}.{sys.implementation.cache_tag or 'python'}.code")


def load(path: str) -> CodeType | None:
    """The code kept at `path`, when this user wrote it there; None otherwise."""
    data = read_own(path)
    if data is None:
        return None
    try:
        code = marshal.loads(data)
    except (EOFError, ValueError, TypeError):
        return None
    return code if isinstance(code, CodeType) else None


def store(path: str, code: CodeType) -> None:
    """Keeps `code` at `path`, whole or not at all; a failure to keep it is no failure."""
    keep(path, marshal.dumps(code))
