"""The warm template process of a run:

    python -m quarn.runner.executors.fork.template FD DONE OUT PARENT [--path DIR]... MODULE...

Started by the runner with one end of a socket pair as descriptor FD, one end of a
datagram socket pair on which each job reports how it ended as DONE, and the runner's
standard error as descriptor OUT (its own once the modules are imported). It imports the job
worker and the project's modules once, sends the inspection document of those modules (so
the code that is inspected and versioned is the code that runs), then forks one child per
job. A child runs the job exactly as a spawned worker would, its output going to the job's
log, and leaves with `os._exit`: the interpreter's shutdown would only repeat, in every
job, work that belongs to the template.

The template is the parent of every job: it alone can learn their exit statuses, so it
reaps them and reports each status. The runner signals a job's process group directly (a
stuck template never delays a timeout or Ctrl-C). Nothing outlives the runner: the
template gets SIGTERM when the runner dies and then kills every job's group, and a job
gets SIGKILL when the template dies.
"""

from __future__ import annotations

import gc
import json
import os
import selectors
import signal
import socket
import sys
import threading
import traceback
import warnings
from collections.abc import Callable, Sequence
from contextlib import suppress
from types import FrameType
from typing import Any, NoReturn

from quarn._paths import HOST_MODULES, set_import_path, shielded
from quarn.runner.executors.fork.seeds import Seeds
from quarn.runner.executors.fork.threads import (
    ImportWatch,
    quiesce,
    task_count,
    thread_note,
    unsafe_threads,
)
from quarn.runner.executors.fork.wire import Lines, encode
from quarn.runner.store.serializers import REPORT_ENV

RunJob = Callable[[Any], int]

# What a job can exit with when it could not even start: the job worker's status for a
# spec it cannot use, and a status no job worker returns for an error of the template's.
_UNUSABLE_SPEC = 2
_TEMPLATE_ERROR = 70

# Python warns at every fork of a process with threads. The template forks only when the
# threads left are ones that survive a fork (see threads.py); the warning would be noise.
_FORK_WARNING = r"This process \(pid=\d+\) is multi-threaded, use of fork\(\) may lead to deadlocks"

_JOB_WORKER = "quarn.runner.job.run"


def _prctl() -> Callable[..., int] | None:
    if not sys.platform.startswith("linux"):
        return None
    import ctypes

    try:
        prctl: Callable[..., int] = ctypes.CDLL(None, use_errno=True).prctl
        return prctl
    except (OSError, AttributeError):
        return None


_PRCTL = _prctl()  # looked up once: children set their death signal in microseconds
_PR_SET_PDEATHSIG = 1
# Signals that must never reach a handler of the template's inside a child: they stay
# blocked from before the fork until the child has put back the default actions.
_HELD = {signal.SIGTERM, signal.SIGCHLD, signal.SIGINT}


def die_with_parent(signum: int, parent: int) -> None:
    """Asks the kernel to send `signum` when the parent dies; if it already died, dies now."""
    if _PRCTL is not None:
        _PRCTL(_PR_SET_PDEATHSIG, signum, 0, 0, 0)
    if os.getppid() != parent:
        os._exit(_TEMPLATE_ERROR)


