"""Jobs of keys no longer declared: their records and folders, and pruning them."""

from __future__ import annotations

import os
from collections.abc import Mapping

from quarn.runner.contract import ManifestEntry
from quarn.runner.graph.model import Asset
from quarn.runner.plan.jobs import Job
from quarn.runner.store.paths import LayoutError, is_job_id, remove_inside


def find_orphans(
    assets: list[Asset], jobs: list[Job], recorded: Mapping[str, ManifestEntry], out_dir: str
) -> list[str]:
    """Job ids (asset folder/partition folder) of the planned assets that no declared key
    combination makes any more, as the manifest records them: a folder nobody recorded is
    not quarn's to delete, whatever its name."""
    planned = {j.id for j in jobs}
    folders = {a.dir_name for a in assets}
    return sorted(i for i in recorded if i.partition("/")[0] in folders and i not in planned)


def prune(job_ids: list[str], out_dir: str) -> None:
    """Deletes the orphans' folders inside DIR; an asset folder left empty goes too. A
    folder reached through a symbolic link is left alone, and so are the files the link
    points at."""
    for job_id in job_ids:
        if not is_job_id(job_id):  # the manifest leaves such records out; never trust that
            continue
        try:
            remove_inside(out_dir, job_id)
        except (LayoutError, OSError):
            continue
        try:
            os.rmdir(os.path.join(out_dir, job_id.partition("/")[0]))
        except OSError:
            pass
