"""`--isolation none`: every job inside the runner's own process, one after another.

For stepping through an asset with a debugger and for the fastest run of trusted code.
Nothing isolates the jobs: what one changes in module globals or class attributes, the
next one sees (only the import path, the import finders and the current directory are put
back), and a crash, `os._exit` or a segfault ends the whole run. A job cannot be stopped
by `--timeout`; Ctrl-C interrupts it. Its output goes to its `worker.log` as usual, but
`breakpoint()` opens the debugger on the terminal.
"""

from __future__ import annotations

import json
import os
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager, suppress
from types import FrameType
from typing import Any, NoReturn

from quarn.runner.executors.backend import JobExit
from quarn.runner.plan.jobs import Job

_UNUSABLE_SPEC = 2


class InProcessBackend:
    """Runs a job to its end when it is started; `wait` then reports it."""

    def __init__(self, run_job: Callable[[Any], int]) -> None:
        self._run_job = run_job
        self._ended: list[tuple[Job, JobExit]] = []
        self._interrupted: list[Job] = []

    def start(self, job: Job, spec_path: str, log_path: str) -> None:
        with open(spec_path, encoding="utf-8") as handle:
            spec = json.load(handle)
        with _job_context(log_path) as stopping:
            status = self._run_job(spec)
        if stopping():  # still "running" until the run stops it, as a process would be
            self._interrupted.append(job)
        else:
            self._ended.append((job, JobExit(status)))

    def wait(self, timeout: float | None) -> list[tuple[Job, JobExit]]:
        if not self._ended and timeout:
            time.sleep(timeout)  # a retry's back-off, or the run about to stop: nothing runs
        ended, self._ended = self._ended, []
        return ended

    def stop(self, job: Job, signum: int) -> None:
        """Nothing runs between calls; a job that Ctrl-C interrupted ends now."""
        if job in self._interrupted:
            self._interrupted.remove(job)
            self._ended.append((job, JobExit(-signal.SIGINT)))

    def close(self) -> None:
        self._ended.clear()
        self._interrupted.clear()


@contextmanager
def _job_context(log_path: str) -> Iterator[Callable[[], bool]]:
    """The job's output into its log, `breakpoint()` on the terminal, Ctrl-C raising
    KeyboardInterrupt in the job (and passed on to the run's own handler, which stops the
    run: the context then says so); the import path, the import finders and the current
    directory put back."""
    saved_path = list(sys.path)
    saved_finders = list(sys.meta_path)  # the job worker puts a finder of its own first
    saved_cwd = os.getcwd()
    for stream in (sys.stdout, sys.stderr):
        stream.flush()
    terminal = os.dup(1)
    saved_fds = [os.dup(1), os.dup(2)]
    log = os.open(log_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
    os.dup2(log, 1)
    os.dup2(log, 2)
    os.close(log)
    # A notebook's or a test runner's streams write to no file descriptor: replaced, so
    # what the job prints goes to its log all the same.
    streams = sys.stdout, sys.stderr
    logged = open(1, "w", errors="backslashreplace", buffering=1, closefd=False)  # noqa: SIM115
    sys.stdout = sys.stderr = logged
    interrupted = False
    real_exit = os._exit
    os._exit = _ending_run(real_exit, saved_fds[1])  # type: ignore[assignment]
    previous_hook = sys.breakpointhook
    sys.breakpointhook = _debugger_on(terminal)
    previous_handler: Any = None
    in_main = threading.current_thread() is threading.main_thread()
    if in_main:
        previous_handler = signal.getsignal(signal.SIGINT)

        def interrupt(signum: int, frame: FrameType | None) -> None:
            nonlocal interrupted
            if callable(previous_handler) and previous_handler is not signal.default_int_handler:
                interrupted = True
                previous_handler(signum, frame)
            raise KeyboardInterrupt

        signal.signal(signal.SIGINT, interrupt)
    try:
        yield lambda: interrupted
    finally:
        if in_main:
            signal.signal(signal.SIGINT, previous_handler)
        sys.breakpointhook = previous_hook
        os._exit = real_exit
        for stream in (sys.stdout, sys.stderr, logged):
            with suppress(Exception):
                stream.flush()
        sys.stdout, sys.stderr = streams
        os.dup2(saved_fds[0], 1)
        os.dup2(saved_fds[1], 2)
        for fd in (*saved_fds, terminal):
            os.close(fd)
        sys.path[:] = saved_path
        sys.meta_path[:] = saved_finders
        with suppress(OSError):
            os.chdir(saved_cwd)


def _ending_run(real_exit: Callable[[int], NoReturn], stderr: int) -> Callable[[int], NoReturn]:
    """`os._exit` in a job ends the whole run: said on the run's standard error, and never
    with the status of a successful run. A process the job forked leaves as it asks."""
    runner = os.getpid()

    def exit_(status: int) -> NoReturn:
        if os.getpid() != runner:
            real_exit(status)
        with suppress(OSError):
            os.write(stderr, f"quarn: a job called os._exit({status}); the run ends\n".encode())
        real_exit(status or 1)

    return exit_


def _debugger_on(terminal: int) -> Callable[..., None]:
    """A breakpoint hook whose debugger writes to the runner's standard output (the
    terminal), not to the job's log; it reads standard input as usual."""

    def hook(*_args: object, **_kwargs: object) -> None:
        import pdb

        stdout = open(os.dup(terminal), "w", encoding="utf-8", errors="replace", buffering=1)  # noqa: SIM115
        debugger = pdb.Pdb(stdout=stdout)
        debugger.set_trace(sys._getframe(1))

    return hook
