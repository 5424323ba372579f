"""One run per output directory: an exclusive lock on DIR/.quarn/lock for the run's life.

The lock is the kernel's (`flock`), so it goes with the process however the process ends;
the file's text only says who holds it, for the message a second run prints.
"""

from __future__ import annotations

import fcntl
import json
import os
import shlex
import sys
import time
from collections.abc import Callable, Sequence

from quarn.runner.contract import LOCK_FILE, STATE_DIR
from quarn.runner.store.layout import LayoutError, check_real_folders
from quarn.runner.store.paths import check_own_paths


class LockHeld(Exception):
    """Another run holds the output directory; the message says which."""


class RunLock:
    """The lock of one output directory, held until `release` (or the process's end)."""

    def __init__(self, fd: int, path: str) -> None:
        self.fd = fd
        self.path = path

    def release(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1


def acquire(
    out_dir: str,
    command: Sequence[str],
    wait: bool = False,
    waiting: Callable[[str], None] | None = None,
) -> RunLock:
    """Takes DIR's lock, or raises LockHeld naming the holder. With `wait`, blocks until the
    holder ends (after calling `waiting` with the holder's description). Raises
    LayoutError when one of quarn's own folders or files in DIR is a link."""
    check_own_paths(out_dir)
    folder = os.path.join(out_dir, STATE_DIR)
    os.makedirs(folder, exist_ok=True)
    check_real_folders(out_dir, STATE_DIR)
    path = os.path.join(folder, LOCK_FILE)
    try:
        fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644)
    except OSError:
        if os.path.islink(path):
            raise LayoutError(
                f"{path} is a symbolic link; quarn does not write through links"
            ) from None
        raise
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = _holder(fd)
            if not wait:
                raise LockHeld(f"{out_dir} is in use by another run ({holder})") from None
            if waiting is not None:
                waiting(holder)
            fcntl.flock(fd, fcntl.LOCK_EX)
        os.ftruncate(fd, 0)
        text = json.dumps(
            {
                "pid": os.getpid(),
                "started": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
                "command": list(command),
            }
        )
        os.pwrite(fd, (text + "\n").encode("utf-8", "surrogateescape"), 0)
    except BaseException:
        os.close(fd)
        raise
    return RunLock(fd, path)


def held(out_dir: str) -> bool:
    """Whether a run holds DIR's lock now; takes nothing, creates nothing."""
    try:
        fd = os.open(
            os.path.join(out_dir, STATE_DIR, LOCK_FILE), os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC
        )
    except OSError:
        return False
    try:
        fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
    except BlockingIOError:
        return True
    except OSError:
        return False
    finally:
        os.close(fd)  # closing drops the shared lock, if it was taken
    return False


def _holder(fd: int) -> str:
    """The holder as a person reads it: process id, start time and command."""
    try:
        data = json.loads(os.pread(fd, 65536, 0).decode("utf-8", "replace"))
        pid, started, command = data["pid"], data["started"], data["command"]
        return f"process {int(pid)}, started {started}: {shlex.join(map(str, command))}"
    except (OSError, ValueError, KeyError, TypeError, RecursionError):
        return "process unknown: it has not yet written its details"


def current_command() -> list[str]:
    """This process's command line as started, as a second run shows it."""
    try:
        with open("/proc/self/cmdline", "rb") as handle:
            words = handle.read().split(b"\0")[:-1]
        return [w.decode("utf-8", "surrogateescape") for w in words]
    except OSError:
        return [sys.executable, *sys.argv]
