"""Files that are only ever replaced whole: a synced temporary file renamed over the name."""

from __future__ import annotations

import os
import tempfile

_TEMP_PREFIX, _TEMP_SUFFIX = ".tmp-", ".part"


def write_atomic(path: str, text: str) -> None:
    """A reader, or a process killed at any moment, sees the old file or the new one, whole."""
    folder = os.path.dirname(path) or os.curdir
    os.makedirs(folder, exist_ok=True)
    fd, temp = tempfile.mkstemp(dir=folder, prefix=_TEMP_PREFIX, suffix=_TEMP_SUFFIX)
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


def remove_leftovers(folder: str) -> None:
    """Removes the temporary files of writes cut short by a crash. Only the holder of the
    output directory's lock writes there, so no such file belongs to a live writer."""
    try:
        names = os.listdir(folder)
    except OSError:
        return
    for name in names:
        if name.startswith(_TEMP_PREFIX) and name.endswith(_TEMP_SUFFIX):
            try:
                os.unlink(os.path.join(folder, name))
            except OSError:
                pass
