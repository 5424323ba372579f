"""Runs the planned jobs on a backend, each as soon as its upstream jobs succeeded.

The scheduler decides what starts and what a failure means; this loop carries it out:
it writes each job's spec, starts it, enforces the timeout, moves a finished job's stage
folder into place, keeps the manifest, and stops every worker when the run is stopped.
"""

from __future__ import annotations

import json
import os
import shutil
import signal
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from types import FrameType
from typing import Any

from quarn.runner.contract import (
    CODE_CACHE_DIR,
    LOG_FILE,
    RESULT_FILE,
    STATE_DIR,
    STATUS_FAILED,
    STATUS_SKIPPED,
    VALUE_FILE,
    FanInSource,
    InputSource,
    JobSpec,
)
from quarn.runner.executors.backend import Backend, JobExit
from quarn.runner.executors.failures import failure_text, keep_log, last_frames, read_result
from quarn.runner.executors.scheduler import Scheduler
from quarn.runner.plan.freshness import PENDING, Plan
from quarn.runner.plan.jobs import Job
from quarn.runner.plan.observe import success_entry
from quarn.runner.report.outcome import (
    FAILED,
    INTERRUPTED,
    NOT_RUN,
    SKIPPED,
    SUCCEEDED,
    UP_TO_DATE,
    Outcome,
)
from quarn.runner.report.progress import Progress
from quarn.runner.store.atomic import sync_directory
from quarn.runner.store.job_report import read_report
from quarn.runner.store.layout import (
    LayoutError,
    check_input_folder,
    check_job_folder,
    job_dir,
    promote,
    sync_folder,
)
from quarn.runner.store.manifest import Manifest
from quarn.runner.store.rundir import RunDir
from quarn.runner.store.value_file import stored_value_file
from quarn.runner.text import one_line

_MANIFEST_SAVE_SECONDS = 1.0  # each save syncs to disk; once a second costs well under 1%
_TERMINATE_GRACE_SECONDS = 5.0  # after SIGTERM, before SIGKILL
_TICK_SECONDS = 0.25  # longest wait, so a signal's flag is seen soon
_STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


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


@dataclass(frozen=True, slots=True)
class Limits:
    """Per-job limits of a run."""

    timeout: float | None = None  # seconds of one attempt; None: no limit
    retries: int = 0  # further attempts after a failure by exception, signal or timeout
    grace: float = _TERMINATE_GRACE_SECONDS


@dataclass(eq=False, slots=True)
class _Running:
    job: Job
    attempt: int
    started: float
    stage: str
    log: str
    deadline: float | None
    kill_at: float | None = None  # set once it was asked to stop
    timed_out: bool = False


@dataclass(slots=True)
class Execution:
    outcomes: list[Outcome] = field(default_factory=list)
    interrupted: int = 0  # the signal that stopped the run, 0 when none did
    manifest_error: str = ""  # why the last manifest save failed, when it did


