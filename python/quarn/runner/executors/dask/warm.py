"""Warm templates on a Dask worker: the jobs of a run fork from a template, as on one machine.

Each worker process keeps one template per run (the same process as `--isolation fork`
starts locally: `fork/client.py`). It starts when the run opens (`warm_up`) or at the run's
first job here, and ends with the run (`close_run`), with the worker process (the template
asks for a signal when its parent goes), or once idle for `IDLE_SECONDS`, since a run that
was killed outright never says that it ended. Where it cannot fork the jobs (a module
started threads when imported, no /proc to see threads through, it could not start, it
died), the run's later jobs on this worker start fresh interpreters, and `Spawn` says why.

A thread of its own starts each template and serves it: the parent-death signal a child
asks for follows the thread that started it, so the template must not outlive that
thread, nor that thread the template. It collects the exits the template reports; a task
thread that handed a job over waits for its `Forked.ended`.
"""

from __future__ import annotations

import io
import itertools
import os
import selectors
import threading
import time
from collections.abc import Sequence
from contextlib import suppress
from dataclasses import dataclass, field

from quarn.runner.executors.fork.client import Refused, TemplateError, TemplateProcess
from quarn.runner.executors.isolation import default_isolation

IDLE_SECONDS = 120.0  # a template no job of its run used for this long ends
READY_SECONDS = 300.0  # the project's imports may be slow, but never endless
_LOOK_SECONDS = 5.0  # how often a template that reports nothing checks its idleness
_SPAWNED = "jobs run in spawned workers"
NO_PROC = f"no /proc/self/task here to see a warm template's threads through; {_SPAWNED}"


class Spawn(Exception):
    """The job is to start a fresh interpreter; the message, when any, is why (a note)."""


@dataclass(eq=False, slots=True)
class Forked:
    """A job handed to the template; `ended` once it has exited, or was lost with it."""

    pid: int  # also its process group
    ended: threading.Event = field(default_factory=threading.Event)
    status: int | None = None
    lost: str = ""

    def end(self, status: int | None, lost: str = "") -> None:
        self.status, self.lost = status, lost
        self.ended.set()


