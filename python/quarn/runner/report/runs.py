"""The record of one run, as the history keeps it: its planned assets and jobs, and how
each job ended."""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping

from quarn.runner.contract import HISTORY_FORMAT, AssetRecord, JobRecord, RunRecord
from quarn.runner.graph.model import Asset
from quarn.runner.plan.jobs import Job
from quarn.runner.report.outcome import Outcome
from quarn.runner.state.words import NOT_STARTED, Status
from quarn.runner.store.history import new_run_id


def asset_record(asset: Asset) -> AssetRecord:
    record: AssetRecord = {
        "name": asset.display,
        "label": asset.label,
        "module": asset.module,
        "function": asset.function_name,
        "dims": {dim: len(keys) for dim, keys in sorted(asset.dims.items())},
        "inputs": {param: up.display for param, up in sorted(asset.upstream.items())},
    }
    if asset.mappings:
        record["mappings"] = {p: m.text for p, m in sorted(asset.mappings.items())}
    return record


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
                "status": outcome.status if outcome is not None else Status.UP_TO_DATE,
                "attempts": _attempts(outcome),
                "started": job_starts.get(job),
                "seconds": outcome.seconds if outcome is not None else None,
                "version": job.version,
                "error": outcome.error if outcome is not None else "",
                "log": os.path.relpath(log, out_dir) if log else "",
            }
        )
    return {
        "format": HISTORY_FORMAT,
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
    if outcome is None or outcome.status in NOT_STARTED:
        return 0
    return 1 + len(outcome.earlier)


def latest_jobs(runs: Iterable[RunRecord]) -> dict[str, JobRecord]:
    """Each job's record from the latest run that started it: a job up to date, skipped
    or never reached in a run has no say about it."""
    latest: dict[str, JobRecord] = {}
    for run in runs:
        for job in run["jobs"]:
            if job["status"] not in NOT_STARTED:
                latest[job["id"]] = job
    return latest
