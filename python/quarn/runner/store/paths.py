"""Paths under an output directory that come from records: only ever inside it, never
through a symbolic link.

A job id in the manifest, a log path in a history record or a folder name is data that a
hand edit or a damaged file can make anything (`a/../../victim`, `/home`). Every such path
is joined here and checked lexically, after joining and without asking the file system,
so no link can change the answer. What is then read, listed or removed is reached one
component at a time from DIR with links refused, so a link planted on the way cannot
redirect it either. DIR itself may be a link: the user named it.
"""

from __future__ import annotations

import errno
import os
import shutil
import stat

from quarn.runner.contract import (
    HISTORY_DIR,
    LOCK_FILE,
    MANIFEST_FILE,
    MARKER_FILE,
    REPORT_FILE,
    RUNS_DIR,
    STATE_DIR,
)
from quarn.runner.store.atomic import write_atomic

# What quarn itself keeps in DIR, each where it expects a folder (True) or a file (False).
OWN_PATHS = (
    (STATE_DIR, True),
    (os.path.join(STATE_DIR, RUNS_DIR), True),
    (os.path.join(STATE_DIR, HISTORY_DIR), True),
    (os.path.join(STATE_DIR, LOCK_FILE), False),
    (os.path.join(STATE_DIR, MARKER_FILE), False),
    (MANIFEST_FILE, False),
    (REPORT_FILE, False),
)
_DIRECTORY = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC


class LayoutError(Exception):
    """A path under the output directory that quarn refuses to use."""


def link_error(path: str) -> LayoutError:
    return LayoutError(
        f"{path} is a symbolic link; quarn does not follow links in an output directory"
    )


def is_plain_name(name: object) -> bool:
    """A single file name of quarn's making: no separator, not hidden, not `.` or `..`."""
    return (
        isinstance(name, str)
        and name != ""
        and not name.startswith(".")
        and "/" not in name
        and "\0" not in name
        and (os.altsep is None or os.altsep not in name)
    )


def is_job_id(job_id: object) -> bool:
    """`<asset folder>/<partition folder>`, both plain names."""
    if not isinstance(job_id, str):
        return False
    parts = job_id.split("/")
    return len(parts) == 2 and all(is_plain_name(p) for p in parts)


def job_folder(out_dir: str, job_id: str) -> str:
    """The folder of a job, from its id; LayoutError when the id is not one quarn makes
    (records with such ids are left out when read: this is the last guard)."""
    if not is_job_id(job_id):
        raise LayoutError(f"the job id {job_id!r} names no job folder inside {out_dir}")
    return os.path.join(out_dir, job_id)


def relative_inside(relative: object) -> str | None:
    """`relative` normalized, when joining it onto DIR stays strictly inside DIR (checked on
    the text, not by resolving links); else None."""
    if not isinstance(relative, str) or not relative or "\0" in relative:
        return None
    if os.path.isabs(relative):
        return None
    normal = os.path.normpath(relative)
    if normal in (os.curdir, os.pardir) or normal.startswith(os.pardir + os.sep):
        return None
    return normal


def inside(out_dir: str, relative: str) -> str:
    """`relative` (from a record) joined onto DIR; LayoutError when it would leave DIR."""
    normal = relative_inside(relative)
    if normal is None:
        raise LayoutError(f"the recorded path {relative!r} leads outside {out_dir}")
    return os.path.join(out_dir, normal)


def _parts(relative: str) -> list[str]:
    normal = relative_inside(relative)
    if normal is None:
        raise LayoutError(f"the path {relative!r} leads outside the output directory")
    return normal.split(os.sep)


