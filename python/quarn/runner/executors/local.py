"""Runs the planned jobs as worker processes, each as soon as its upstream jobs succeeded."""

from __future__ import annotations

import heapq
import os
import selectors
import shutil
import signal
import subprocess
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from types import FrameType

from quarn.runner.contract import LOG_FILE, RESULT_FILE, VALUE_FILE, worker_command
from quarn.runner.executors.failures import failure_text, keep_log, read_result
from quarn.runner.executors.inputs import inputs_text
from quarn.runner.plan.jobs import Job
from quarn.runner.report.outcome import FAILED, INTERRUPTED, NOT_RUN, SKIPPED, SUCCEEDED, Outcome
from quarn.runner.report.progress import Progress
from quarn.runner.store.manifest import Manifest

# Upstream values up to this size travel in argv; larger ones through a file.
_ARGV_INPUT_LIMIT = 32 * 1024
_MANIFEST_SAVE_SECONDS = 1.0  # each save syncs to disk; once a second costs well under 1%
_TERMINATE_GRACE_SECONDS = 5.0
_POLL_SECONDS = 0.01  # only where processes cannot be waited for through a descriptor
_INPUTS_DIR = ".quarn-inputs"


@dataclass(slots=True)
class Stats:
    """Slot use over the execution phase, measured by the scheduler itself."""

    slots: int
    seconds: float = 0.0
    busy: float = 0.0  # slot-seconds with a worker running
    idle_with_work: float = 0.0  # slot-seconds idle while a ready job was waiting
    launched: int = 0
    cpu: float = 0.0  # the scheduler's own processor time

    def text(self) -> str:
        capacity = self.slots * self.seconds
        if capacity <= 0:
            return "quarn: stats: no job ran"
        idle = 1.0 - self.busy / capacity
        waste = self.idle_with_work / capacity
        return (
            f"quarn: stats: {self.launched} jobs on {self.slots} slots in {self.seconds:.2f}s; "
            f"slots idle {idle:.1%} of the time, idle while a job was ready {waste:.2%}; "
            f"scheduler CPU {self.cpu:.2f}s"
        )


@dataclass(eq=False, slots=True)
class _Running:
    job: Job
    process: subprocess.Popen[bytes]
    started: float
    directory: str
    log: str
    inputs_file: str | None
    pidfd: int | None = None


@dataclass(slots=True)
class Execution:
    outcomes: list[Outcome] = field(default_factory=list)
    interrupted: int = 0  # the signal that stopped the run, 0 when none did
    manifest_error: str = ""  # why the last manifest save failed, when it did


