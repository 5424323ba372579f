"""Files that are only ever replaced whole: a synced temporary file renamed over the name."""

from __future__ import annotations

import os
import tempfile


def write_atomic(path: str, text: str) -> None:
    """A reader, or a process killed at any moment, sees the old file or the new one, whole."""
    folder = os.path.dirname(path) or os.curdir
    os.makedirs(folder, exist_ok=True)
    fd, temp = tempfile.mkstemp(dir=folder, prefix=".tmp-", suffix=".part")
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as handle:
            handle.write(text)
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(temp, path)
    except BaseException:
        try:
            os.unlink(temp)
        except OSError:
            pass
        raise
    sync_directory(folder)


def sync_directory(path: str) -> None:
    """Makes a rename durable; not every platform lets a directory be opened."""
    try:
        fd = os.open(path, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)
