"""Digests kept between processes: the units of a source by the SHA-256 of its bytes, and
the SHA-256 of a data file by its path and stat.

Each lives in memory (a forked job inherits what its template computed) and in a file of
its own in the user's private cache (`$XDG_CACHE_HOME/quarn/units` and `.../digests`, kept
like the compiled code: see `store/user_cache.py`), written whole or not at all and read only
when this user wrote it. An entry planted by someone else could make a changed file or
function pass for the one a job used; in the user's own folder, whoever could plant one
can already run code as the user. The first job that needs a digest computes it, the jobs
after it and the next planning read it. A file's digest is trusted for as long as its
stat (size, mtime_ns, ctime_ns, inode) is the same, as the value files' digests are.
"""

from __future__ import annotations

import hashlib
import json
import os
from typing import NamedTuple

from quarn.runner.inputs import text_digest as text_digest  # a variable's identity
from quarn.runner.store.digest import sha256_file, stat_key
from quarn.runner.store.user_cache import keep, private_folder, read_own
from quarn.runner.trace.units import Units, units

# realpath -> SHA-256 of the bytes this process compiled it from (by the checked loader of
# job/sources.py): a forked job runs what its template loaded, whatever the file holds by
# now, and its record names that code.
LOADED: dict[str, str] = {}
_units: dict[str, Units | None] = {}
_files: dict[tuple[str, tuple[int, ...]], str] = {}


class Folders(NamedTuple):
    """Where unit tables and file digests are kept (None: in memory only)."""

    units: str | None = None
    digests: str | None = None


_folders: Folders | None = None


def folders() -> Folders:
    """The user's folders of unit tables and file digests, looked up once per process."""
    global _folders
    if _folders is None:
        _folders = Folders(private_folder("units"), private_folder("digests"))
    return _folders


def source_units(
    sha: str, path: str, folder: str | None, data: bytes | None = None
) -> Units | None:
    """The units of the source whose bytes have SHA-256 `sha`: from memory, from `folder`,
    else parsed from `data` (or the file at `path`, when it still holds those bytes).
    None when the source is gone or does not parse."""
    if sha in _units:
        return _units[sha]
    cached = os.path.join(folder, f"{sha}.json") if folder else None
    if cached is not None:
        text = _read(cached)
        try:
            found = Units.from_json(json.loads(text)) if text is not None else None
        except (ValueError, RecursionError):
            found = None
        if found is not None:
            _units[sha] = found
            return found
    if data is None:
        try:
            with open(path, "rb") as handle:
                data = handle.read()
        except OSError:
            return None
    if hashlib.sha256(data).hexdigest() != sha:
        return None  # not the bytes asked about (the file changed since)
    table = units(data, path)
    _units[sha] = table
    if table is not None and cached is not None:
        _write(cached, json.dumps(table.to_json()).encode("utf-8"))
    return table


def file_digest(path: str, stat: list[int], folder: str | None) -> str | None:
    """The SHA-256 of the file at `path` whose stat is `stat` now; None when it cannot be
    read, "" when it changed while it was hashed. Hashed only when no digest is known for
    that path and stat."""
    key = (path, tuple(stat))
    known = _files.get(key)
    if known is not None:
        return known
    name = hashlib.sha256(f"{path}\0{stat}".encode("utf-8", "surrogateescape")).hexdigest()
    cached = os.path.join(folder, name) if folder else None
    if cached is not None:
        text = _read(cached)
        if text is not None and len(text) == 64:
            _files[key] = text
            return text
    digest = sha256_file(path)
    if digest is None:
        return None
    if stat_key(path) != stat:
        return ""
    _files[key] = digest
    if cached is not None:
        _write(cached, digest.encode("ascii"))
    return digest


def _read(path: str) -> str | None:
    """An entry's text, when it is a file this user wrote (never through a link)."""
    data = read_own(path)
    if data is None:
        return None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return None


def _write(path: str, data: bytes) -> None:
    keep(path, data)
