"""The record of which job versions an output directory holds, replaced atomically."""

from __future__ import annotations

import json
import os
import time
from typing import Any, cast

from quarn.runner.contract import MANIFEST_FILE, STATUS_SUCCEEDED, ManifestEntry
from quarn.runner.store.atomic import write_atomic

# 1: versions chained on upstream versions. 2: versions of code, declaration and key, with
# the digests of the values consumed and produced, and each job's latest status.
FORMAT = 2


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
        self.dirty = False
        self._lines: dict[str, str] = {}  # job id -> its encoded line, while unchanged

    @classmethod
    def load(cls, out_dir: str) -> tuple[Manifest, str | None]:
        """Reads the manifest; an unreadable one counts as empty, with a warning to show."""
        path = os.path.join(out_dir, MANIFEST_FILE)
        try:
            with open(path, encoding="utf-8") as handle:
                data = json.load(handle)
        except FileNotFoundError:
            return cls(out_dir), None
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
        roots = data.get("roots")
        if not isinstance(roots, list) or not all(isinstance(r, str) for r in roots):
            roots = None
        serializer = data.get("serializer")
        serializer = serializer if isinstance(serializer, str) else None
        return cls(out_dir, entries, roots, serializer), None

    def record(self, job_id: str, entry: ManifestEntry) -> None:
        self.jobs[job_id] = entry
        self._changed(job_id)

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
        write_atomic(self.path, self._encode())
        self.dirty = False

    def _encode(self) -> str:
        """One line per job, sorted: readable and diffable, yet every piece goes through
        the fast compact encoder (an indented dump takes the slow path)."""
        lines: list[str] = []
        for job_id in sorted(self.jobs):
            line = self._lines.get(job_id)
            if line is None:
                entry = json.dumps(self.jobs[job_id], sort_keys=True)
                line = self._lines[job_id] = "  " + json.dumps(job_id) + ": " + entry
            lines.append(line)
        default = f'"serializer": {json.dumps(self.serializer)}, ' if self.serializer else ""
        head = f'{{"format": {FORMAT}, "roots": {json.dumps(self.roots)}, {default}"jobs": '
        if not lines:
            return head + "{}}\n"
        return head + "{\n" + ",\n".join(lines) + "\n}}\n"