class Template:
    """Forks one child per requested job and reports its pid, then its exit status.

    One child is always forked ahead and waits, set up, for a job (a spare); the runner
    gets the pipe it waits on and hands it the next job itself, so that a job starts with
    a write to a pipe and the fork happens while jobs run, off the runner's path."""

    def __init__(
        self, channel: socket.socket, done: socket.socket, run_job: RunJob, seeds: Seeds
    ) -> None:
        self.channel = channel
        self.done = done  # each job says on it how it ended, before it exits
        job_package = os.path.dirname(sys.modules[run_job.__module__].__file__ or "")
        self._argv0 = os.path.join(job_package, "__main__.py")  # as `python -m quarn.runner.job`
        self.run_job = run_job
        self.seeds = seeds
        self.pid = os.getpid()
        self._lines = Lines(channel)
        self._jobs: dict[int, int] = {}  # pid -> job id
        self._spare: int | None = None  # the runner holds the pipe it waits on
        self._early: dict[int, int] = {}  # spare pid -> status, reaped before its `took`
        self._threads = task_count()
        self._stop = False
        self._own: list[int] = []  # descriptors no child may keep

    def serve(self) -> None:
        """Answers requests until the runner closes its end or dies; then no job survives."""
        wake_read, wake_write = os.pipe()
        os.set_blocking(wake_read, False)
        os.set_blocking(wake_write, False)
        signal.set_wakeup_fd(wake_write, warn_on_full_buffer=False)
        signal.signal(signal.SIGCHLD, _ignore)  # only to wake the loop up
        signal.signal(signal.SIGTERM, self._terminate)
        selector = selectors.DefaultSelector()
        selector.register(self.channel, selectors.EVENT_READ)
        selector.register(wake_read, selectors.EVENT_READ)
        self._own = [self.channel.fileno(), wake_read, wake_write, selector.fileno()]
        try:
            self._make_spare()
            while not (self._stop or self._lines.closed):
                for key, _ in selector.select():
                    if key.fileobj is self.channel:
                        for message in self._lines.receive():
                            if "run" in message:
                                self._start(message["run"], message["spec"], message["log"])
                            elif "took" in message:
                                self._took(message["took"], message["pid"])
                    else:
                        with suppress(OSError):
                            os.read(wake_read, 4096)
                self._reap()
        finally:
            self._kill_all()

    def _terminate(self, _signum: int, _frame: FrameType | None) -> None:
        self._stop = True

    def _send(self, message: dict[str, Any]) -> None:
        with suppress(OSError):  # the runner is gone: the loop ends at the socket's EOF
            self.channel.sendall(encode(message))

    def _start(self, job: int, spec: str, log: str) -> None:
        """Hands the job to the spare (or forks it now), then forks the next spare."""
        if task_count() > self._threads and unsafe_threads():
            reason = "threads started in the template; the remaining jobs run in spawned workers"
            self._send({"refused": job, "reason": reason, "threads": True})
            return
        try:
            pid = self._fork(None, job, spec, log)
        except OSError as exc:
            self._send({"refused": job, "reason": f"cannot fork: {exc.strerror}"})
            return
        self._jobs[pid] = job
        self._send({"started": job, "pid": pid})

    def _took(self, job: int, pid: int) -> None:
        """The runner handed a job to the spare: it is a job now; fork the next spare."""
        if pid != self._spare:
            return
        self._spare = None
        if pid in self._early:  # it ran and ended before this message came
            self._send({"exited": job, "status": self._early.pop(pid)})
        else:
            self._jobs[pid] = job
        self._make_spare()

    def _fork(self, waits_on: int | None, job: int, spec: str, log: str) -> int:
        """A child that runs the job at once, or (`waits_on`) reads it from that pipe."""
        for stream in (sys.stdout, sys.stderr):  # a child must not inherit unwritten text
            with suppress(Exception):
                stream.flush()
        held = signal.pthread_sigmask(signal.SIG_BLOCK, _HELD)
        try:
            pid = os.fork()
        except OSError:
            signal.pthread_sigmask(signal.SIG_SETMASK, held)
            raise
        if pid == 0:
            self._child(waits_on, job, spec, log, held)
        signal.pthread_sigmask(signal.SIG_SETMASK, held)
        with suppress(OSError):  # as the child does too: the group exists before we report
            os.setpgid(pid, pid)
        return pid

    def _make_spare(self) -> None:
        if self._spare is not None or self._stop or self._lines.closed:
            return
        if task_count() > self._threads and unsafe_threads():
            return  # the runner's next request is refused, and says why
        read, write = os.pipe()
        self._own.append(write)
        try:
            pid = self._fork(read, -1, "", "")
        except OSError:
            return  # the runner asks for a fork instead
        finally:
            os.close(read)
            self._own.remove(write)
        self._spare = pid
        with suppress(OSError):
            socket.send_fds(self.channel, [encode({"spare": pid})], [write])
        os.close(write)  # the runner's copy alone: should the runner die, the spare reads EOF

    def _reap(self) -> None:
        while True:
            try:
                pid, status = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                return
            if pid == 0:
                return
            job = self._jobs.pop(pid, None)
            if job is not None:
                self._send({"exited": job, "status": os.waitstatus_to_exitcode(status)})
            elif pid == self._spare:  # killed while waiting, or quicker than its `took`
                self._early[pid] = os.waitstatus_to_exitcode(status)

    def _kill_all(self) -> None:
        spare = [] if self._spare is None else [self._spare]
        for pid in [*self._jobs, *spare]:
            with suppress(OSError):
                os.killpg(pid, signal.SIGKILL)
        for pid in [*self._jobs, *spare]:
            with suppress(OSError):
                os.waitpid(pid, 0)
        self._jobs.clear()
        self._spare = None

    # In the child --------------------------------------------------------------------------

    def _child(
        self,
        waits_on: int | None,
        job: int,
        spec_path: str,
        log_path: str,
        mask: set[signal.Signals | int],
    ) -> NoReturn:
        status = _TEMPLATE_ERROR
        try:
            os.setpgid(0, 0)
            die_with_parent(signal.SIGKILL, self.pid)
            signal.set_wakeup_fd(-1)
            signal.signal(signal.SIGCHLD, signal.SIG_DFL)
            signal.signal(signal.SIGTERM, signal.SIG_DFL)
            signal.signal(signal.SIGINT, signal.default_int_handler)
            signal.pthread_sigmask(signal.SIG_SETMASK, mask)  # a stop sent meanwhile lands now
            for fd in self._own:
                os.close(fd)
            self.seeds.in_child()
            if waits_on is not None:
                request = _read_all(waits_on)
                if not request:  # the template ended, or no longer wants a spare
                    os._exit(0)
                number, spec_path, log_path = request.decode("utf-8", "surrogateescape").split("\0")
                job = int(number)
            _redirect(log_path)
            sys.argv[:] = [self._argv0, spec_path]
            status = self._run(spec_path)
        except SystemExit as exc:
            status = _exit_status(exc)
        except BaseException:  # noqa: BLE001 (whatever happens, the template must not go on)
            with suppress(Exception):
                traceback.print_exc()
            status = _TEMPLATE_ERROR
        finally:
            for stream in (sys.stdout, sys.stderr):
                with suppress(Exception):
                    stream.flush()
            with suppress(Exception):  # the runner goes on now, not after the exit's teardown
                self.done.send(f"{job} {status}".encode(), socket.MSG_DONTWAIT)
            os._exit(status)

    def _run(self, spec_path: str) -> int:
        try:
            with open(spec_path, encoding="utf-8") as handle:
                spec = json.load(handle)
        except (OSError, ValueError, RecursionError) as exc:
            sys.stderr.write(f"quarn job: cannot read the job spec {spec_path}: {exc}\n")
            return _UNUSABLE_SPEC
        try:
            return self.run_job(spec)
        finally:
            # as at the end of any interpreter: threads the job left running finish first
            shutdown = getattr(threading, "_shutdown", None)
            if shutdown is not None:
                shutdown()


