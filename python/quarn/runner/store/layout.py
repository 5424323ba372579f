"""Where a job's files live under DIR, and how a finished job's folder takes its place.

A job's files appear whole or not at all: the worker writes into a stage folder of the
run, and the runner syncs it and renames it over the job's folder. Nothing under DIR is
followed through a symbolic link: a link there was not made by quarn, and writing through
it would change files elsewhere.
"""

from __future__ import annotations

import os
import shutil
import stat
from collections.abc import Sequence

from quarn.runner.contract import FAILED_DIR, LOG_FILE, RESULT_FILE
from quarn.runner.store.atomic import sync_directory
from quarn.runner.store.paths import LayoutError as LayoutError  # its older home
from quarn.runner.store.paths import job_folder


def job_path(out_dir: str, job_id: str) -> str:
    """The folder of the job `job_id` ("asset folder/partition folder"), always inside DIR."""
    return job_folder(out_dir, job_id)


def failure_path(out_dir: str, job_id: str) -> str:
    """Where the record and output of the job's latest run are kept when it failed, beside
    the value of its last success."""
    return os.path.join(job_path(out_dir, job_id), FAILED_DIR)


def check_real_folders(out_dir: str, *parts: str) -> None:
    """Each of out_dir/parts[0], out_dir/parts[0]/parts[1], ... that exists must be a real
    folder, not a symbolic link nor a file."""
    path = out_dir
    for part in parts:
        path = os.path.join(path, part)
        try:
            mode = os.lstat(path).st_mode
        except FileNotFoundError:
            return
        except OSError as exc:
            raise LayoutError(f"cannot use {path}: {exc.strerror}") from None
        if stat.S_ISLNK(mode):
            raise LayoutError(f"{path} is a symbolic link; quarn does not write through links")
        if not stat.S_ISDIR(mode):
            raise LayoutError(f"{path} is not a folder")


def check_job_folder(out_dir: str, job_id: str) -> None:
    """The job's folder and what it holds may be replaced: no link on the way or inside."""
    check_real_folders(out_dir, *job_id.split("/", 1))
    folder = job_path(out_dir, job_id)
    try:
        entries = list(os.scandir(folder))
    except FileNotFoundError:
        return
    except OSError as exc:
        raise LayoutError(f"cannot read {folder}: {exc.strerror}") from None
    for entry in entries:
        if entry.is_symlink():
            raise LayoutError(
                f"{entry.path} is a symbolic link; quarn does not write through links"
            )


def check_input_folder(out_dir: str, job_id: str, names: Sequence[str]) -> None:
    """An upstream job's folder and the value files in it are read without following links."""
    check_real_folders(out_dir, *job_id.split("/", 1))
    folder = job_path(out_dir, job_id)
    for name in names:
        path = os.path.join(folder, name)
        if os.path.islink(path):
            raise LayoutError(f"{path} is a symbolic link; quarn does not read through links")


def sync_folder(folder: str) -> None:
    """Syncs every file in `folder`, then the folder itself; a folder gone since is left."""
    try:
        entries = list(os.scandir(folder))
    except OSError:
        return
    for entry in entries:
        if entry.is_file(follow_symlinks=False):
            try:
                fd = os.open(entry.path, os.O_RDONLY | os.O_NOFOLLOW)
            except OSError:
                continue
            try:
                os.fsync(fd)
            finally:
                os.close(fd)
    sync_directory(folder)


def promote(stage: str, out_dir: str, job_id: str, aside: str) -> str:
    """Moves the finished stage folder into the job's place and returns that place: the
    old folder is renamed aside first (into the run's private folder), then the stage
    folder takes its place. A crash between the two renames leaves no folder, never a mix
    of two runs' files.

    The new folder is not synced here: the manifest does not vouch for it yet, and the
    caller syncs every folder promoted since the last save before saving the manifest
    (`sync_folder` on the folder and its parent), which costs one journal commit a
    second instead of one per job."""
    check_job_folder(out_dir, job_id)
    asset_dir, partition_dir = job_id.split("/", 1)
    parent = os.path.join(out_dir, asset_dir)
    os.makedirs(parent, exist_ok=True)
    check_real_folders(out_dir, asset_dir)
    return _replace(stage, os.path.join(parent, partition_dir), aside)


def keep_failure(stage: str, out_dir: str, job_id: str, aside: str) -> str:
    """Keeps the failure record and the output of a failed attempt in the job's folder,
    beside the value of its last success, which stays readable; returns where they went.
    Anything else the attempt left (a value file written half way) is dropped."""
    check_job_folder(out_dir, job_id)
    folder = job_path(out_dir, job_id)
    os.makedirs(folder, exist_ok=True)
    check_real_folders(out_dir, *job_id.split("/", 1), FAILED_DIR)
    for entry in os.scandir(stage):
        if entry.name not in (RESULT_FILE, LOG_FILE):
            if entry.is_dir(follow_symlinks=False):
                shutil.rmtree(entry.path, ignore_errors=True)
            else:
                os.unlink(entry.path)
    return _replace(stage, os.path.join(folder, FAILED_DIR), aside)


def _replace(source: str, target: str, aside: str) -> str:
    moved = False
    try:
        os.rename(target, aside)
        moved = True
    except FileNotFoundError:
        pass
    os.rename(source, target)
    if moved:
        shutil.rmtree(aside, ignore_errors=True)
    return target
