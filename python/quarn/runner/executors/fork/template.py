"""The warm template process of a run:

    python -m quarn.runner.executors.fork FD DONE OUT PARENT [--path DIR]... MODULE...

Started by the runner with one end of a socket pair as descriptor FD, one end of a
datagram socket pair on which each job reports how it ended as DONE, and the runner's
standard error as descriptor OUT (its own once the modules are imported). It imports the job
worker and the project's modules once and reports what discovery learned (so the code that
is inspected and versioned is the code that runs), then forks children that wait, set up,
for a job each (spares). A child runs its job exactly as a spawned worker would, its output
going to the job's log, and leaves with `os._exit`: the interpreter's shutdown would only
repeat, in every job, work that belongs to the template.

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

from quarn.runner.executors.discover_here import discover_here, encode
from quarn.runner.executors.fork.seeds import Seeds
from quarn.runner.executors.fork.threads import (
    ImportWatch,
    quiesce,
    task_count,
    thread_note,
    unsafe_threads,
)
from quarn.runner.executors.fork.wire import Lines
from quarn.runner.executors.fork.wire import encode as encode_message
from quarn.runner.job.process import die_with_parent, exit_status

RunJob = Callable[[Any], int]

# What a job can exit with when it could not even start: the job worker's status for a
# spec it cannot use, and a status no job worker returns for an error of the template's.
_UNUSABLE_SPEC = 2
_TEMPLATE_ERROR = 70

# Python warns at every fork of a process with threads. The template forks only when the
# threads left are ones that survive a fork (see threads.py); the warning would be noise.
_FORK_WARNING = r"This process \(pid=\d+\) is multi-threaded, use of fork\(\) may lead to deadlocks"

# Signals that must never reach a handler of the template's inside a child: they stay
# blocked from before the fork until the child has put back the default actions.
_HELD = {signal.SIGTERM, signal.SIGCHLD, signal.SIGINT}


class Template:
    """Forks a spare child whenever the runner wants one, and reports each child's exit.

    The runner holds the pipe a spare waits on and hands it a job itself, so that a job
    starts with a write to a pipe, and asks for the next spare at once: the fork happens
    while jobs run, off the runner's path. A spare that cannot be forked safely (threads
    appeared in the template since it started) or at all is refused, with the reason."""

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
        self._children: set[int] = set()
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
            self._make_spare()  # unasked: the first job needs one
            while not (self._stop or self._lines.closed):
                for key, _ in selector.select():
                    if key.fileobj is self.channel:
                        for message in self._lines.receive():
                            if "want" in message:
                                self._make_spare()
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
            self.channel.sendall(encode_message(message))

    def _make_spare(self) -> None:
        if self._stop or self._lines.closed:
            return
        if task_count() > self._threads and unsafe_threads():
            reason = "threads started in the template; the remaining jobs run in spawned workers"
            self._send({"refused": reason, "threads": True})
            return
        read, write = os.pipe()
        self._own.append(write)
        try:
            pid = self._fork(read)
        except OSError as exc:
            os.close(write)
            self._send({"refused": f"cannot fork: {exc.strerror}", "threads": False})
            return
        finally:
            os.close(read)
            self._own.remove(write)
        self._children.add(pid)
        with suppress(OSError):
            socket.send_fds(self.channel, [encode_message({"spare": pid})], [write])
        os.close(write)  # the runner's copy alone: should the runner die, the spare reads EOF

    def _fork(self, waits_on: int) -> int:
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
            self._child(waits_on, held)
        signal.pthread_sigmask(signal.SIG_SETMASK, held)
        with suppress(OSError):  # as the child does too: the group exists before we report
            os.setpgid(pid, pid)
        return pid

    def _reap(self) -> None:
        while True:
            try:
                pid, status = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                return
            if pid == 0:
                return
            self._children.discard(pid)
            self._send({"exited": pid, "status": os.waitstatus_to_exitcode(status)})

    def _kill_all(self) -> None:
        for pid in self._children:
            with suppress(OSError):
                os.killpg(pid, signal.SIGKILL)
        for pid in self._children:
            with suppress(OSError):
                os.waitpid(pid, 0)
        self._children.clear()

    # In the child --------------------------------------------------------------------------

    def _child(self, waits_on: int, mask: set[signal.Signals | int]) -> NoReturn:
        me = os.getpid()
        status = _TEMPLATE_ERROR
        job = -1
        try:
            os.setpgid(0, 0)
            if not die_with_parent(self.pid, signal.SIGKILL):
                os._exit(_TEMPLATE_ERROR)
            signal.set_wakeup_fd(-1)
            signal.signal(signal.SIGCHLD, signal.SIG_DFL)
            signal.signal(signal.SIGTERM, signal.SIG_DFL)
            signal.signal(signal.SIGINT, signal.default_int_handler)
            signal.pthread_sigmask(signal.SIG_SETMASK, mask)  # a stop sent meanwhile lands now
            for fd in self._own:
                os.close(fd)
            self.seeds.in_child()
            request = _read_all(waits_on)
            if not request:  # the runner ended, or no longer wants a spare
                os._exit(0)
            number, spec_path, log_path = request.decode("utf-8", "surrogateescape").split("\0")
            job = int(number)
            _redirect(log_path)
            sys.argv[:] = [self._argv0, spec_path]
            status = self._run(spec_path)
        except SystemExit as exc:
            status = exit_status(exc)
        except BaseException:  # noqa: BLE001 (whatever happens, the template must not go on)
            with suppress(Exception):
                traceback.print_exc()
            status = _TEMPLATE_ERROR
        finally:
            for stream in (sys.stdout, sys.stderr):
                with suppress(Exception):
                    stream.flush()
            if os.getpid() == me:  # a process the job forked reports nothing
                with suppress(Exception):  # the runner goes on now, not after the teardown
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


def main(argv: Sequence[str] | None = None) -> None:
    args = list(sys.argv[1:] if argv is None else argv)
    channel = socket.socket(fileno=int(args.pop(0)))
    done = socket.socket(fileno=int(args.pop(0)))
    terminal = int(args.pop(0))
    if not die_with_parent(int(args.pop(0)), signal.SIGTERM):
        os._exit(_TEMPLATE_ERROR)
    warnings.filterwarnings("ignore", _FORK_WARNING, DeprecationWarning)
    paths: list[str] = []
    while len(args) >= 2 and args[0] == "--path":
        paths.append(args[1])
        del args[:2]
    seeds = Seeds()
    with ImportWatch({"numpy.random": seeds.numpy_random_imported}) as watch:
        found = discover_here(args, paths, jobs_here=True)
    seeds.settle()
    unsafe = quiesce()
    note = found.note = thread_note(unsafe, watch.started_by) if unsafe else None
    for stream in (sys.stdout, sys.stderr):
        with suppress(Exception):
            stream.flush()
    channel.sendall(b'{"ready":' + encode(found) + b"}\n")
    del found
    os.dup2(terminal, 1)  # what the modules printed has been passed on: the pipe ends here
    os.dup2(terminal, 2)
    os.close(terminal)
    if note is None:
        from quarn.runner.job.run import run_job  # imported by discovery, shielded
        from quarn.runner.trace import record

        record.ready_to_fork()

        # What the imports built lives as long as the template: out of the collector's
        # reach, a collection in a job never writes to (and so copies) those pages.
        gc.freeze()
        Template(channel, done, run_job, seeds).serve()
    for stream in (sys.stdout, sys.stderr):
        with suppress(Exception):
            stream.flush()
    os._exit(0)  # the modules' exit handlers belong to the jobs' processes, not to ours