class Executor:
    """Keeps up to `slots` workers busy; a failure skips everything downstream of it."""

    def __init__(
        self,
        jobs: list[Job],
        out_dir: str,
        slots: int,
        manifest: Manifest,
        progress: Progress,
        paths: list[str],
    ) -> None:
        self.jobs = jobs
        self.out_dir = out_dir
        self.slots = max(1, slots)
        self.manifest = manifest
        self.progress = progress
        self.paths = paths
        self.stats = Stats(self.slots)
        self._in_run = set(jobs)
        self._waiting = {j: sum(1 for d in j.deps if d in self._in_run) for j in jobs}
        self._priority = _heights(jobs, self._in_run)
        self._ready: list[tuple[int, int, Job]] = []
        self._running: dict[Job, _Running] = {}
        self._outcomes: dict[Job, Outcome] = {}
        self._signal = 0
        self._stopping = False
        self._manifest_error = ""
        self._last_account = 0.0

    # The loop ------------------------------------------------------------------------------

    def run(self) -> Execution:
        for job in self.jobs:
            if self._waiting[job] == 0:
                self._push(job)
        selector = selectors.DefaultSelector()
        wake_read, restore = self._install_signals()
        if wake_read is not None:
            selector.register(wake_read, selectors.EVENT_READ)
        started = time.monotonic()
        cpu = time.process_time()
        self._last_account = started
        last_save = started
        try:
            while True:
                if self._signal:
                    break
                self._fill(selector)
                if not self._running:
                    break
                timeout = None if self._pidfds_work() else _POLL_SECONDS
                if self.progress.live:
                    timeout = 0.25 if timeout is None else min(timeout, 0.25)
                if self.manifest.dirty:
                    wait = max(0.0, last_save + _MANIFEST_SAVE_SECONDS - time.monotonic())
                    timeout = wait if timeout is None else min(timeout, wait)
                for key, _ in selector.select(timeout):
                    if key.fileobj == wake_read:
                        _drain(wake_read)
                self._reap(selector)
                self.progress.redraw()
                now = time.monotonic()
                if self.manifest.dirty and now - last_save >= _MANIFEST_SAVE_SECONDS:
                    self._save_manifest()
                    last_save = now
        finally:
            if self._running:  # interrupted, or an error of our own: no worker outlives us
                self._stop_all(selector)
            self._account(time.monotonic())
            self.stats.seconds = time.monotonic() - started
            self.stats.cpu = time.process_time() - cpu
            restore()
            selector.close()
            if self.manifest.dirty:
                self._save_manifest()
            shutil.rmtree(os.path.join(self.out_dir, _INPUTS_DIR), ignore_errors=True)
        for job in self.jobs:
            if job not in self._outcomes:
                self._outcomes[job] = Outcome(job, NOT_RUN)
        outcomes = [self._outcomes[j] for j in self.jobs]
        return Execution(outcomes, self._signal, self._manifest_error)

    def _save_manifest(self) -> None:
        """A failed save (disk full) is retried at the next save; the run goes on."""
        try:
            self.manifest.save()
        except OSError as exc:
            if not self._manifest_error:
                self.progress.message(f"quarn: warning: cannot save {self.manifest.path}: {exc}")
            self._manifest_error = str(exc)
        else:
            self._manifest_error = ""

    def _push(self, job: Job) -> None:
        heapq.heappush(self._ready, (-self._priority[job], job.index, job))

    def _fill(self, selector: selectors.BaseSelector) -> None:
        while self._ready and len(self._running) < self.slots and not self._signal:
            self._account(time.monotonic())  # the slot is busy from here: starting a worker
            _, _, job = heapq.heappop(self._ready)
            try:
                running = self._launch(job)
            except OSError as exc:
                self._finish(job, FAILED, 0.0, f"could not start the worker: {exc}", "")
                self._skip_downstream(job)
                continue
            self._running[job] = running
            self.stats.launched += 1
            if running.pidfd is not None:
                selector.register(running.pidfd, selectors.EVENT_READ, running)
        self.progress.set_running(len(self._running))

    def _pidfds_work(self) -> bool:
        return all(r.pidfd is not None for r in self._running.values())

    def _reap(self, selector: selectors.BaseSelector) -> None:
        for job, running in list(self._running.items()):
            code = running.process.poll()
            if code is None:
                continue
            now = time.monotonic()
            self._account(now)
            del self._running[job]
            if running.pidfd is not None:
                selector.unregister(running.pidfd)
                os.close(running.pidfd)
            self.stats.busy += now - running.started
            self.progress.running = len(self._running)
            self._conclude(running, code, now - running.started)

    def _account(self, now: float) -> None:
        """Adds the slot time since the last event, in the state that held since then: call
        it just before each change to the running set or the ready queue."""
        elapsed = now - self._last_account
        if elapsed > 0:
            idle = self.slots - len(self._running)
            self.stats.idle_with_work += elapsed * min(idle, len(self._ready))
        self._last_account = now

    # One job --------------------------------------------------------------------------------

    def _launch(self, job: Job) -> _Running:
        started = time.monotonic()
        directory = os.path.join(self.out_dir, job.asset.dir_name, job.partition_dir)
        os.makedirs(directory, exist_ok=True)
        for name in (VALUE_FILE, RESULT_FILE):  # never mistake an old file for this run's
            try:
                os.unlink(os.path.join(directory, name))
            except FileNotFoundError:
                pass
        command = worker_command(job.asset.module, job.asset.function_name, directory, self.paths)
        inputs = inputs_text(job, self.out_dir)
        inputs_file = None
        if inputs is not None and len(inputs) <= _ARGV_INPUT_LIMIT:
            command += ["--inputs-json", inputs]
        elif inputs is not None:
            folder = os.path.join(self.out_dir, _INPUTS_DIR)
            os.makedirs(folder, exist_ok=True)
            inputs_file = os.path.join(folder, f"{job.index}.json")
            with open(inputs_file, "w", encoding="utf-8", errors="surrogateescape") as handle:
                handle.write(inputs)
            command += ["--inputs-file", inputs_file]
        log = os.path.join(directory, LOG_FILE)
        with open(log, "wb") as output:
            process = subprocess.Popen(
                command,
                stdin=subprocess.DEVNULL,
                stdout=output,
                stderr=subprocess.STDOUT,
                process_group=0,  # a terminal's Ctrl-C reaches the run, which stops workers
            )
        pidfd = None
        if hasattr(os, "pidfd_open"):
            try:
                pidfd = os.pidfd_open(process.pid)
            except OSError:
                pidfd = None
        return _Running(job, process, started, directory, log, inputs_file, pidfd)

    def _conclude(self, running: _Running, code: int, seconds: float) -> None:
        if running.inputs_file:
            _unlink(running.inputs_file)
        log = keep_log(running.log)
        job = running.job
        if self._stopping and code < 0:  # we stopped it
            self._finish(job, INTERRUPTED, seconds, "", log)
            return
        record = read_result(running.directory)
        if code == 0 and isinstance(record, dict) and record.get("ok") is True:
            self.manifest.record(
                job.id,
                {
                    "asset": job.asset.display,
                    "partition": job.key or None,
                    "version": job.version,
                    "seconds": round(seconds, 3),
                },
            )
            self._finish(job, SUCCEEDED, seconds, "", log)
            for down in job.downstream:
                if down in self._in_run:
                    self._waiting[down] -= 1
                    if self._waiting[down] == 0 and down not in self._outcomes:
                        self._push(down)
            return
        self._finish(job, FAILED, seconds, failure_text(code, record, log), log)
        self._skip_downstream(job)

    def _finish(self, job: Job, status: str, seconds: float | None, error: str, log: str) -> None:
        outcome = Outcome(job, status, seconds, error, log)
        self._outcomes[job] = outcome
        self.progress.finished(outcome)

    def _skip_downstream(self, failed: Job) -> None:
        stack = [failed]
        while stack:
            for down in stack.pop().downstream:
                if down in self._in_run and down not in self._outcomes:
                    self._finish(down, SKIPPED, None, f"upstream {failed.display} failed", "")
                    stack.append(down)

    # Stopping -------------------------------------------------------------------------------

    def _install_signals(self) -> tuple[int | None, Callable[[], None]]:
        """SIGINT and SIGTERM set a flag and wake the loop, which then stops the workers."""
        if threading.current_thread() is not threading.main_thread():
            return None, lambda: None
        read, write = os.pipe()
        os.set_blocking(read, False)
        os.set_blocking(write, False)

        def handler(signum: int, _frame: FrameType | None) -> None:
            if self._signal:  # a second Ctrl-C: no more grace
                for running in self._running.values():
                    _signal_group(running.process, signal.SIGKILL)
            self._signal = self._signal or signum

        previous = {s: signal.signal(s, handler) for s in (signal.SIGINT, signal.SIGTERM)}
        previous_fd = signal.set_wakeup_fd(write, warn_on_full_buffer=False)

        def restore() -> None:
            signal.set_wakeup_fd(previous_fd)
            for s, h in previous.items():
                signal.signal(s, h)
            os.close(read)
            os.close(write)

        return read, restore

    def _stop_all(self, selector: selectors.BaseSelector) -> None:
        self._stopping = True
        for running in self._running.values():
            _signal_group(running.process, signal.SIGTERM)
        deadline = time.monotonic() + _TERMINATE_GRACE_SECONDS
        for running in self._running.values():
            try:
                running.process.wait(max(0.0, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                _signal_group(running.process, signal.SIGKILL)
                running.process.wait()
        self._reap(selector)


def _heights(jobs: list[Job], in_run: set[Job]) -> dict[Job, int]:
    """Longest chain of downstream jobs: the ready job that unlocks the most goes first."""
    height: dict[Job, int] = {}
    for job in reversed(jobs):  # downstream jobs come later in plan order
        below = [height[d] for d in job.downstream if d in in_run]
        height[job] = 1 + max(below, default=0)
    return height


def _unlink(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


def _signal_group(process: subprocess.Popen[bytes], number: int) -> None:
    """Signals the worker's process group, so processes the asset started stop too."""
    try:
        os.killpg(process.pid, number)
    except (ProcessLookupError, PermissionError):
        pass


def _drain(fd: int) -> None:
    try:
        while os.read(fd, 512):
            pass
    except BlockingIOError:
        pass
