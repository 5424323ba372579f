"""The record of which job versions an output directory holds, replaced atomically."""

from __future__ import annotations

import errno
import json
import os
import time
from collections.abc import Callable, Mapping
from typing import Any, cast

from quarn.runner.contract import MANIFEST_FILE, STATUS_SUCCEEDED, ManifestEntry
from quarn.runner.inputs import stat_key
from quarn.runner.store.atomic import write_atomic
from quarn.runner.store.paths import is_job_id, is_plain_name, link_error

# 1: versions chained on upstream versions. 2: versions of code, declaration and key, with
# the digests of the values consumed and produced, and each job's latest status.
FORMAT = 2

# Bound once: a job run inside the runner (`--isolation none`) may replace `json.dumps` or
# the encoder's methods, and the manifest must not be written by what it left behind.
_encode_key = json.JSONEncoder().encode
_encode_entry = json.JSONEncoder(sort_keys=True).encode
_decode = json.JSONDecoder().decode


class ManifestEncodingError(OSError):
    """An entry did not read back as itself: the file on disk is left as it was."""


def utc_now() -> str:
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())


class Manifest:
    """`DIR/manifest.json`: job id -> its `ManifestEntry`.

    The file only ever changes by renaming a complete, synced temporary file over it, so a
    reader (or a run killed at any moment) sees either the old or the new record, whole.
    Entries change only through the methods below, which keep each job's encoded line until
    its entry changes: a run saves often, and re-encoding thousands of unchanged entries
    each time would cost the workers processor time.
    """

    def __init__(
        self,
        out_dir: str,
        jobs: dict[str, ManifestEntry] | None = None,
        roots: list[str] | None = None,
        serializer: str | None = None,
    ) -> None:
        self.out_dir = out_dir
        self.path = os.path.join(out_dir, MANIFEST_FILE)
        self.jobs: dict[str, ManifestEntry] = jobs or {}
        # The folders whose modules counted by their code in the recorded versions, so a
        # reader judges the code as the run did, wherever it is started.
        self.roots: list[str] = roots or []
        # The project's default serializer in the recorded versions, for the same reason.
        self.serializer = serializer
        # What jobs used while they ran, each part once however many jobs share it: id ->
        # part; an entry's `deps` names its parts by id (see trace/deps.py).
        self.parts: dict[str, Any] = {}
        self.dirty = False
        self._lines: dict[str, str] = {}  # job id -> its encoded line, while unchanged
        self._part_lines: dict[str, str] = {}  # part id -> its encoded line, while unchanged
        self.damaged: list[str] = []  # warnings about entries left out when it was read
        # The file's stat as read (from before the read) or as last written; None while
        # there is none. Only a run writes it, whole, under a new inode.
        self.stat: list[int] | None = None

    @classmethod
    def load(cls, out_dir: str) -> tuple[Manifest, str | None]:
        """Reads the manifest; an unreadable one counts as empty, with a warning to show.
        Entries that name no job folder inside DIR are left out (`damaged` says which).
        A link in the manifest's place raises LayoutError."""
        path = os.path.join(out_dir, MANIFEST_FILE)
        try:
            fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
        except FileNotFoundError:
            return cls(out_dir), None
        except OSError as exc:
            if exc.errno == errno.ELOOP:
                raise link_error(path) from None
            return cls(out_dir), f"cannot read {path} ({exc}); every job runs again"
        try:
            with open(fd, encoding="utf-8") as handle:
                st = os.fstat(fd)
                data = json.load(handle)
        except (OSError, ValueError, RecursionError) as exc:
            return cls(out_dir), f"cannot read {path} ({exc}); every job runs again"
        jobs = data.get("jobs") if isinstance(data, dict) else None
        found = data.get("format") if isinstance(data, dict) else None
        if isinstance(found, int) and not isinstance(found, bool) and found > FORMAT:
            return cls(out_dir), (
                f"{path} is of a newer format ({found}) than this quarn reads ({FORMAT}); "
                "every job runs again"
            )
        if not isinstance(jobs, dict) or found != FORMAT:
            return cls(out_dir), f"{path} has an unknown format; every job runs again"
        entries = {k: cast(ManifestEntry, v) for k, v in jobs.items() if isinstance(v, dict)}
        damaged = [k for k, v in entries.items() if not _sound(k, v)]
        for job_id in damaged:
            del entries[job_id]
        roots = data.get("roots")
        if not isinstance(roots, list) or not all(isinstance(r, str) for r in roots):
            roots = None
        serializer = data.get("serializer")
        serializer = serializer if isinstance(serializer, str) else None
        manifest = cls(out_dir, entries, roots, serializer)
        manifest.stat = [st.st_size, st.st_mtime_ns, st.st_ctime_ns, st.st_ino]
        parts = data.get("deps")
        if isinstance(parts, dict):
            manifest.parts = {k: v for k, v in parts.items() if isinstance(v, dict)}
        manifest.damaged = [
            f"{path}: ignoring the damaged record of job {job_id!r}: it names no job folder "
            "inside the output directory"
            for job_id in damaged
        ]
        return manifest, None

    def record(
        self, job_id: str, entry: ManifestEntry, parts: Mapping[str, Any] | None = None
    ) -> None:
        """A job's success; `parts`: the shared parts its entry's `deps` names."""
        self.jobs[job_id] = entry
        for ident, part in (parts or {}).items():
            if self.parts.get(ident) != part:
                self.parts[ident] = part
                self._part_lines.pop(ident, None)
        self._changed(job_id)

    def refresh_parts(self, parts: Mapping[str, Any]) -> None:
        """Shared parts read again and found the same, under new stats to keep."""
        for ident, part in parts.items():
            if ident in self.parts:
                self.parts[ident] = part
                self._part_lines.pop(ident, None)
                self.dirty = True

    def _changed(self, job_id: str) -> None:
        self._lines.pop(job_id, None)
        self.dirty = True

    def mark(
        self,
        job_id: str,
        status: str,
        asset: str,
        partition: dict[str, Any] | None,
        function: str,
    ) -> None:
        """A run of the job that did not succeed: its last success stays described, and the
        status says the files are not current."""
        entry = self.jobs.setdefault(job_id, {"asset": asset, "partition": partition})
        entry["status"] = status
        entry["function"] = function
        entry["ran_at"] = utc_now()
        self._changed(job_id)

    def restat(self, stats: dict[str, list[int]]) -> None:
        """New stat keys for value files found unchanged under a new stat."""
        for job_id, stat in stats.items():
            entry = self.jobs.get(job_id)
            if entry is not None and entry.get("status") == STATUS_SUCCEEDED:
                entry["stat"] = stat
                self._changed(job_id)

    def forget(self, job_ids: list[str]) -> None:
        for job_id in job_ids:
            if self.jobs.pop(job_id, None) is not None:
                self._changed(job_id)

    def save(self) -> None:
        """Replaces the file whole: a reader, or a run killed at any moment, sees the old
        record or the new one."""
        self.write(self.snapshot())

    def snapshot(self) -> str:
        """The file's text as the records are now; they count as saved from here."""
        text = self._encode()
        self.dirty = False
        return text

    def write(self, text: str) -> None:
        """Replaces the file whole with `text` (a `snapshot`)."""
        write_atomic(self.path, text)
        self.stat = stat_key(self.path)

    def _encode(self) -> str:
        """One line per job, sorted: readable and diffable, yet every piece goes through
        the fast compact encoder (an indented dump takes the slow path)."""
        lines: list[str] = []
        for job_id in sorted(self.jobs):
            line = self._lines.get(job_id)
            if line is None:
                line = self._lines[job_id] = _line(job_id, self.jobs[job_id])
            lines.append(line)
        default = f'"serializer": {_checked(self.serializer)}, ' if self.serializer else ""
        head = f'{{"format": {FORMAT}, "roots": {_checked(self.roots)}, {default}'
        head += self._encode_parts() + '"jobs": '
        if not lines:
            return head + "{}}\n"
        return head + "{\n" + ",\n".join(lines) + "\n}}\n"

    def _encode_parts(self) -> str:
        """`"deps": {...}, ` with the parts some entry still names, one per line; nothing
        when there are none."""
        named: set[str] = set()
        for entry in self.jobs.values():
            refs = entry.get("deps")
            if isinstance(refs, dict):
                named.update(r for r in refs.values() if isinstance(r, str))
        lines = []
        for ident in sorted(named & set(self.parts)):
            line = self._part_lines.get(ident)
            if line is None:
                line = self._part_lines[ident] = _line(ident, self.parts[ident])
            lines.append(line)
        return '"deps": {\n' + ",\n".join(lines) + "\n}, " if lines else ""


def _line(job_id: str, entry: ManifestEntry) -> str:
    """One job's line, each part checked to read back as what it encodes."""
    return "  " + _checked(job_id) + ": " + _checked(entry, _encode_entry)


def _checked(value: Any, encode: Callable[[Any], str] = _encode_key) -> str:
    text = encode(value)
    try:
        same = _decode(text) == value
    except ValueError:
        same = False
    if not same:
        raise ManifestEncodingError(f"{text[:80]!r} does not read back as what it records")
    return text


def _sound(job_id: str, entry: ManifestEntry) -> bool:
    """A record whose job id and value file name stay inside the job's own folder."""
    value = entry.get("value")
    return is_job_id(job_id) and (value is None or is_plain_name(value))
