"""The record of which job versions an output directory holds, replaced atomically."""

from __future__ import annotations

import json
import os
import tempfile
from typing import Any

from quarn.runner.contract import MANIFEST_FILE

FORMAT = 1


class Manifest:
    """`DIR/manifest.json`: job id -> {asset, partition, version, seconds} of each success.

    The file only ever changes by renaming a complete, synced temporary file over it, so a
    reader (or a run killed at any moment) sees either the old or the new record, whole.
    """

    def __init__(self, out_dir: str, jobs: dict[str, dict[str, Any]] | None = None) -> None:
        self.out_dir = out_dir
        self.path = os.path.join(out_dir, MANIFEST_FILE)
        self.jobs: dict[str, dict[str, Any]] = jobs or {}
        self.dirty = False

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
        if not isinstance(jobs, dict) or data.get("format") != FORMAT:
            return cls(out_dir), f"{path} has an unknown format; every job runs again"
        return cls(out_dir, {k: v for k, v in jobs.items() if isinstance(v, dict)}), None

    def versions(self) -> dict[str, str]:
        return {k: v["version"] for k, v in self.jobs.items() if isinstance(v.get("version"), str)}

    def record(self, job_id: str, entry: dict[str, Any]) -> None:
        self.jobs[job_id] = entry
        self.dirty = True

    def forget(self, job_ids: list[str]) -> None:
        for job_id in job_ids:
            if self.jobs.pop(job_id, None) is not None:
                self.dirty = True

    def save(self) -> None:
        """Writes the whole record to a temporary file beside it, syncs, renames over it."""
        os.makedirs(self.out_dir, exist_ok=True)
        text = _encode(self.jobs)
        fd, temp = tempfile.mkstemp(dir=self.out_dir, prefix=".manifest-", suffix=".tmp")
        try:
            with os.fdopen(fd, "w", encoding="utf-8") as handle:
                handle.write(text)
                handle.flush()
                os.fsync(handle.fileno())
            os.replace(temp, self.path)
        except BaseException:
            try:
                os.unlink(temp)
            except OSError:
                pass
            raise
        _sync_directory(self.out_dir)
        self.dirty = False


def _encode(jobs: dict[str, dict[str, Any]]) -> str:
    """One line per job, sorted: readable and diffable, yet every piece goes through the
    fast compact encoder (an indented dump takes the slow path, tens of ms per save)."""
    lines = [
        "  " + json.dumps(job_id) + ": " + json.dumps(jobs[job_id], sort_keys=True)
        for job_id in sorted(jobs)
    ]
    body = ",\n".join(lines)
    return (
        f'{{"format": {FORMAT}, "jobs": {{\n{body}\n}}}}\n'
        if lines
        else (f'{{"format": {FORMAT}, "jobs": {{}}}}\n')
    )


def _sync_directory(path: str) -> None:
    """Makes the rename itself durable; not every platform lets a directory be opened."""
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
