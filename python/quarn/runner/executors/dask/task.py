"""What runs inside a Dask worker process: one job, forked from the run's warm template on
this worker (see warm.py) or in a fresh interpreter, and the means to stop the jobs of a run.

The functions here travel to the workers by reference: the workers import this module,
which is why quarn must be installed there.
"""

from __future__ import annotations

import os
import select
import signal
import subprocess
import threading
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from quarn.runner.contract import job_command

if TYPE_CHECKING:
    from quarn.runner.executors.dask.warm import Forked, Warm

_WATCH_SECONDS = 1.0  # how often a running task asks whether it is still wanted
_STOP_POLL_SECONDS = 0.02

# What a task returns: the job's exit status (negative: killed by that signal; None: lost,
# for the reason given, else because its worker died), and a note for the run ("" when
# none): why this worker started the job in a fresh interpreter rather than forking it.
Ended = tuple[int | None, str, str]
# With --isolation fork: the run's modules and import path, for the templates.
WarmOptions = tuple[Sequence[str], Sequence[str]]


@dataclass(eq=False)
class _Child:
    pid: int = 0  # its process group; 0 until it has started
    pending: int = 0  # a signal asked for before it started, sent once it has
    done: threading.Event = field(default_factory=threading.Event)


_lock = threading.Lock()
_children: dict[str, dict[str, _Child]] = {}  # run -> task key -> its running job
_stopped: set[str] = set()  # runs being stopped: a task of theirs that starts late does nothing


def run_job(
    spec_path: str,
    log_path: str,
    cwd: str,
    marker: str,
    run: str,
    key: str,
    warm: WarmOptions | None = None,
) -> Ended:
    """Runs the job worker on `spec_path`, in `cwd` when this machine has it, output into
    `log_path`: forked from the run's template here with `warm`, else (or where that
    cannot be) in this worker's Python. The job dies with this worker process, however
    it dies.

    `marker` is created as the job starts. Finding it there already means this very attempt
    started on a worker that was lost and Dask handed the task on; whether to run the job
    again is the runner's decision, so it is reported lost and nothing runs.
    """
    with _lock:
        if run in _stopped:
            return -signal.SIGTERM, "", ""
    try:
        os.close(os.open(marker, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
    except FileExistsError:
        return None, "", ""
    child = _Child()
    with _lock:
        if run in _stopped:
            return -signal.SIGTERM, "", ""
        _children.setdefault(run, {})[key] = child
    here = cwd if os.path.isdir(cwd) else None
    try:
        note = ""
        if warm is not None:
            from quarn.runner.executors.dask import warm as templates

            template = templates.acquire(run, warm[0], warm[1], here)
            try:
                forked = _fork(template, spec_path, log_path, child, key)
                if isinstance(forked, int):
                    return forked, "", ""
                return _wait_forked(forked, key)
            except templates.Spawn as spawn:
                note = f"Dask worker {_worker()}: {spawn}" if str(spawn) else ""
            finally:
                templates.release(template)
        with open(log_path, "wb") as log:
            process = subprocess.Popen(
                job_command(spec_path, os.getpid()),
                cwd=here,
                stdin=subprocess.DEVNULL,
                stdout=log,
                stderr=subprocess.STDOUT,
                process_group=0,  # signals reach the job and whatever it started
            )
        _started(child, process.pid)
        return _wait(process, key), "", note
    finally:
        with _lock:
            jobs = _children.get(run, {})
            jobs.pop(key, None)
            if not jobs:
                _children.pop(run, None)
        child.done.set()


def _fork(template: Warm, spec_path: str, log_path: str, child: _Child, key: str) -> Forked | int:
    """The job handed to the template, once it is ready; the status of a job stopped
    before that. Raises Spawn."""
    while not template.ready.wait(_WATCH_SECONDS):
        if child.pending or _abandoned(key):
            return -(child.pending or signal.SIGKILL)
    forked = template.start(spec_path, log_path)
    _started(child, forked.pid)
    return forked


def _started(child: _Child, pid: int) -> None:
    with _lock:
        child.pid = pid
        pending = child.pending
    if pending:
        _signal_group(pid, pending)


def _wait_forked(forked: Forked, key: str) -> Ended:
    while not forked.ended.wait(_WATCH_SECONDS):
        if _abandoned(key):
            _signal_group(forked.pid, signal.SIGKILL)
    return forked.status, forked.lost, ""


def _wait(process: subprocess.Popen[bytes], key: str) -> int:
    """Waits for the job; should its task be cancelled (the runner went away without
    stopping it), the job is stopped rather than left running for nobody."""
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
                _signal_group(process.pid, signal.SIGKILL)
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


def _worker() -> str:
    try:
        from distributed import get_worker

        return str(get_worker().address)
    except Exception:  # not in a worker: the machine stands for it
        import socket

        return socket.gethostname()


def signal_jobs(run: str, signals: dict[str, int]) -> list[str]:
    """Sends each job of `run` here its signal (task key -> signal number), reaching what
    the job started too; returns the keys of the jobs found here."""
    with _lock:
        found = {key: child for key, child in _children.get(run, {}).items() if key in signals}
        for key, child in found.items():
            child.pending = signals[key] if not child.pid else 0
    for key, child in found.items():
        if child.pid:
            _signal_group(child.pid, signals[key])
    return list(found)


async def stop_run(run: str, grace: float) -> int:
    """Stops every job of `run` on this worker (SIGTERM, SIGKILL after `grace` seconds),
    ends the run's template here, and returns once they all have; later tasks of the run
    start nothing. Runs on the worker's event loop, so it waits without holding a thread."""
    import asyncio
    import time

    from quarn.runner.executors.dask.warm import close_run

    with _lock:
        _stopped.add(run)
        children = dict(_children.get(run, {}))
    signal_jobs(run, dict.fromkeys(children, signal.SIGTERM))
    deadline = time.monotonic() + grace
    killed = False
    while not all(c.done.is_set() for c in children.values()):
        if not killed and time.monotonic() >= deadline:
            signal_jobs(run, dict.fromkeys(children, signal.SIGKILL))
            killed = True
        await asyncio.sleep(_STOP_POLL_SECONDS)
    template = close_run(run)
    while template is not None and not template.closed.is_set():
        await asyncio.sleep(_STOP_POLL_SECONDS)
    return len(children)


def _signal_group(pid: int, signum: int) -> None:
    try:
        os.killpg(pid, signum)
    except (ProcessLookupError, PermissionError):
        pass
