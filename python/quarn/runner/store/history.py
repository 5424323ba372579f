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
from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING, TypedDict

from quarn.runner.contract import HISTORY_DIR, STATE_DIR
from quarn.runner.graph.model import Asset
from quarn.runner.report.outcome import NOT_RUN, SKIPPED, UP_TO_DATE, WAITING
from quarn.runner.store.atomic import write_atomic
from quarn.runner.store.paths import (
    is_job_id,
    list_inside,
    read_inside,
    relative_inside,
)

if TYPE_CHECKING:
    from quarn.runner.plan.jobs import Job
    from quarn.runner.report.outcome import Outcome

FORMAT = 1
_HISTORY = os.path.join(STATE_DIR, HISTORY_DIR)
# Bound once: a job run inside the runner may replace `json.dumps`.
_encode = json.JSONEncoder(separators=(",", ":")).encode
# Statuses of jobs that were not started: current, or not reached.
_NOT_STARTED = (UP_TO_DATE, SKIPPED, NOT_RUN, WAITING)


class AssetRecord(TypedDict):
    name: str  # as shown: the label, or the folder name when two assets share the label
    label: str  # declared name, else function name
    module: str
    function: str
    dims: dict[str, int]  # dimension -> number of keys
    inputs: dict[str, str]  # parameter -> upstream's shown name


class JobRecord(TypedDict):
    id: str  # asset folder / partition folder, as in the manifest
    asset: str
    partition: str  # `dim=key, ...`, empty when unpartitioned
    status: str
    attempts: int
    started: float | None  # seconds since the epoch
    seconds: float | None
    version: str
    error: str
    log: str  # the job's output, relative to the output directory; empty when none


class RunRecord(TypedDict):
    format: int
    run: str
    command: list[str]
    cwd: str
    started: float
    ended: float
    exit_status: int
    assets: list[AssetRecord]
    jobs: list[JobRecord]


def history_dir(out_dir: str) -> str:
    return os.path.join(out_dir, STATE_DIR, HISTORY_DIR)


def new_run_id(started: float) -> str:
    """Sorts by start time; the random tail keeps two runs of the same second apart."""
    millis = int(started * 1000) % 1000
    stamp = time.strftime("%Y%m%dT%H%M%S", time.gmtime(started))
    return f"{stamp}.{millis:03d}Z-{secrets.token_hex(3)}"


def asset_record(asset: Asset) -> AssetRecord:
    return {
        "name": asset.display,
        "label": asset.label,
        "module": asset.module,
        "function": asset.function_name,
        "dims": {dim: len(keys) for dim, keys in sorted(asset.dims.items())},
        "inputs": {param: up.display for param, up in sorted(asset.upstream.items())},
    }


def run_record(
    command: list[str],
    started: float,
    ended: float,
    assets: Iterable[Asset],
    jobs: Iterable[Job],
    outcomes: Iterable[Outcome],
    job_starts: Mapping[Job, float],
    out_dir: str,
) -> RunRecord:
    """The record of one run: every planned job, those that ran with how they ended."""
    ended_by = {o.job: o for o in outcomes}
    records: list[JobRecord] = []
    for job in jobs:
        outcome = ended_by.get(job)
        log = outcome.log if outcome is not None else ""
        records.append(
            {
                "id": job.id,
                "asset": job.asset.display,
                "partition": job.partition_label,
                "status": outcome.status if outcome is not None else UP_TO_DATE,
                "attempts": _attempts(outcome),
                "started": job_starts.get(job),
                "seconds": outcome.seconds if outcome is not None else None,
                "version": job.version,
                "error": outcome.error if outcome is not None else "",
                "log": os.path.relpath(log, out_dir) if log else "",
            }
        )
    return {
        "format": FORMAT,
        "run": new_run_id(started),
        "command": command,
        "cwd": os.getcwd(),
        "started": started,
        "ended": ended,
        "exit_status": 0,
        "assets": [asset_record(a) for a in assets],
        "jobs": records,
    }


def _attempts(outcome: Outcome | None) -> int:
    """How many times the job was started: none when it was up to date or never reached."""
    if outcome is None or outcome.status in _NOT_STARTED:
        return 0
    return 1 + len(outcome.earlier)


def append_run(out_dir: str, record: RunRecord, exit_status: int) -> str:
    """Writes the record as a new file; returns its path."""
    record["exit_status"] = exit_status
    list_inside(out_dir, _HISTORY)  # its folder and the way to it are no links
    path = os.path.join(history_dir(out_dir), record["run"] + ".json")
    write_atomic(path, _encode(record) + "\n")
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
        if not isinstance(data, dict) or data.get("format") != FORMAT:
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


def latest_jobs(runs: Iterable[RunRecord]) -> dict[str, JobRecord]:
    """Each job's record from the latest run that started it: a job up to date, skipped
    or never reached in a run has no say about it."""
    latest: dict[str, JobRecord] = {}
    for run in runs:
        for job in run["jobs"]:
            if job["status"] not in _NOT_STARTED:
                latest[job["id"]] = job
    return latest
