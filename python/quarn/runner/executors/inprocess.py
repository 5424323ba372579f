"""`--isolation none`: every job inside the runner's own process, one after another.

For stepping through an asset with a debugger and for the fastest run of trusted code.
Nothing isolates the jobs: what one changes in module globals or class attributes, the
next one sees (only the import path, the import finders and the current directory are put
back), and a crash, `os._exit` or a segfault ends the whole run. Ctrl-C, SIGTERM, SIGHUP
and `--timeout` interrupt the job where it is, in the main thread, by an exception it
does not catch with `except Exception`; should it catch even that, the exception comes
again every half second. Its output goes to its `worker.log` as usual, but
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
from dataclasses import dataclass
from types import FrameType
from typing import Any, NoReturn

from quarn.runner.executors.backend import JobExit
from quarn.runner.plan.jobs import Job

_UNUSABLE_SPEC = 2
_RECORDED_FAILURE = 1
_STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
_AGAIN_SECONDS = 0.5  # how soon an interruption the job swallowed comes again
# Bound at import: a job may replace them, and a process the job forked must still leave.
_exit, _getpid = os._exit, os.getpid


class JobTimedOut(BaseException):
    """Raised in a job that runs past `--timeout`; not an Exception, so that the job's own
    `except Exception` does not swallow it."""


@dataclass(slots=True)
class _Interruption:
    """What interrupted the job, if anything; `active` while the job's code runs."""

    timeout: float | None
    stopped: int = 0  # the stop signal that reached the run
    timed_out: bool = False
    active: bool = True


class InProcessBackend:
    """Runs a job to its end when it is started; `wait` then reports it."""

    remote = False

    def __init__(self, run_job: Callable[[Any], int], timeout: float | None = None) -> None:
        self._run_job = run_job
        self._timeout = timeout
        self._ended: list[tuple[Job, JobExit]] = []
        self._interrupted: dict[Job, int] = {}

    def start(self, job: Job, spec_path: str, log_path: str) -> None:
        with open(spec_path, encoding="utf-8") as handle:
            spec = json.load(handle)
        runner = _getpid()
        status = _RECORDED_FAILURE
        with _job_context(log_path, self._timeout) as state:
            try:
                status = self._run_job(spec)
            except (KeyboardInterrupt, JobTimedOut):  # past the job's own failure handling
                pass
            finally:
                if _getpid() != runner:  # a process the job forked, back in the runner's code
                    _exit(0)
                state.active = False
        if state.stopped:  # still "running" until the run stops it, as a process would be
            self._interrupted[job] = state.stopped
        else:
            self._ended.append((job, JobExit(status, timed_out=state.timed_out)))

    def wait(self, timeout: float | None) -> list[tuple[Job, JobExit]]:
        if not self._ended and timeout:
            time.sleep(timeout)  # a retry's back-off, or the run about to stop: nothing runs
        ended, self._ended = self._ended, []
        return ended

    def stop(self, job: Job, signum: int) -> None:
        """Nothing runs between calls; a job that Ctrl-C interrupted ends now."""
        stopped = self._interrupted.pop(job, 0)
        if stopped:
            self._ended.append((job, JobExit(-stopped)))

    def close(self) -> None:
        self._ended.clear()
        self._interrupted.clear()


@contextmanager
def _job_context(log_path: str, timeout: float | None) -> Iterator[_Interruption]:
    """The job's output into its log, `breakpoint()` on the terminal, a stop signal raising
    KeyboardInterrupt in the job (and passed on to the run's own handler, which stops the
    run: the state then says so), the timeout raising JobTimedOut; the import path, the
    import finders and the current directory put back."""
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
    state = _Interruption(timeout)
    real_exit = os._exit
    os._exit = _ending_run(real_exit, saved_fds[1])  # type: ignore[assignment]
    previous_hook = sys.breakpointhook
    sys.breakpointhook = _debugger_on(terminal)
    in_main = threading.current_thread() is threading.main_thread()
    previous = _interrupt_in(state) if in_main else {}
    try:
        yield state
    finally:
        if in_main:
            signal.setitimer(signal.ITIMER_REAL, 0)
            for signum, handler in previous.items():
                if handler is not None:  # None: set outside Python, cannot be put back
                    signal.signal(signum, handler)
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


def _interrupt_in(state: _Interruption) -> dict[int, Any]:
    """Handlers that interrupt the job in the main thread: a stop signal (also passed on to
    the run's own handler, which stops the run), the alarm of the timeout, and the alarm
    that repeats either while the job is still inside. Returns the handlers they replace."""
    previous: dict[int, Any] = {s: signal.getsignal(s) for s in (*_STOP_SIGNALS, signal.SIGALRM)}

    def again() -> None:
        signal.setitimer(signal.ITIMER_REAL, _AGAIN_SECONDS, _AGAIN_SECONDS)

    def stop(signum: int, frame: FrameType | None) -> None:
        handler = previous[signum]
        if callable(handler) and handler is not signal.default_int_handler:
            state.stopped = state.stopped or signum
            handler(signum, frame)
        if state.active:
            again()
            raise KeyboardInterrupt

    def alarm(_signum: int, _frame: FrameType | None) -> None:
        if not state.active:
            return
        if state.stopped:
            raise KeyboardInterrupt
        state.timed_out = True
        again()
        raise JobTimedOut(f"the job ran longer than its --timeout of {state.timeout:g} s")

    for signum in _STOP_SIGNALS:
        signal.signal(signum, stop)
    signal.signal(signal.SIGALRM, alarm)
    if state.timeout:
        signal.setitimer(signal.ITIMER_REAL, state.timeout)
    return previous


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
