"""The Dask backend: quarn decides what runs and when, Dask places each job on a worker.

Each attempt of a job is one Dask task (`task.run_job`) that runs the same job worker as
the local backend, in its own process on the Dask worker (forked from the run's warm
template there under `--isolation fork`, see warm.py), and returns its exit status. The
runner's loop learns of ended tasks through their futures' callbacks, which wake it
through a pipe; a task lost with its worker is reported as a lost job, which the scheduler
retries under --retries.
"""

from __future__ import annotations

import os
import secrets
import selectors
import threading
from collections import deque
from collections.abc import Callable, Collection
from dataclasses import dataclass
from typing import Any, TextIO

from quarn.runner.executors.backend import JobExit
from quarn.runner.executors.dask.cluster import Cluster, ClusterError, open_cluster
from quarn.runner.executors.dask.probe import check_cluster
from quarn.runner.executors.dask.task import WarmOptions, run_job, signal_jobs, stop_run
from quarn.runner.executors.dask.warm import warm_up
from quarn.runner.plan.jobs import Job

_STOP_GRACE_SECONDS = 5.0  # when the backend closes with jobs still running
_STARTED_SUFFIX = ".started"
_WORKER_DIED = "its Dask worker died while running it"
_CANCELLED = "its Dask task was cancelled (by another client of the cluster?)"
_MISSING = object()


@dataclass(eq=False, slots=True)
class _Task:
    job: Job
    key: str
    future: Any  # distributed.Future


class DaskBackend:
    """Runs each job as one task on the cluster; at most one attempt of a job at a time."""

    def __init__(
        self, cluster: Cluster, warm: WarmOptions | None, note: Callable[[str], None]
    ) -> None:
        self.cluster = cluster
        # The jobs of a local cluster run on this machine: the runner syncs their files
        # in one go, as for the local executor's.
        self.remote = cluster.local is None
        self._warm = warm
        self._note = note
        self._noted: set[str] = set()
        self._client = cluster.client
        self._run = secrets.token_hex(8)  # names this run's tasks and jobs on the workers
        self._cwd = os.getcwd()
        self._tasks: dict[Job, _Task] = {}
        self._ended: deque[_Task] = deque()  # appended by Dask's callback thread
        self._count = 0
        self._wake_read, self._wake_write = os.pipe()
        os.set_blocking(self._wake_read, False)
        os.set_blocking(self._wake_write, False)
        self._selector = selectors.DefaultSelector()
        self._selector.register(self._wake_read, selectors.EVENT_READ)
        self._closed = False
        self._wake_lock = threading.Lock()  # no wake-up written once the pipe is closed
        self._signals: dict[str, int] = {}  # task key -> signal, sent at the next wait

    @property
    def slots(self) -> int:
        """Jobs the cluster can run at once: its worker threads."""
        return self.cluster.threads()

    def start(self, job: Job, spec_path: str, log_path: str) -> None:
        if self._client.status != "running":
            raise ClusterError(self._scheduler_gone())
        self._count += 1
        # The asset's folder name leads the key, so the dashboard groups tasks by asset.
        key = f"{job.asset.dir_name}-{self._run}-{self._count}"
        spec = os.path.abspath(spec_path)
        future = self._client.submit(
            run_job,
            spec,
            os.path.abspath(log_path),
            self._cwd,
            spec + _STARTED_SUFFIX,
            self._run,
            key,
            self._warm,
            key=key,
            pure=False,
        )
        task = _Task(job, key, future)
        self._tasks[job] = task
        future.add_done_callback(lambda _future: self._on_end(task))

    def warm_up(self) -> None:
        """Has every worker start the run's template now, so the first jobs find it ready
        (a worker that joins later starts its own at its first job)."""
        if self._warm is not None:
            modules, paths = self._warm
            self._client.run(warm_up, self._run, modules, paths, self._cwd, on_error="ignore")

    def _on_end(self, task: _Task) -> None:
        self._ended.append(task)
        with self._wake_lock:
            if self._closed:
                return
            try:
                os.write(self._wake_write, b"\0")
            except BlockingIOError:  # the pipe is full: a wake-up is pending anyway
                pass

    def wait(self, timeout: float | None) -> list[tuple[Job, JobExit]]:
        self._send_signals()
        if not self._ended and (self._tasks or timeout is not None):
            self._selector.select(timeout)  # with nothing running, a pause (a retry's back-off)
        try:
            while os.read(self._wake_read, 4096):
                pass
        except BlockingIOError:
            pass
        batch: list[_Task] = []
        while self._ended:
            task = self._ended.popleft()
            if self._tasks.get(task.job) is task:
                batch.append(task)
        return [(task.job, exit_) for task, exit_ in zip(batch, self._exits(batch), strict=True)]

    def _exits(self, batch: list[_Task]) -> list[JobExit]:
        finished = [t.future for t in batch if t.future.status == "finished"]
        # One round trip for every status that ended since the last look.
        statuses = dict(zip(finished, self._gather(finished), strict=True)) if finished else {}
        exits: list[JobExit] = []
        for task in batch:
            del self._tasks[task.job]
            status = statuses.get(task.future, _MISSING)
            if isinstance(status, tuple | list) and len(status) == 3:
                code, lost, note = status
                # None: the attempt had started on a worker that died
                exits.append(JobExit(code, "" if code is not None else lost or _WORKER_DIED))
                self._say(note)
            elif task.future.status == "cancelled":
                # A run cancels only what it stops; else the scheduler went away
                gone = self._client.status != "running"
                exits.append(JobExit(None, self._scheduler_gone() if gone else _CANCELLED))
            else:
                error = status if isinstance(status, BaseException) else _exception(task.future)
                exits.append(JobExit(None, _lost_reason(error)))
            task.future.release()
        return exits

    def _say(self, note: str) -> None:
        """A worker's note (`Dask worker ADDRESS: why it spawns jobs`), once per reason:
        the first worker with it stands for the others."""
        reason = note.partition(": ")[2]
        if note and reason not in self._noted:
            self._noted.add(reason)
            self._note(f"quarn: note: {note}")

    def _gather(self, futures: list[Any]) -> list[object]:
        try:
            results: list[object] = self._client.gather(futures)
            return results
        except Exception:  # one of them was lost after it ended: ask each on its own
            return [_result(f) for f in futures]

    def _scheduler_gone(self) -> str:
        return f"the connection to the Dask scheduler at {self.cluster.address} was lost"

    def stop(self, job: Job, signum: int) -> None:
        """The signal goes out with the others asked for before the next wait: stopping
        many jobs costs one message to each worker, not one per job."""
        task = self._tasks.get(job)
        if task is not None:
            self._signals[task.key] = int(signum)

    def _send_signals(self) -> None:
        signals, self._signals = self._signals, {}
        if not signals or self._client.status != "running":
            return  # without a scheduler, nothing reaches the workers
        answers = self._client.run(signal_jobs, self._run, signals, on_error="ignore")
        found = {key for keys in answers.values() for key in keys}
        waiting = [t.future for t in self._tasks.values() if t.key in signals.keys() - found]
        if waiting:  # not started yet: it never will
            self._client.cancel(waiting, force=True)

    def close(self) -> None:
        """Cancels what was not started, stops what runs (and waits until it has ended),
        then lets go of the cluster, closing it if it was started for this run."""
        with self._wake_lock:
            if self._closed:
                return
            self._closed = True
        try:
            if self._client.status == "running" and (self._tasks or self._warm is not None):
                if self._tasks:
                    self._client.cancel([t.future for t in self._tasks.values()], force=True)
                # also ends the run's templates, which only this run's jobs use
                self._client.run(stop_run, self._run, _STOP_GRACE_SECONDS, on_error="ignore")
            self._tasks.clear()
        finally:
            self._selector.close()
            os.close(self._wake_read)
            os.close(self._wake_write)
            self.cluster.close()