class Executor:
    """Keeps up to `slots` jobs running; a failure skips everything downstream of it."""

    def __init__(
        self,
        jobs: list[Job],
        out_dir: str,
        slots: int,
        manifest: Manifest,
        progress: Progress,
        paths: list[str],
        backend: Backend,
        rundir: RunDir,
        limits: Limits | None = None,
        plan: Plan | None = None,
    ) -> None:
        self.jobs = jobs
        self.plan = plan or Plan({})
        self.out_dir = out_dir
        self.slots = max(1, slots)
        self.manifest = manifest
        self.progress = progress
        self.paths = paths
        self.backend = backend
        self.rundir = rundir
        self.limits = limits or Limits()
        self.stats = Stats(self.slots)
        self.scheduler = Scheduler(jobs, self.limits.retries)
        self._running: dict[Job, _Running] = {}
        self._outcomes: dict[Job, Outcome] = {}
        self._history: dict[Job, list[str]] = {}  # errors of the attempts before the last
        self._signal = 0
        self._kill_now = False
        self._stopping = False
        self._manifest_error = ""
        self._last_account = 0.0
        self._unsynced: set[str] = set()  # job folders promoted since the last manifest save

    # The loop ------------------------------------------------------------------------------

    def run(self) -> Execution:
        restore = self._install_signals()
        started = time.monotonic()
        cpu = time.process_time()
        self._last_account = started
        last_save = started
        try:
            while not self._signal:
                self._fill()
                if not self._running and not self.scheduler.pending:
                    break
                now = time.monotonic()
                self._conclude_all(self.backend.wait(self._timeout(now, last_save)))
                self._enforce_limits(time.monotonic())
                self.progress.redraw()
                now = time.monotonic()
                if self.manifest.dirty and now - last_save >= _MANIFEST_SAVE_SECONDS:
                    self._save_manifest()
                    last_save = now
        finally:
            try:
                if self._running:  # interrupted, or an error of our own: no worker outlives us
                    self._stop_all()
            finally:
                self.backend.close()
                restore()
            self._account(time.monotonic())
            self.stats.seconds = time.monotonic() - started
            self.stats.cpu = time.process_time() - cpu
            if self.manifest.dirty:
                self._save_manifest()
        for job in self.jobs:
            if job not in self._outcomes:
                self._outcomes[job] = Outcome(job, NOT_RUN)
        outcomes = [self._outcomes[j] for j in self.jobs]
        return Execution(outcomes, self._signal, self._manifest_error)

    def _timeout(self, now: float, last_save: float) -> float:
        moments = [now + _TICK_SECONDS]
        wake = self.scheduler.wake_at()
        if wake is not None:
            moments.append(wake)
        for running in self._running.values():
            for moment in (running.deadline, running.kill_at):
                if moment is not None:
                    moments.append(moment)
        if self.manifest.dirty:
            moments.append(last_save + _MANIFEST_SAVE_SECONDS)
        return max(0.0, min(moments) - now)

    def _save_manifest(self) -> None:
        """Syncs the job folders the manifest is about to vouch for, then saves it. A failed
        save (disk full) is retried at the next save; the run goes on."""
        parents = {os.path.dirname(folder) for folder in self._unsynced}
        for folder in self._unsynced:
            sync_folder(folder)
        for parent in parents:
            sync_directory(parent)
        self._unsynced.clear()
        try:
            self.manifest.save()
        except OSError as exc:
            if not self._manifest_error:
                self.progress.message(
                    one_line(f"quarn: warning: cannot save {self.manifest.path}: {exc}")
                )
            self._manifest_error = str(exc)
        else:
            self._manifest_error = ""

    def _fill(self) -> None:
        while len(self._running) < self.slots and not self._signal:
            now = time.monotonic()
            job = self.scheduler.next_job(now)
            if job is None:
                break
            if self._cut_off(job):
                continue
            self._account(now)  # the slot is busy from here: starting a worker
            try:
                self._start(job, now)
            except LayoutError as exc:
                self._end(job, FAILED, None, str(exc), "", retryable=False)
            except Exception as exc:  # noqa: BLE001 - the job fails, never the run
                error = f"could not start the worker: {type(exc).__name__}: {exc}"
                self._end(job, FAILED, None, error, "", retryable=False)
        self.progress.set_running(len(self._running))

    def _cut_off(self, job: Job) -> bool:
        """A pending job whose upstream jobs all produced the bytes it consumed last time
        is current after all: it ends as up to date and its downstream may start."""
        decision = self.plan.decisions.get(job)
        if decision is None or decision.state != PENDING or self.plan.still_needed(job):
            return False
        self.plan.cut_off(job)
        self.manifest.current(job.id)
        self._finish(job, UP_TO_DATE, None, "", "")
        self.scheduler.succeeded(job)
        return True

    def _account(self, now: float) -> None:
        """Adds the slot time since the last event, in the state that held since then: call
        it just before each change to the running set or the ready queue."""
        elapsed = now - self._last_account
        if elapsed > 0:
            idle = self.slots - len(self._running)
            self.stats.idle_with_work += elapsed * min(idle, self.scheduler.ready_count)
        self._last_account = now

    # One job --------------------------------------------------------------------------------

    def _start(self, job: Job, now: float) -> None:
        check_job_folder(self.out_dir, job)
        attempt = self.scheduler.attempt(job)
        stage = self.rundir.stage_dir(job.index, attempt)
        spec = self._spec(job, stage)
        spec["report"] = self.rundir.report_path(job.index, attempt)
        spec_path = self.rundir.spec_path(job.index, attempt)
        shutil.rmtree(stage, ignore_errors=True)
        os.makedirs(stage)
        with open(spec_path, "w", encoding="utf-8") as handle:
            json.dump(spec, handle, ensure_ascii=False)
        log = os.path.join(stage, LOG_FILE)
        self.backend.start(job, spec_path, log)
        self.progress.job_started(job, log)
        deadline = now + self.limits.timeout if self.limits.timeout else None
        self._running[job] = _Running(job, attempt, now, stage, log, deadline)
        self.stats.launched += 1

    def _spec(self, job: Job, stage: str) -> JobSpec:
        inputs: dict[str, InputSource | FanInSource] = {}
        for param, source in job.inputs:
            if isinstance(source, Job):
                inputs[param] = self._source(source)
            else:
                inputs[param] = {"fan_in": {member: self._source(up) for member, up in source}}
        asset = job.asset
        return {
            "module": asset.module,
            "function": asset.function_name,
            "paths": self.paths,
            "job_dir": job_dir(self.out_dir, job),
            "stage_dir": os.path.abspath(stage),
            "serializer": _serializer(asset.metadata),
            "keys": job.key,
            "inputs": inputs,
            "sources": self.plan.sources.get(asset.ref, {}),
            "code_cache": os.path.abspath(os.path.join(self.out_dir, STATE_DIR, CODE_CACHE_DIR)),
        }

    def _source(self, upstream: Job) -> InputSource:
        folder = job_dir(self.out_dir, upstream)
        value = stored_value_file(folder) or os.path.join(folder, VALUE_FILE)
        check_input_folder(self.out_dir, upstream, (os.path.basename(value), RESULT_FILE))
        source: InputSource = {
            "dir": os.path.abspath(job_dir(self.out_dir, upstream)),
            "serializer": _serializer(upstream.asset.metadata),
        }
        entry = self.manifest.jobs.get(upstream.id, {})
        if entry.get("value") == os.path.basename(value) and "digest" in entry and "stat" in entry:
            source["digest"], source["stat"] = entry["digest"], entry["stat"]  # what it vouches for
        return source

    def _conclude_all(self, ended: list[tuple[Job, JobExit]]) -> None:
        for job, exit_ in ended:
            if job not in self._running:
                continue
            now = time.monotonic()
            self._account(now)  # while it still holds its slot
            running = self._running.pop(job)
            self.stats.busy += now - running.started
            self.progress.running = len(self._running)
            try:
                self._conclude(running, exit_, now - running.started)
            except Exception as exc:  # noqa: BLE001 - the job fails, never the run
                error = str(exc)
                if not isinstance(exc, LayoutError):
                    error = f"could not conclude the job: {type(exc).__name__}: {exc}"
                self._end(job, FAILED, now - running.started, error, "", retryable=False)

    def _conclude(self, running: _Running, exit_: JobExit, seconds: float) -> None:
        job = running.job
        code = exit_.status
        timed_out = running.timed_out or exit_.timed_out
        if self._stopping and not timed_out and (code is None or code < 0):
            # we stopped it: its folder stays as it was
            self._finish(job, INTERRUPTED, seconds, "", "")
            return
        record = read_result(running.stage)
        ok = record.get("ok") if isinstance(record, dict) else None
        recorded = isinstance(ok, bool)
        succeeded = code == 0 and ok is True
        if not recorded:  # a worker killed half way leaves nothing that looks like a result
            _keep_only_log(running.stage)
        log = keep_log(running.log)
        final_log = os.path.join(job_dir(self.out_dir, job), LOG_FILE) if log else ""
        final = promote(running.stage, self.out_dir, job, self.rundir.aside_dir())
        self._unsynced.add(final)
        report = read_report(self.rundir.report_path(job.index, running.attempt))
        if succeeded and report is not None:
            self.manifest.record(job.id, success_entry(self.plan, job, report, seconds))
            self._finish(job, SUCCEEDED, seconds, "", final_log)
            self.scheduler.succeeded(job)
            return
        if succeeded:
            error = "the worker reported success but did not describe its value"
        elif timed_out:
            limit = self.limits.timeout
            error = f"timed out after {limit:g} s" if limit else "timed out"
        elif code is None:
            error = f"lost: {exit_.lost}" if exit_.lost else "lost"
        else:
            error = failure_text(code, record, final_log)
        retryable = timed_out or code is None or (code or 0) < 0 or recorded
        self._end(job, FAILED, seconds, error, final_log, retryable, last_frames(final_log))

    def _end(
        self,
        job: Job,
        status: str,
        seconds: float | None,
        error: str,
        log: str,
        retryable: bool,
        frames: list[str] | None = None,
    ) -> None:
        """A failed attempt: retried when the scheduler says so, else the job's end."""
        decision = self.scheduler.failed(job, retryable, time.monotonic())
        attempt = self.scheduler.attempt(job)
        if decision.retry_at is not None:
            delay = max(0.0, decision.retry_at - time.monotonic())
            self._history.setdefault(job, []).append(error)
            self.progress.attempt_failed(job, attempt, error, delay)
            return
        self._finish(job, status, seconds, error, log, frames or [])
        for down in decision.skipped:
            self._finish(down, SKIPPED, None, f"upstream {job.display} failed", "")

    def _finish(
        self,
        job: Job,
        status: str,
        seconds: float | None,
        error: str,
        log: str,
        frames: list[str] | None = None,
    ) -> None:
        if status in (FAILED, SKIPPED):  # its folder no longer vouches for a current value
            marked = STATUS_FAILED if status == FAILED else STATUS_SKIPPED
            self.manifest.mark(job.id, marked, job.asset.display, job.key or None)
        earlier = self._history.pop(job, [])
        outcome = Outcome(job, status, seconds, error, log, earlier, frames or [])
        self._outcomes[job] = outcome
        self.progress.finished(outcome)

    def _enforce_limits(self, now: float) -> None:
        for running in self._running.values():
            if running.kill_at is not None and now >= running.kill_at:
                self.backend.stop(running.job, signal.SIGKILL)
                running.kill_at = None
            elif running.deadline is not None and now >= running.deadline:
                running.timed_out = True
                running.deadline = None
                self.backend.stop(running.job, signal.SIGTERM)
                running.kill_at = now + self.limits.grace

    # Stopping -------------------------------------------------------------------------------

    def _install_signals(self) -> Callable[[], None]:
        """SIGINT, SIGTERM and SIGHUP set a flag, which the loop sees within a tick."""
        if threading.current_thread() is not threading.main_thread():
            return lambda: None

        def handler(signum: int, _frame: FrameType | None) -> None:
            if self._signal:  # a second Ctrl-C: no more grace
                self._kill_now = True
            self._signal = self._signal or signum

        previous = {s: signal.signal(s, handler) for s in _STOP_SIGNALS}

        def restore() -> None:
            for s, h in previous.items():
                signal.signal(s, h)

        return restore

    def _stop_all(self) -> None:
        self._stopping = True
        for job in self._running:
            self.backend.stop(job, signal.SIGTERM)
        kill_at = time.monotonic() + self.limits.grace
        killed = False
        while self._running:
            now = time.monotonic()
            if not killed and (self._kill_now or now >= kill_at):
                for job in self._running:
                    self.backend.stop(job, signal.SIGKILL)
                killed = True
            wait = _TICK_SECONDS if killed else min(_TICK_SECONDS, max(0.0, kill_at - now))
            self._conclude_all(self.backend.wait(wait))


def _serializer(metadata: Any) -> str | None:
    if isinstance(metadata, dict) and isinstance(metadata.get("serializer"), str):
        name: str = metadata["serializer"]
        return name
    return None


def _keep_only_log(stage: str) -> None:
    for entry in os.scandir(stage):
        if entry.name != LOG_FILE:
            if entry.is_dir(follow_symlinks=False):
                shutil.rmtree(entry.path, ignore_errors=True)
            else:
                os.unlink(entry.path)