def _open_parent(out_dir: str, parts: list[str]) -> int:
    """A descriptor of the folder holding the last of `parts`, reached from DIR without
    following a link; FileNotFoundError when a folder on the way is missing."""
    fd = os.open(out_dir, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    path = out_dir
    try:
        for part in parts[:-1]:
            path = os.path.join(path, part)
            try:
                child = os.open(part, _DIRECTORY, dir_fd=fd)
            except OSError as exc:
                if exc.errno in (errno.ELOOP, errno.ENOTDIR) and os.path.islink(path):
                    raise link_error(path) from None
                raise
            os.close(fd)
            fd = child
    except BaseException:
        os.close(fd)
        raise
    return fd


def open_inside(out_dir: str, relative: str, flags: int = os.O_RDONLY, mode: int = 0o644) -> int:
    """A descriptor of DIR/relative, opened without following a link anywhere below DIR."""
    parts = _parts(relative)
    parent = _open_parent(out_dir, parts)
    try:
        return os.open(parts[-1], flags | os.O_NOFOLLOW | os.O_CLOEXEC, mode, dir_fd=parent)
    except OSError as exc:
        if exc.errno == errno.ELOOP:
            raise link_error(os.path.join(out_dir, *parts)) from None
        raise
    finally:
        os.close(parent)


def read_inside(out_dir: str, relative: str) -> bytes:
    fd = open_inside(out_dir, relative)
    with open(fd, "rb") as handle:
        return handle.read()


def list_inside(out_dir: str, relative: str) -> list[str]:
    """The names in the folder DIR/relative, sorted; [] when there is no such folder."""
    try:
        fd = open_inside(out_dir, relative, os.O_RDONLY | os.O_DIRECTORY)
    except (FileNotFoundError, NotADirectoryError):
        path = os.path.join(out_dir, relative)
        if os.path.islink(path):  # O_DIRECTORY is checked before O_NOFOLLOW
            raise link_error(path) from None
        return []
    try:
        return sorted(os.listdir(fd))
    finally:
        os.close(fd)


def remove_inside(out_dir: str, relative: str) -> bool:
    """Removes the file or folder DIR/relative (a folder with all it holds), reaching it and
    everything in it without following a link; False when it was not there."""
    parts = _parts(relative)
    try:
        parent = _open_parent(out_dir, parts)
    except FileNotFoundError:
        return False
    try:
        try:
            mode = os.lstat(parts[-1], dir_fd=parent).st_mode
        except FileNotFoundError:
            return False
        if stat.S_ISDIR(mode):
            shutil.rmtree(parts[-1], dir_fd=parent)
        else:
            os.unlink(parts[-1], dir_fd=parent)
        return True
    finally:
        os.close(parent)


def check_own_paths(out_dir: str) -> None:
    """Each of quarn's own folders and files in DIR that exists is what quarn expects there:
    a LayoutError names the first that is a link (or a file where a folder belongs)."""
    for relative, folder in OWN_PATHS:
        path = os.path.join(out_dir, relative)
        try:
            mode = os.lstat(path).st_mode
        except FileNotFoundError:
            continue
        except NotADirectoryError:  # its folder is a file: reported for the folder
            continue
        except OSError as exc:
            raise LayoutError(f"cannot use {path}: {exc.strerror}") from None
        if stat.S_ISLNK(mode):
            raise link_error(path)
        if folder and not stat.S_ISDIR(mode):
            raise LayoutError(f"{path} is not a folder")


def lstat_inside(out_dir: str, relative: str) -> int:
    """The file type and mode of DIR/relative (0 when it does not exist); LayoutError when
    it, or a folder on the way, is a link."""
    path = out_dir
    mode = 0
    for part in _parts(relative):
        path = os.path.join(path, part)
        try:
            mode = os.lstat(path).st_mode
        except (FileNotFoundError, NotADirectoryError):
            return 0
        if stat.S_ISLNK(mode):
            raise link_error(path)
    return mode


def write_inside(out_dir: str, relative: str, text: str) -> str:
    """Replaces DIR/relative whole (see `write_atomic`); LayoutError when a link stands
    there or on the way. Returns the path written."""
    lstat_inside(out_dir, relative)
    path = os.path.join(out_dir, relative)
    write_atomic(path, text)
    return path
