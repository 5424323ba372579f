"""Files that are only ever replaced whole: a synced temporary file renamed over the name.

With `--isolation none` the jobs run in the runner's own process and may replace any
function of a standard module (`os.replace = ...`); the runner's own writes go through the
functions bound here when it started, never through what a job left behind.
"""

from __future__ import annotations

import os
import sys
import tempfile
from collections.abc import Callable

_TEMP_PREFIX, _TEMP_SUFFIX = ".tmp-", ".part"
_mkstemp, _write, _fsync, _replace = tempfile.mkstemp, os.write, os.fsync, os.replace
_open, _close, _unlink, _makedirs = os.open, os.close, os.unlink, os.makedirs


def is_temporary(name: str) -> bool:
    """A name `write_atomic` gives its temporary files."""
    return name.startswith(_TEMP_PREFIX) and name.endswith(_TEMP_SUFFIX)


def write_atomic(path: str, text: str) -> None:
    """A reader, or a process killed at any moment, sees the old file or the new one, whole.
    A link at `path` is replaced, never written through."""
    folder = os.path.dirname(path) or os.curdir
    _makedirs(folder, exist_ok=True)
    data = memoryview(text.encode("utf-8"))
    fd, temp = _mkstemp(dir=folder, prefix=_TEMP_PREFIX, suffix=_TEMP_SUFFIX)
    try:
        try:
            while data:
                data = data[_write(fd, data) :]
            _fsync(fd)
        finally:
            _close(fd)
        _replace(temp, path)
    except BaseException:
        try:
            _unlink(temp)
        except OSError:
            pass
        raise
    sync_directory(folder)


def _syncfs() -> Callable[[int], int] | None:
    """The kernel's call that writes out everything of one file system, where there is one."""
    if not sys.platform.startswith("linux"):
        return None
    try:
        import ctypes

        call: Callable[[int], int] = ctypes.CDLL(None, use_errno=True).syncfs
    except (OSError, AttributeError):
        return None
    return call


_SYNCFS = _syncfs()


def sync_filesystem(path: str) -> bool:
    """Writes out every file and folder of the file system that holds `path`, in one call:
    the group commit of the jobs that ended since the last one, which costs one journal
    commit instead of a sync per file. False where the kernel has no such call (or it
    failed): the caller syncs what it wrote one by one instead."""
    if _SYNCFS is None:
        return False
    try:
        fd = _open(path, os.O_RDONLY)
    except OSError:
        return False
    try:
        return _SYNCFS(fd) == 0
    finally:
        _close(fd)


def sync_directory(path: str) -> None:
    """Makes a rename durable; not every platform lets a directory be opened."""
    try:
        fd = _open(path, os.O_RDONLY)
    except OSError:
        return
    try:
        _fsync(fd)
    except OSError:
        pass
    finally:
        _close(fd)


def remove_leftovers(folder: str) -> None:
    """Removes the temporary files of writes cut short by a crash. Only the holder of the
    output directory's lock writes there, so no such file belongs to a live writer."""
    try:
        names = os.listdir(folder)
    except OSError:
        return
    for name in names:
        if is_temporary(name):
            try:
                _unlink(os.path.join(folder, name))
            except OSError:
                pass
