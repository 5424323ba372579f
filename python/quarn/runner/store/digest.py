"""Digests of value files, and what a job's folder holds, read cheaply.

A value file is hashed once: its digest is kept in the manifest with the file's stat
(size, mtime_ns, ctime_ns, inode), and hashed again only when the stat differs. The change
time cannot be set back by a user, so a file rewritten and given its old mtime is caught.
"""

from __future__ import annotations

import hashlib
import os

from quarn.runner.contract import ManifestEntry
from quarn.runner.inputs import stat_key as stat_key  # its older home
from quarn.runner.store.value_file import stored_value_file

_CHUNK = 1 << 20


def sha256_file(path: str, sync: bool = False) -> str | None:
    """The file's SHA-256 (None when it cannot be read); with `sync`, the file is synced
    to disk too, through the same descriptor."""
    digest = hashlib.sha256()
    try:
        with open(path, "rb") as handle:
            while chunk := handle.read(_CHUNK):
                digest.update(chunk)
            if sync:
                os.fsync(handle.fileno())
    except OSError:
        return None
    return digest.hexdigest()


def value_file_name(folder: str) -> str | None:
    """The name of the value file a success record in `folder` names; None when
    `result.json` is not a success record."""
    path = stored_value_file(folder)
    return None if path is None else os.path.basename(path)


def value_digest(
    folder: str, name: str, entry: ManifestEntry | None
) -> tuple[str, list[int]] | None:
    """The digest and stat of the value file `name` in `folder`, from the entry's cache when
    the file's stat is the recorded one; None when the file cannot be read."""
    path = os.path.join(folder, name)
    stat = stat_key(path)
    if stat is None:
        return None
    if entry is not None and entry.get("stat") == stat and entry.get("value") == name:
        digest = entry.get("digest")
        if isinstance(digest, str):
            return digest, stat
    computed = sha256_file(path)
    if computed is None:
        return None
    after = stat_key(path)
    return computed, after if after is not None else stat