class Warm:
    """The template of one run in this worker process."""

    def __init__(
        self, run: str, modules: Sequence[str], paths: Sequence[str], cwd: str | None
    ) -> None:
        self.run = run
        self.ready = threading.Event()  # set once jobs may be handed over, or spawned
        self.closed = threading.Event()  # set once the template has ended
        self.note = ""  # why the jobs are spawned, once they are
        self.users = 0  # tasks of the run using it; under _pool_lock
        self.idle_since = time.monotonic()
        self._lock = threading.Lock()  # the template's client serves one thread at a time
        self._template: TemplateProcess | None = None  # once it serves jobs
        self._starting: TemplateProcess | None = None  # while it imports the modules
        self._forking = False
        self._closing = False
        self._wake = -1  # write end of a pipe that makes the serving thread look again
        self._numbers = itertools.count()
        self._jobs: dict[int, Forked] = {}
        if default_isolation() != "fork":
            self._spawn_all(NO_PROC)
            return
        name = f"quarn-template-{run}"
        thread = threading.Thread(target=self._serve, args=(modules, paths, cwd), name=name)
        thread.daemon = True
        thread.start()

    def start(self, spec_path: str, log_path: str) -> Forked:
        """Hands the job to a spare child of the template. Raises Spawn when the job is to
        start a fresh interpreter instead. Call once `ready` is set."""
        with self._lock:
            template = self._template
            if template is None or not self._forking:
                raise Spawn(self.note)
            number = next(self._numbers)
            try:
                pid = template.start(number, spec_path, log_path)
            except Refused as refused:
                if not refused.threads:  # the next job tries a fork again
                    raise Spawn(f"{refused}; such a job runs in a spawned worker") from None
                self._forking = False
                self.note = str(refused)
                raise Spawn(self.note) from None
            except TemplateError as exc:  # gone: its running jobs are lost (see _serve)
                self._forking = False
                self.note = f"{exc}; the remaining {_SPAWNED}"
                raise Spawn(self.note) from None
            job = self._jobs[number] = Forked(pid)
            # Handing the job over may have read exits meant for the serving thread.
            with suppress(OSError):
                os.write(self._wake, b"\0")
        return job

    def close(self) -> None:
        """Ends the template, killing the jobs still running; `closed` is set once it has."""
        with self._lock:
            self._closing = True
            with suppress(OSError):
                os.write(self._wake, b"\0")
            if self._starting is not None:  # still importing: it is of no use any more
                with suppress(OSError):
                    self._starting.process.kill()

    def _spawn_all(self, note: str) -> None:
        self.note = note
        self.ready.set()
        self.closed.set()

    def _serve(self, modules: Sequence[str], paths: Sequence[str], cwd: str | None) -> None:
        wake_read = wake_write = -1
        try:
            wake_read, wake_write = os.pipe()
            os.set_blocking(wake_read, False)
            os.set_blocking(wake_write, False)
            template = self._started(modules, paths, cwd)
        except Exception as exc:  # noqa: BLE001 - whatever it is, the jobs must not wait
            template = None
            self._spawn_all(f"the warm template could not start: {exc}; {_SPAWNED}")
        if template is None:
            for fd in (wake_read, wake_write):
                with suppress(OSError):
                    os.close(fd)
            return
        lost = "the warm template was closed"
        with self._lock:
            self._template, self._wake, self._forking = template, wake_write, True
        self.ready.set()
        try:
            lost = self._pump(template, wake_read)
        finally:
            with self._lock:
                self._template, self._forking = None, False
                jobs, self._jobs = list(self._jobs.values()), {}
                os.close(wake_write)
                self._wake = -1
            os.close(wake_read)
            template.close()  # kills whatever still runs
            for job in jobs:
                job.end(None, lost)
            self.closed.set()

    def _started(
        self, modules: Sequence[str], paths: Sequence[str], cwd: str | None
    ) -> TemplateProcess | None:
        """The template once it has imported the modules; None when it will not fork."""
        template = TemplateProcess(modules, paths, cwd)
        try:
            with self._lock:
                self._starting = template
                if self._closing:
                    template.process.kill()
            # what the modules print while imported was shown once, by the run's discovery
            found = template.ready(io.StringIO(), READY_SECONDS)
        except BaseException:
            template.close()
            raise
        finally:
            with self._lock:
                self._starting = None
        # A module that cannot be imported here fails each of its jobs in a fresh
        # interpreter, saying why, as it would without a template.
        if found.note is not None or found.failures or self._closing:
            template.close()
            self._spawn_all(found.note or "")
            return None
        return template

    def _pump(self, template: TemplateProcess, wake: int) -> str:
        """Passes each exit the template reports to its job, until the template is closed,
        dies (returns why), stops forking with no job left, or stands idle too long."""
        selector = selectors.DefaultSelector()
        for watched in (template.channel, template.done, wake):
            selector.register(watched, selectors.EVENT_READ)
        try:
            while True:
                selector.select(_LOOK_SECONDS)
                with suppress(OSError):
                    while os.read(wake, 4096):
                        pass
                with self._lock:
                    if self._closing:
                        return "the warm template was closed"
                    try:
                        exits = template.exited()
                    except TemplateError as exc:
                        self._forking = False
                        self.note = f"{exc}; the remaining {_SPAWNED}"
                        return str(exc)
                    for number, status in exits:
                        job = self._jobs.pop(number, None)
                        if job is not None:
                            job.end(status)
                    if not self._forking and not self._jobs:
                        return "the warm template stopped forking"
                if _retired(self):
                    return "the warm template stood idle"
        finally:
            selector.close()


_pool_lock = threading.Lock()
_pool: dict[str, Warm] = {}  # run -> its template in this worker process


def acquire(run: str, modules: Sequence[str], paths: Sequence[str], cwd: str | None) -> Warm:
    """The run's template here, started if there is none; `release` it after the job."""
    with _pool_lock:
        warm = _pool.get(run)
        if warm is None:
            warm = _pool[run] = Warm(run, modules, paths, cwd)
        warm.users += 1
        return warm


def release(warm: Warm) -> None:
    with _pool_lock:
        warm.users -= 1
        warm.idle_since = time.monotonic()


def warm_up(run: str, modules: list[str], paths: list[str], cwd: str) -> None:
    """Starts the run's template here, ahead of its first job (returns at once)."""
    release(acquire(run, modules, paths, cwd if os.path.isdir(cwd) else None))


def close_run(run: str) -> Warm | None:
    """Ends the run's template here; returns it (`closed` tells when it has ended)."""
    with _pool_lock:
        warm = _pool.pop(run, None)
    if warm is not None:
        warm.close()
    return warm


def _retired(warm: Warm) -> bool:
    """Whether the template stood idle long enough to end; if so it leaves the pool, and
    a later job of its run starts another."""
    with _pool_lock:
        if warm.users or time.monotonic() - warm.idle_since < IDLE_SECONDS:
            return False
        if _pool.get(warm.run) is warm:
            del _pool[warm.run]
        return True
