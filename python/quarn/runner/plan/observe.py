"""The I/O around the freshness decisions: reading a job's folder, recording a success."""

from __future__ import annotations

import os

from quarn.runner.contract import RESULT_FILE, STATUS_SUCCEEDED, ManifestEntry, job_dir
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


def success_entry(plan: Plan, job: Job, folder: str, seconds: float) -> ManifestEntry | None:
    """The record of a success whose files are in `folder` (the job's folder, or the
    stage about to become it: the digest and stat cache survive a rename); notes the new
    digest in `plan`. None when the folder holds no success record and value file."""
    name = value_file_name(folder)
    found = None if name is None else value_digest(folder, name, None)
    result_stat = stat_key(os.path.join(folder, RESULT_FILE))
    if name is None or found is None or result_stat is None:
        return None
    digest, stat = found
    plan.produced(job, digest)
    return {
        "asset": job.asset.display,
        "partition": job.key or None,
        "status": STATUS_SUCCEEDED,
        "version": job.version,
        "inputs": {d.id: plan.digests.get(d.id, "") for d in job.deps},
        "digest": digest,
        "value": name,
        "stat": stat,
        "result_stat": result_stat,
        "succeeded_at": utc_now(),
        "seconds": round(seconds, 3),
    }
