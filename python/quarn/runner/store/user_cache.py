"""The user's private cache: what quarn keeps between processes where only this user can
write (`$XDG_CACHE_HOME/quarn/KIND`, else `~/.cache/quarn/KIND`).

A folder is used only while it is a real folder of this user that nobody else may write,
and an entry only when it is a file this user owns, read without following links: whoever
could plant an entry there can already run code as the user. Entries are written whole or
not at all, and a failure to keep one is no failure.
"""

from __future__ import annotations

import hashlib
import json
import os
import stat
import sys
import tempfile
from typing import Any

from quarn.runner.inputs import request_environment


def private_folder(kind: str) -> str | None:
    """The folder of KIND, created private when missing; None when it is not safe to use."""
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    if not os.path.isabs(base):
        return None
    folder = os.path.join(base, "quarn", kind)
    try:
        os.makedirs(folder, mode=0o700, exist_ok=True)
        info = os.lstat(folder)
    except OSError:
        return None
    private = stat.S_ISDIR(info.st_mode) and info.st_uid == os.geteuid()
    return folder if private and not info.st_mode & 0o077 else None


def entry_path(kind: str, request: list[Any]) -> str | None:
    """Where KIND keeps its entry for `request` (a JSON value), named by its digest with the
    interpreter and the environment that shapes imports; None when the folder is not safe."""
    folder = private_folder(kind)
    if folder is None:
        return None
    keyed = [*request, sys.executable, sys.version, request_environment()]
    text = json.dumps(keyed, ensure_ascii=False)
    name = hashlib.sha256(text.encode("utf-8", "surrogateescape")).hexdigest()
    return os.path.join(folder, name + ".json")


def read_own(path: str) -> bytes | None:
    """The entry's bytes, when it is a file this user wrote; None otherwise."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except OSError:
        return None
    with open(fd, "rb") as handle:
        info = os.fstat(handle.fileno())
        if not stat.S_ISREG(info.st_mode) or info.st_uid != os.geteuid():
            return None
        try:
            return handle.read()
        except OSError:
            return None


def read_json(path: str | None) -> Any:
    """The entry at `path` parsed as JSON, when this user wrote it and it parses; None
    otherwise (a damaged entry is as good as none)."""
    data = None if path is None else read_own(path)
    if data is None:
        return None
    try:
        return json.loads(data)
    except (ValueError, RecursionError):
        return None


def keep(path: str, data: bytes) -> None:
    """Writes the entry whole (a temporary file renamed over it), or not at all."""
    try:
        fd, temp = tempfile.mkstemp(dir=os.path.dirname(path), suffix=".tmp")
        with os.fdopen(fd, "wb") as handle:
            handle.write(data)
        os.replace(temp, path)
    except OSError:
        pass


def used(path: str) -> None:
    """Marks the entry as just used, for `trim`."""
    try:
        os.utime(path)
    except OSError:
        pass


def trim(folder: str, most: int) -> None:
    """Keeps the `most` entries of `folder` used or written last, and removes the others
    (for kinds of entry that are large, and made per request)."""
    try:
        with os.scandir(folder) as found:
            entries = [(e.stat().st_mtime_ns, e.path) for e in found if e.is_file()]
    except OSError:
        return
    for _, path in sorted(entries, reverse=True)[most:]:
        try:
            os.unlink(path)
        except OSError:
            pass
