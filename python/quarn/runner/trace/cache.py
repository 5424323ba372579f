"""Digests kept between processes: the units of a source by the SHA-256 of its bytes, and
the SHA-256 of a data file by its path and stat.

Each lives in memory (a forked job inherits what its template computed) and, when a folder
is given, in a file of its own under the output directory's state folder, written whole or
not at all: the first job that needs a digest computes it, the jobs after it and the next
planning read it. A file's digest is trusted for as long as its stat (size, mtime_ns,
ctime_ns, inode) is the same, as the value files' digests are.
"""

from __future__ import annotations

import hashlib
import json
import os

from quarn.runner.store.digest import sha256_file, stat_key
from quarn.runner.trace.units import Units, units

_units: dict[str, Units | None] = {}


def text_digest(value: str) -> str:
    """What identifies an environment variable's value in a record: its SHA-256."""
    return hashlib.sha256(value.encode("utf-8", "surrogateescape")).hexdigest()


_files: dict[tuple[str, tuple[int, ...]], str] = {}


def source_units(
    sha: str, path: str, folder: str | None, data: bytes | None = None
) -> Units | None:
    """The units of the source whose bytes have SHA-256 `sha`: from memory, from `folder`,
    else parsed from `data` (or the file at `path`, when it still holds those bytes).
    None when the source is gone or does not parse."""
    if sha in _units:
        return _units[sha]
    cached = os.path.join(folder, f"{sha}.units.json") if folder else None
    if cached is not None:
        try:
            with open(cached, encoding="utf-8") as handle:
                found = Units.from_json(json.load(handle))
        except (OSError, ValueError, RecursionError):
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
        try:
            with open(cached, encoding="ascii") as handle:
                text = handle.read()
            if len(text) == 64:
                _files[key] = text
                return text
        except (OSError, ValueError):
            pass
    digest = sha256_file(path)
    if digest is None:
        return None
    if stat_key(path) != stat:
        return ""
    _files[key] = digest
    if cached is not None:
        _write(cached, digest.encode("ascii"))
    return digest


def _write(path: str, data: bytes) -> None:
    """A cache entry appears whole or not at all; a failure to write one is no failure."""
    import tempfile

    try:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        fd, temp = tempfile.mkstemp(dir=os.path.dirname(path), suffix=".tmp")
        with os.fdopen(fd, "wb") as handle:
            handle.write(data)
        os.replace(temp, path)
    except OSError:
        pass
