"""Jobs of keys no longer declared: their records and folders, and pruning them."""

from __future__ import annotations

import os
import shutil
from collections.abc import Mapping

from quarn.runner.contract import ManifestEntry, job_dir
from quarn.runner.graph.model import Asset
from quarn.runner.plan.jobs import Job
from quarn.runner.store.layout import LayoutError, check_real_folders


def find_orphans(
    assets: list[Asset], jobs: list[Job], recorded: Mapping[str, ManifestEntry], out_dir: str
) -> list[str]:
    """Job ids (asset folder/partition folder) of the planned assets that no declared key
    combination makes any more: recorded in the manifest, or a folder left on disk. Folders
    whose names start with "." belong to the runner and are never listed."""
    planned = {j.id for j in jobs}
    folders = {a.dir_name for a in assets}
    found = {i for i in recorded if i.partition("/")[0] in folders and i not in planned}
    for folder in folders:
        try:
            names = os.listdir(os.path.join(out_dir, folder))
        except OSError:
            continue
        for name in names:
            job_id = f"{folder}/{name}"
            if not name.startswith(".") and job_id not in planned:
                if os.path.isdir(os.path.join(out_dir, folder, name)):
                    found.add(job_id)
    return sorted(found)


def prune(job_ids: list[str], out_dir: str) -> None:
    """Deletes the orphans' folders; an asset folder left empty goes too. A folder reached
    through a symbolic link is left alone, and so are the files the link points at."""
    for job_id in job_ids:
        asset_dir, _, partition_dir = job_id.partition("/")
        try:
            check_real_folders(out_dir, asset_dir, partition_dir)
        except LayoutError:
            continue
        shutil.rmtree(job_dir(out_dir, asset_dir, partition_dir), ignore_errors=True)
        try:
            os.rmdir(os.path.join(out_dir, asset_dir))
        except OSError:
            pass
