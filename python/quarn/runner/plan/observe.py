"""What a job's folder holds, read as cheaply as the stat cache allows: the facts about its
files that the state model weighs."""

from __future__ import annotations

import os

from quarn.runner.contract import RESULT_FILE, ManifestEntry, job_dir
from quarn.runner.plan.jobs import Job
from quarn.runner.state.assess import Observed
from quarn.runner.store.digest import stat_key, value_digest, value_file_name


class FolderObserver:
    """Observes job folders under `out_dir`; a digest found again under a new stat (the
    file was touched, not changed) refreshes the entry's stat cache in `refreshed`."""

    def __init__(self, out_dir: str) -> None:
        self.out_dir = out_dir
        self.refreshed: dict[str, list[int]] = {}

    def __call__(self, job: Job, entry: ManifestEntry) -> Observed:
        return self.folder(
            job.id, job_dir(self.out_dir, job.asset.dir_name, job.partition_dir), entry
        )

    def folder(self, job_id: str, folder: str, entry: ManifestEntry) -> Observed:
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
            self.refreshed[job_id] = stat
        return Observed(True, digest)
