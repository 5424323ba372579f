"""The I/O around the freshness decisions: reading a job's folder, recording a success."""

from __future__ import annotations

import os

from quarn.runner.contract import (
    RESULT_FILE,
    STATUS_SUCCEEDED,
    JobReport,
    ManifestEntry,
    job_dir,
)
from quarn.runner.plan.freshness import Observed, Plan
from quarn.runner.plan.jobs import Job
from quarn.runner.store.digest import stat_key, value_digest, value_file_name
from quarn.runner.store.manifest import utc_now


class FolderObserver:
    """Observes job folders under `out_dir`; a digest found again under a new stat (the
    file was touched, not changed) refreshes the entry's stat cache in `refreshed`."""

    def __init__(self, out_dir: str) -> None:
        self.out_dir = out_dir
        self.refreshed: dict[str, list[int]] = {}

    def __call__(self, job: Job, entry: ManifestEntry) -> Observed:
        folder = job_dir(self.out_dir, job.asset.dir_name, job.partition_dir)
        result_stat = stat_key(os.path.join(folder, RESULT_FILE))
        if result_stat is not None and result_stat == entry.get("result_stat"):
            name: str | None = entry.get("value")  # the very record read at its success
        else:
            name = value_file_name(folder)
        if name is None:
            return Observed(False, None)
        found = value_digest(folder, name, entry)
        if found is None:
            return Observed(True, None)
        digest, stat = found
        if digest == entry.get("digest") and stat != entry.get("stat"):
            self.refreshed[job.id] = stat
        return Observed(True, digest)


def success_entry(plan: Plan, job: Job, report: JobReport, seconds: float) -> ManifestEntry:
    """The record of a success, from what its worker reported of the files it stored (their
    digest and stat survive the rename of the stage folder); notes the new digest in `plan`."""
    plan.produced(job, report["digest"])
    return {
        "asset": job.asset.display,
        "partition": job.key or None,
        "status": STATUS_SUCCEEDED,
        "version": job.version,
        "inputs": {d.id: plan.digests.get(d.id, "") for d in job.deps},
        "digest": report["digest"],
        "value": report["value"],
        "stat": report["stat"],
        "result_stat": report["result_stat"],
        "succeeded_at": utc_now(),
        "seconds": round(seconds, 3),
    }
