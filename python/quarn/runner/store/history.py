"""The run history: one record per run in `DIR/.quarn/history/`, never rewritten.

One file per run keeps appending safe without a lock (two runs never write the same file)
and lets `quarn clean` drop old runs by deleting files. A record also describes the graph
the run planned, so the report can draw it without the modules.
"""

from __future__ import annotations

import json
import os
import secrets
import time

from quarn.runner.contract import HISTORY_DIR, HISTORY_FORMAT, STATE_DIR, RunRecord
from quarn.runner.store.atomic import write_atomic
from quarn.runner.store.paths import (
    is_job_id,
    list_inside,
    read_inside,
    relative_inside,
)

_HISTORY = os.path.join(STATE_DIR, HISTORY_DIR)
# Bound once: a job run inside the runner may replace `json.dumps` or the encoder's parts.
_encode = json.JSONEncoder(separators=(",", ":")).encode
_decode = json.JSONDecoder().decode


def history_dir(out_dir: str) -> str:
    return os.path.join(out_dir, STATE_DIR, HISTORY_DIR)


def new_run_id(started: float) -> str:
    """Sorts by start time; the random tail keeps two runs of the same second apart."""
    millis = int(started * 1000) % 1000
    stamp = time.strftime("%Y%m%dT%H%M%S", time.gmtime(started))
    return f"{stamp}.{millis:03d}Z-{secrets.token_hex(3)}"


def append_run(out_dir: str, record: RunRecord, exit_status: int) -> str:
    """Writes the record as a new file; returns its path."""
    record["exit_status"] = exit_status
    text = _encode(record)
    if _decode(text) != record:
        raise OSError(f"the record of run {record['run']} does not read back as written")
    return append_encoded(out_dir, record["run"], text)


def encode_part(value: object) -> str:
    """A part of a record as `append_run` encodes it, to be put together with others into
    the text `append_encoded` takes."""
    return _encode(value)


def append_encoded(out_dir: str, run: str, text: str) -> str:
    """Writes the record of run `run`, encoded as `append_run` encodes it, as a new file."""
    list_inside(out_dir, _HISTORY)  # its folder and the way to it are no links
    path = os.path.join(history_dir(out_dir), run + ".json")
    write_atomic(path, text + "\n")
    return path


def load_runs(out_dir: str) -> tuple[list[RunRecord], list[str]]:
    """Every readable record, oldest first, and a warning for each file that is not one
    and each job record that names a path outside DIR (left out). Records are read without
    following links: a link in the history's place raises LayoutError."""
    folder = history_dir(out_dir)
    try:
        names = [n for n in list_inside(out_dir, _HISTORY) if n.endswith(".json")]
    except (FileNotFoundError, NotADirectoryError):
        return [], []
    except OSError as exc:
        return [], [f"cannot read {folder}: {exc.strerror}"]
    runs: list[RunRecord] = []
    warnings: list[str] = []
    for name in names:
        path = os.path.join(folder, name)
        try:
            data = json.loads(read_inside(out_dir, os.path.join(_HISTORY, name)))
        except (OSError, ValueError, RecursionError) as exc:
            warnings.append(f"skipping {path}: {exc}")
            continue
        if not isinstance(data, dict) or data.get("format") != HISTORY_FORMAT:
            warnings.append(f"skipping {path}: not a run record of this version")
            continue
        warnings += _drop_damaged(data, path)
        runs.append(data)  # type: ignore[arg-type]  # checked by its format tag
    return runs, warnings


def _drop_damaged(data: dict[str, object], path: str) -> list[str]:
    """Leaves out the job records whose id or log would lead outside DIR."""
    jobs = data.get("jobs")
    if not isinstance(jobs, list):
        data["jobs"] = []
        return [f"{path}: its jobs are not a list; they are left out"]
    kept, warnings = [], []
    for job in jobs:
        log = job.get("log") if isinstance(job, dict) else None
        if (
            isinstance(job, dict)
            and is_job_id(job.get("id"))
            and (log == "" or relative_inside(log) is not None)
        ):
            kept.append(job)
        else:
            shown = job.get("id") if isinstance(job, dict) else job
            warnings.append(f"{path}: ignoring the damaged record of job {shown!r}")
    data["jobs"] = kept
    return warnings
