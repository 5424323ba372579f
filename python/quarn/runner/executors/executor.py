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

from quarn.runner.contract import (
    LOG_FILE,
    RESULT_FILE,
    VALUE_FILE,
    FanInSource,
    InputSource,
    JobSpec,
)
from quarn.runner.executors.backend import Backend, JobExit
from quarn.runner.executors.commit import Committer
from quarn.runner.executors.failures import failure_text, keep_log, last_frames
from quarn.runner.executors.transitions import (
    Effect,
    Ending,
    Finish,
    Mark,
    Promote,
    Record,
    Retry,
    RunState,
)
from quarn.runner.plan.freshness import Plan
from quarn.runner.plan.jobs import Job
from quarn.runner.report.outcome import Outcome
from quarn.runner.report.progress import Progress
from quarn.runner.state.words import Status
from quarn.runner.store.job_report import read_report
from quarn.runner.store.layout import (
    LayoutError,
    check_input_folder,
    check_job_folder,
    failure_path,
    job_path,
    keep_failure,
    promote,
)
from quarn.runner.store.manifest import Manifest, utc_now
from quarn.runner.store.rundir import RunDir
from quarn.runner.store.serializers import AUTO
from quarn.runner.store.value_file import read_result
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
        self.state = RunState(jobs, self.plan, self.limits.retries)
        self.scheduler = self.state.scheduler
        self._running: dict[Job, _Running] = {}
        self._outcomes: dict[Job, Outcome] = {}
        self._signal = 0
        self._kill_now = False
        self._stopping = False
        self._manifest_error = ""
        self._last_account = 0.0
        self._unsynced: set[str] = set()  # job folders promoted since the last manifest save
        self._committer = Committer(out_dir, manifest)

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
            self._saved(self._committer.wait())  # a failed commit leaves it unsaved
            if self.manifest.dirty:
                self._save_manifest()
                self._saved(self._committer.wait())
        for job in self.jobs:
            if job not in self._outcomes:
                self._outcomes[job] = Outcome(job, Status.NOT_RUN)
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
        """Commits the job folders promoted since the last save and the manifest that vouches
        for them, off the loop (see `commit.py`)."""
        self._saved(self._committer.commit(self._unsynced))
        self._unsynced = set()

    def _saved(self, error: str) -> None:
        """Says once that saving the manifest failed; a later save that worked clears it."""
        if error and not self._manifest_error:
            self.progress.message(
                one_line(f"quarn: warning: cannot save {self.manifest.path}: {error}")
            )
        self._manifest_error = error

    def _fill(self) -> None:
        while len(self._running) < self.slots and not self._signal:
            now = time.monotonic()
            job, effects = self.state.next_job(now)
            self._perform(effects)
            if job is None:
                break
            self._account(now)  # the slot is busy from here: starting a worker
            try:
                self._start(job, now)
            except LayoutError as exc:
                self._perform(self.state.not_started(job, str(exc), time.monotonic()))
            except Exception as exc:  # noqa: BLE001 - the job fails, never the run
                error = f"could not start the worker: {type(exc).__name__}: {exc}"
                self._perform(self.state.not_started(job, error, time.monotonic()))
        self.progress.set_running(len(self._running))

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
        check_job_folder(self.out_dir, job.id)
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
        spec: JobSpec = {
            "module": asset.module,
            "function": asset.function_name,
            "paths": self.paths,
            "job_dir": job_path(self.out_dir, job.id),
            "stage_dir": os.path.abspath(stage),
            "serializer": asset.serializer,
            "keys": job.key,
            "inputs": inputs,
            "sources": self.plan.sources.get(asset.ref, {}),
            "sync": self.backend.remote,
        }
        if job.params:
            spec["params"] = job.params
        return spec

    def _source(self, upstream: Job) -> InputSource:
        """Where the upstream's value is and which serializer its record says wrote it."""
        folder = job_path(self.out_dir, upstream.id)
        # the value file and serializer its success recorded, from the record the run keeps
        record = self.manifest.jobs.get(upstream.id, {})
        value = record.get("value") or VALUE_FILE
        serializer = record.get("serializer") or upstream.asset.serializer
        check_input_folder(self.out_dir, upstream.id, (os.path.basename(value), RESULT_FILE))
        source: InputSource = {
            "dir": os.path.abspath(folder),
            "serializer": None if serializer == AUTO else serializer,
            "job": upstream.id,
        }
        if "digest" in record and "stat" in record:  # what the worker may vouch for unread
            source["digest"], source["stat"] = record["digest"], record["stat"]
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
                ending = self._observe(running, exit_, now - running.started)
            except Exception as exc:  # noqa: BLE001 - the job fails, never the run
                error = f"could not conclude the job: {type(exc).__name__}: {exc}"
                self._perform(self.state.not_started(job, error, now))
                continue
            self._perform(self.state.ended(job, ending), running)

    def _observe(self, running: _Running, exit_: JobExit, seconds: float) -> Ending:
        """How the attempt ended: its exit, its result record, its report, its log."""
        job = running.job
        code = exit_.status
        timed_out = running.timed_out or exit_.timed_out
        record = read_result(running.stage)
        ok = record.get("ok") if isinstance(record, dict) else None
        recorded = ok if isinstance(ok, bool) else None
        report = read_report(self.rundir.report_path(job.index, running.attempt))
        log = keep_log(running.log)
        succeeded = code == 0 and recorded is True and report is not None
        place = job_path if succeeded else failure_path
        final_log = os.path.join(place(self.out_dir, job.id), LOG_FILE) if log else ""
        if timed_out:
            limit = self.limits.timeout
            error = f"timed out after {limit:g} s" if limit else "timed out"
        elif code is None:
            error = f"lost: {exit_.lost}" if exit_.lost else "lost"
        elif code == 0 and recorded:
            error = ""
        else:
            error = failure_text(code, record, log)
        stopped = self._stopping
        return Ending(
            code, recorded, report, seconds, error, final_log, last_frames(log), timed_out, stopped
        )

    def _perform(self, effects: list[Effect], running: _Running | None = None) -> None:
        """Carries out what the run state decided, in its order."""
        for effect in effects:
            match effect:
                case Promote(job, failed):
                    assert running is not None
                    self._perform(self._promote(running, failed))
                case Record(job, entry, parts):
                    self.manifest.record(job.id, entry, parts)
                case Mark(job, status):
                    self.manifest.mark(
                        job.id, status, job.asset.display, job.key or None, job.function
                    )
                case Retry(job, attempt, at, error):
                    delay = max(0.0, at - time.monotonic())
                    self.progress.attempt_failed(job, attempt, error, delay)
                case Finish(outcome):
                    self._outcomes[outcome.job] = outcome
                    self.progress.finished(outcome)

    def _promote(self, running: _Running, failed: bool) -> list[Effect]:
        job = running.job
        problem = ""
        try:
            if failed:
                folder = keep_failure(running.stage, self.out_dir, job.id, self.rundir.aside_dir())
            else:
                folder = promote(running.stage, self.out_dir, job.id, self.rundir.aside_dir())
            self._unsynced.add(folder)
        except LayoutError as exc:
            problem = str(exc)
        except OSError as exc:
            problem = f"could not move its files into place: {exc}"
        return self.state.promoted(job, problem, time.monotonic(), utc_now())

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
