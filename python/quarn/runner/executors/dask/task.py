"""What runs inside a Dask worker process: one job as a child process, and the means to stop
the jobs of a run.

The functions here travel to the workers by reference: the workers import this module,
which is why quarn must be installed there.
"""

from __future__ import annotations

import os
import select
import signal
import subprocess
import threading
from dataclasses import dataclass, field

from quarn.runner.contract import job_command

_WATCH_SECONDS = 1.0  # how often a running task asks whether it is still wanted
_STOP_POLL_SECONDS = 0.02


@dataclass(eq=False)
class _Child:
    process: subprocess.Popen[bytes]
    done: threading.Event = field(default_factory=threading.Event)


_lock = threading.Lock()
_children: dict[str, dict[str, _Child]] = {}  # run -> task key -> its running job
_stopped: set[str] = set()  # runs being stopped: a task of theirs that starts late does nothing


def run_job(spec_path: str, log_path: str, cwd: str, marker: str, run: str, key: str) -> int | None:
    """Runs the job worker on `spec_path` in this worker's Python, in `cwd` when this
    machine has it, output into `log_path`; returns its exit status (negative: killed by
    that signal). The job dies with this worker process, however it dies.

    `marker` is created as the job starts. Finding it there already means this very attempt
    started on a worker that was lost and Dask handed the task on; whether to run the job
    again is the runner's decision, so the answer is None (lost) and nothing runs.
    """
    with _lock:
        if run in _stopped:
            return -signal.SIGTERM
    try:
        os.close(os.open(marker, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
    except FileExistsError:
        return None
    with open(log_path, "wb") as log, _lock:
        if run in _stopped:
            return -signal.SIGTERM
        process = subprocess.Popen(
            job_command(spec_path, os.getpid()),
            cwd=cwd if os.path.isdir(cwd) else None,
            stdin=subprocess.DEVNULL,
            stdout=log,
            stderr=subprocess.STDOUT,
            process_group=0,  # signals reach the job and whatever it started
        )
        child = _Child(process)
        _children.setdefault(run, {})[key] = child
    try:
        return _wait(child, key)
    finally:
        with _lock:
            jobs = _children.get(run, {})
            jobs.pop(key, None)
            if not jobs:
                _children.pop(run, None)
        child.done.set()


def _wait(child: _Child, key: str) -> int:
    """Waits for the job; should its task be cancelled (the runner went away without
    stopping it), the job is stopped rather than left running for nobody."""
    process = child.process
    try:
        pidfd = os.pidfd_open(process.pid)
    except (AttributeError, OSError):
        pidfd = -1
    try:
        poller = select.poll()
        if pidfd >= 0:
            poller.register(pidfd, select.POLLIN)
        while True:
            if pidfd >= 0:
                if poller.poll(_WATCH_SECONDS * 1000):
                    return process.wait()
            else:
                try:
                    return process.wait(_WATCH_SECONDS)
                except subprocess.TimeoutExpired:
                    pass
            if _abandoned(key):
                _signal_group(process, signal.SIGKILL)
    finally:
        if pidfd >= 0:
            os.close(pidfd)


def _abandoned(key: str) -> bool:
    try:
        from distributed import get_worker

        task = get_worker().state.tasks.get(key)
    except Exception:  # not in a worker, or a worker whose state reads otherwise
        return False
    return task is not None and getattr(task, "state", "") == "cancelled"


def signal_jobs(run: str, signals: dict[str, int]) -> list[str]:
    """Sends each job of `run` here its signal (task key -> signal number), reaching what
    the job started too; returns the keys of the jobs found here."""
    with _lock:
        found = {key: child for key, child in _children.get(run, {}).items() if key in signals}
    for key, child in found.items():
        _signal_group(child.process, signals[key])
    return list(found)


async def stop_run(run: str, grace: float) -> int:
    """Stops every job of `run` on this worker (SIGTERM, SIGKILL after `grace` seconds) and
    returns once they have exited; later tasks of the run start nothing. Runs on the
    worker's event loop, so it waits without holding a thread."""
    import asyncio
    import time

    with _lock:
        _stopped.add(run)
        children = list(_children.get(run, {}).values())
    for child in children:
        _signal_group(child.process, signal.SIGTERM)
    deadline = time.monotonic() + grace
    killed = False
    while not all(c.done.is_set() for c in children):
        if not killed and time.monotonic() >= deadline:
            for child in children:
                _signal_group(child.process, signal.SIGKILL)
            killed = True
        await asyncio.sleep(_STOP_POLL_SECONDS)
    return len(children)


def _signal_group(process: subprocess.Popen[bytes], signum: int) -> None:
    try:
        os.killpg(process.pid, signum)
    except (ProcessLookupError, PermissionError):
        pass
