"""The subprocess backend: one `python -m quarn.runner.job` process per job."""

from __future__ import annotations

import os
import selectors
import signal
import subprocess
import time
from dataclasses import dataclass

from quarn.runner.contract import job_command
from quarn.runner.executors.backend import JobExit
from quarn.runner.plan.jobs import Job

_POLL_SECONDS = 0.01  # only where processes cannot be waited for through a descriptor


@dataclass(eq=False, slots=True)
class _Process:
    job: Job
    process: subprocess.Popen[bytes]
    pidfd: int | None


class LocalBackend:
    """Each worker runs in a process group of its own, so a terminal's Ctrl-C reaches only
    the runner (which stops the workers) and a stop reaches what the asset started too.
    Each worker dies with the runner, however the runner dies (the kernel's parent-death
    signal, asked for by the worker itself at its start)."""

    remote = False

    def __init__(self) -> None:
        self._running: dict[Job, _Process] = {}
        self._selector = selectors.DefaultSelector()

    def start(self, job: Job, spec_path: str, log_path: str) -> None:
        with open(log_path, "wb") as output:
            process = subprocess.Popen(
                job_command(spec_path, os.getpid()),
                stdin=subprocess.DEVNULL,
                stdout=output,
                stderr=subprocess.STDOUT,
                process_group=0,
            )
        pidfd = None
        if hasattr(os, "pidfd_open"):
            try:
                pidfd = os.pidfd_open(process.pid)
            except OSError:
                pidfd = None
        running = _Process(job, process, pidfd)
        self._running[job] = running
        if pidfd is not None:
            self._selector.register(pidfd, selectors.EVENT_READ, running)

    def wait(self, timeout: float | None) -> list[tuple[Job, JobExit]]:
        if not self._running:  # a retry waiting out its back-off: nothing to watch
            if timeout:
                time.sleep(timeout)
            return []
        ended = self._reap()
        if ended:
            return ended
        if all(r.pidfd is not None for r in self._running.values()):
            self._selector.select(timeout)
        else:
            time.sleep(_POLL_SECONDS if timeout is None else min(timeout, _POLL_SECONDS))
        return self._reap()

    def stop(self, job: Job, signum: int) -> None:
        running = self._running.get(job)
        if running is not None:
            try:
                os.killpg(running.process.pid, signum)
            except (ProcessLookupError, PermissionError):
                pass

    def close(self) -> None:
        for job in list(self._running):
            self.stop(job, signal.SIGKILL)
        for running in self._running.values():
            running.process.wait()
        self._reap()
        self._selector.close()

    def _reap(self) -> list[tuple[Job, JobExit]]:
        ended: list[tuple[Job, JobExit]] = []
        for job, running in list(self._running.items()):
            code = running.process.poll()
            if code is None:
                continue
            del self._running[job]
            if running.pidfd is not None:
                self._selector.unregister(running.pidfd)
                os.close(running.pidfd)
            ended.append((job, JobExit(code)))
        return ended