def open_backend(
    address: str | None,
    jobs: int | None,
    out_dir: str,
    paths: list[str],
    modules: Collection[str],
    stderr: TextIO,
    *,
    isolation: str = "fork",
    note: Callable[[str], None] | None = None,
) -> DaskBackend:
    """Connects to (or starts) the cluster and checks that its workers can run the jobs:
    the output directory shared with them, quarn and `modules` importable there. Under
    `isolation` fork, each worker starts a warm template for the run's jobs; the notes of
    those that cannot fork go to `note`."""
    cluster = open_cluster(address, jobs)
    try:
        if cluster.dashboard:
            stderr.write(f"quarn: Dask dashboard at {cluster.dashboard}\n")
            stderr.flush()
        # Workers in this very process share its Python, its files and its import path,
        # with which discovery just imported the modules: nothing there to check.
        problems = None
        if cluster.local is None:
            problems = check_cluster(cluster.client, out_dir, os.getcwd(), paths, sorted(modules))
        if problems:
            raise ClusterError(
                f"the Dask cluster at {cluster.address} cannot run these jobs:\n{problems.text()}"
            )
        warm = (sorted(modules), list(paths)) if isolation == "fork" else None
        backend = DaskBackend(cluster, warm, note or (lambda _text: None))
        backend.warm_up()
        return backend
    except BaseException:
        cluster.close()
        raise


def _exception(future: Any) -> BaseException | None:
    if future.status != "error":
        return None
    try:
        error: BaseException | None = future.exception()
        return error
    except Exception as exc:  # the future has no error to give: that is the reason
        return exc


def _result(future: Any) -> object:
    try:
        return future.result()
    except Exception as exc:
        return exc


def _lost_reason(error: BaseException | None) -> str:
    """Why a task ended without an exit status, for the job's error line."""
    if error is None:
        return "its Dask task ended without an exit status"
    name = type(error).__name__
    if name == "KilledWorker":
        return _WORKER_DIED
    if name == "CommClosedError" or isinstance(error, ConnectionError):
        return f"the connection to its Dask worker broke: {error}"
    return f"its Dask task failed on the worker: {name}: {error}"