def _read_all(fd: int) -> bytes:
    chunks = []
    while chunk := os.read(fd, 65536):
        chunks.append(chunk)
    os.close(fd)
    return b"".join(chunks)


def _ignore(_signum: int, _frame: FrameType | None) -> None:
    pass


def _redirect(log_path: str) -> None:
    log = os.open(log_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
    null = os.open(os.devnull, os.O_RDONLY)
    os.dup2(null, 0)
    os.dup2(log, 1)
    os.dup2(log, 2)
    os.close(log)
    os.close(null)


def _exit_status(exc: SystemExit) -> int:
    """What the interpreter would exit with for this SystemExit."""
    if exc.code is None:
        return 0
    if isinstance(exc.code, int):
        return exc.code & 0xFF
    with suppress(Exception):
        sys.stderr.write(f"{exc.code}\n")
    return 1


# Start-up ------------------------------------------------------------------------------------


def import_host_modules(paths: Sequence[str]) -> None:
    """Imports the standard modules the core and the job worker import by name, and the job
    worker itself with what it would import on each job, with the project's folders hidden,
    as a spawned worker does: a project file named like one of them (json.py) cannot stand
    in for it."""
    import quarn

    with shielded(paths, quarn.__file__ or __file__):
        for name in (*HOST_MODULES, _JOB_WORKER, "traceback"):
            __import__(name)
        from quarn.runner.store import serializers

        serializers.get(None)  # loads the built-in serializers, which each job would load anew


def install_checked_loader(paths: Sequence[str]) -> None:
    """Project modules compiled from their source as it is now, never from an older bytecode
    cache, and the digest of what each was compiled from kept for the jobs' check."""
    from quarn.runner.job.sources import install

    install({}, paths, None)


def ready_message(document: str, modules: Sequence[str], note: str | None) -> bytes:
    """The document goes into the message as the text inspect_modules made, unparsed."""
    skipped = [m for m in dict.fromkeys(modules) if m not in sys.modules]
    tail = {"skipped": skipped, "note": note}
    return b'{"ready":{"document":' + document.encode() + b"," + encode(tail)[1:-2] + b"}}\n"


def prepare(modules: Sequence[str], seeds: Seeds) -> tuple[str, str | None]:
    """Imports and inspects the modules; says why forking is unsafe when it is."""
    from quarn import inspect_modules
    from quarn.runner.trace import record

    with (
        ImportWatch({"numpy.random": seeds.numpy_random_imported}) as watch,
        record.imports(keep_probes=True),  # idle in the template, in place for each job
    ):
        document = inspect_modules(list(modules))
    seeds.settle()
    unsafe = quiesce()
    return document, thread_note(unsafe, watch.started_by) if unsafe else None


def main(argv: Sequence[str] | None = None) -> None:
    args = list(sys.argv[1:] if argv is None else argv)
    channel = socket.socket(fileno=int(args.pop(0)))
    done = socket.socket(fileno=int(args.pop(0)))
    terminal = int(args.pop(0))
    die_with_parent(signal.SIGTERM, int(args.pop(0)))
    warnings.filterwarnings("ignore", _FORK_WARNING, DeprecationWarning)
    paths: list[str] = []
    while len(args) >= 2 and args[0] == "--path":
        paths.append(args[1])
        del args[:2]
    import_host_modules(paths)
    from quarn.runner.job.run import run_job

    set_import_path(paths, __file__)
    install_checked_loader(paths)
    seeds = Seeds()
    document, note = prepare(args, seeds)
    os.environ.pop(REPORT_ENV, None)  # discovery's alone: a job registers nothing there
    for stream in (sys.stdout, sys.stderr):
        with suppress(Exception):
            stream.flush()
    channel.sendall(ready_message(document, args, note))
    del document
    os.dup2(terminal, 1)  # what the modules printed has been passed on: the pipe ends here
    os.dup2(terminal, 2)
    os.close(terminal)
    if note is None:
        # What the imports built lives as long as the template: out of the collector's
        # reach, a collection in a job never writes to (and so copies) those pages.
        gc.freeze()
        Template(channel, done, run_job, seeds).serve()
    for stream in (sys.stdout, sys.stderr):
        with suppress(Exception):
            stream.flush()
    os._exit(0)  # the modules' exit handlers belong to the jobs' processes, not to ours


if __name__ == "__main__":
    main()
