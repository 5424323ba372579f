"""The one way to run: discover, check, plan and materialize, for `quarn run` and for
`quarn.materialize`.

Nothing here prints. What a run has to say while it goes (a warning, a note, the jobs as
they start and end) goes to its `Listener`; what it did comes back as a `Ran`, and what
stopped it as a `RunError`.
"""

from __future__ import annotations

import io
import os
import signal
import sys
import tempfile
import time
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Any, TextIO

from quarn.runner.api.errors import GraphError, OutputInUseError, RunError, UsageError
from quarn.runner.api.options import RunOptions
from quarn.runner.api.unchanged import rests_on
from quarn.runner.contract import RunRecord
from quarn.runner.executors.backend import Backend
from quarn.runner.executors.dask.cluster import (
    ClusterError,
    require_distributed,
    scheduler_address,
)
from quarn.runner.executors.discovery import Discovery, DiscoveryError, ImportFailed, discover
from quarn.runner.executors.executor import Execution, Executor, Limits, Stats
from quarn.runner.executors.isolation import default_isolation
from quarn.runner.graph.model import Asset, Graph
from quarn.runner.graph.modules import ModuleError, resolve
from quarn.runner.inputs import Inputs
from quarn.runner.plan.code_version import CodeVersion
from quarn.runner.plan.jobs import Job, folder_clashes
from quarn.runner.plan.orphans import prune
from quarn.runner.plan.params import Params, settle_params
from quarn.runner.plan.prepare import Prepared, code_roots, code_versions, mark_running, prepare
from quarn.runner.plan.select import (
    CONFIRM_ABOVE_JOBS,
    PlanError,
    count_jobs,
    find_asset,
    restrict,
    select,
)
from quarn.runner.report.outcome import Outcome
from quarn.runner.report.plan_text import orphans_text
from quarn.runner.report.progress import Progress
from quarn.runner.report.runs import run_record
from quarn.runner.state.assess import Assessment
from quarn.runner.state.words import Status, reasons_text
from quarn.runner.store.history import append_run
from quarn.runner.store.layout import LayoutError, job_path
from quarn.runner.store.lock import LockHeld, acquire, current_command
from quarn.runner.store.manifest import Manifest
from quarn.runner.store.marker import OutputDirError, check_run_output, mark
from quarn.runner.store.rundir import RunDir
from quarn.runner.trace.observe import RecordedDeps


class _Nowhere(io.StringIO):
    """A stream that keeps nothing."""

    def write(self, text: str) -> int:
        return len(text)


class Listener:
    """What a run says while it goes. This one keeps quiet: discovery's output (what the
    modules print, where an import failed) is kept in `output` for the error that may
    follow, and the progress goes nowhere. `quarn run` prints each."""

    def __init__(self) -> None:
        self.output: TextIO = io.StringIO()
        self.progress = Progress(_Nowhere(), live=False, quiet=True)

    def warning(self, text: str) -> None:
        """The run goes on: an unreadable manifest, for one."""

    def note(self, text: str) -> None:
        """Worth knowing before the jobs start: the template could not fork, for one."""

    def orphans(self, text: str) -> None:
        """The jobs of keys no longer declared, kept or pruned."""

    def waiting(self, out: str, holder: str) -> None:
        """Another run holds the output directory; this one waits (`wait`)."""

    def planned(self, planned: Planned) -> None:
        """The plan, before anything runs."""

    def confirm(self, assets: int, jobs: int) -> bool:
        """Whether to go on with a plan of more than CONFIRM_ABOVE_JOBS jobs."""
        return True


@dataclass(slots=True)
class Planned:
    """The plan of a run: its assets, the kept keys, every job's assessment before the run."""

    options: RunOptions
    graph: Graph
    assets: list[Asset]
    kept: dict[str, set[str]]
    count: int  # jobs of the plan
    code: dict[Asset, CodeVersion]
    manifest: Manifest
    prepared: Prepared
    before: dict[Job, Assessment] = field(default_factory=dict)  # as planned, before the run
    params: dict[str, Any] = field(default_factory=dict)  # the values of the run parameters
    # What the plan read: the module words resolved, discovery, the code versions, the
    # recorded dependencies found unchanged (see api/unchanged.py); and whether it warned.
    used: Inputs = field(default_factory=Inputs)
    warned: bool = False

    @property
    def where(self) -> str:
        return os.path.abspath(self.options.out)


@dataclass(slots=True)
class Ran:
    """What a run did; a check-only run has no `execution`."""

    planned: Planned
    execution: Execution | None = None
    outcomes: list[Outcome] = field(default_factory=list)  # every job that ran, then those waiting
    up_to_date: int = 0  # current without running, cut off ones included
    seconds: float = 0.0
    stats: Stats | None = None
    status: int = 0  # the exit status of `quarn run`
    history_error: str = ""  # why the run could not be recorded in the history
    started_at: dict[Job, float] = field(default_factory=dict)  # each job's first start
    record: RunRecord | None = None  # as the history keeps it
    # When the run found nothing to do and nothing to say: what that answer rests on (while
    # all of it is unchanged, the same run would find the same), else None.
    unchanged: Inputs | None = None


def run(options: RunOptions, listener: Listener) -> Ran:
    """Runs what `options` asks. Raises GraphError, UsageError, OutputInUseError or
    RunError; a job that fails is an outcome, not an error."""
    try:
        return _run(options, listener)
    except LayoutError as exc:  # a link where quarn keeps its own files in the output
        raise UsageError(str(exc)) from None


def _run(options: RunOptions, listener: Listener) -> Ran:
    scheduler, isolation = _where_jobs_run(options)
    try:
        found = resolve(options.modules, options.paths, options.base)
    except ModuleError as exc:
        raise GraphError(str(exc)) from None
    paths = [os.path.abspath(p) for p in [*options.paths, *found.paths]]
    try:
        check_run_output(options.out, [*paths, os.getcwd()])
    except OutputDirError as exc:
        raise UsageError(str(exc)) from None
    output = listener.output
    try:
        with _kept_from_terminal(output, isolation):
            discovered = discover(
                found.modules,
                paths,
                output,
                isolation=isolation,
                timeout=options.discovery_timeout,
                recall=not (options.force or options.force_all),
            )
    except DiscoveryError as exc:
        raise _not_discovered(exc, output) from None
    used = Inputs().add(found.inputs).add(discovered.inputs)
    try:
        return _plan(options, scheduler, discovered, paths, listener, used)
    finally:
        discovered.close()


def _where_jobs_run(options: RunOptions) -> tuple[str | None, str]:
    """The Dask scheduler's address (None for a local cluster) and the isolation."""
    executor, scheduler = options.executor, options.scheduler
    if scheduler is not None and executor == "local":
        raise UsageError("--scheduler names a Dask scheduler; it needs --executor dask")
    if scheduler is not None:
        executor = "dask"
    if executor != "dask":
        return None, options.isolation or default_isolation()
    if options.isolation == "none":
        raise UsageError("--isolation none runs the jobs inside this process, not on Dask")
    try:
        require_distributed()
    except ClusterError as exc:
        raise RunError(str(exc)) from None
    try:
        address = scheduler_address(scheduler) if scheduler is not None else None
    except ClusterError as exc:
        raise UsageError(str(exc)) from None
    # The workers fork the jobs from templates of their own (or spawn them, where they
    # cannot fork): here, discovery alone runs, in a process of its own.
    return address, "spawn"


@contextmanager
def _kept_from_terminal(output: TextIO, isolation: str) -> Iterator[None]:
    """Without isolation the modules are imported in this process, and what they print
    goes to its standard streams: into a listener's `output` instead, when it keeps it."""
    if isolation != "none" or not isinstance(output, io.StringIO):
        yield
        return
    with tempfile.TemporaryFile() as kept:
        streams = sys.stdout, sys.stderr
        for stream in streams:
            stream.flush()
        saved = [os.dup(1), os.dup(2)]
        os.dup2(kept.fileno(), 1)
        os.dup2(kept.fileno(), 2)
        # a notebook's or pytest's streams are no file: what is printed goes to the fds
        text = open(1, "w", encoding="utf-8", errors="replace", closefd=False)  # noqa: SIM115
        sys.stdout = sys.stderr = text
        try:
            yield
        finally:
            text.flush()
            sys.stdout, sys.stderr = streams
            os.dup2(saved[0], 1)
            os.dup2(saved[1], 2)
            for fd in saved:
                os.close(fd)
            kept.seek(0)
            output.write(kept.read().decode("utf-8", "replace"))


def _not_discovered(exc: DiscoveryError, output: TextIO) -> GraphError:
    """The error of a discovery that failed: the modules that could not be imported, each
    as its block, or why discovery failed, after what the listener kept of its output."""
    if isinstance(exc, ImportFailed):
        return GraphError(str(exc), exc.text("quarn").splitlines(), exc.text)
    kept = output.getvalue().splitlines() if isinstance(output, io.StringIO) else []
    return GraphError(str(exc), kept)


def _plan(
    options: RunOptions,
    scheduler: str | None,
    discovered: Discovery,
    paths: list[str],
    listener: Listener,
    used: Inputs,
) -> Ran:
    """Checks and plans the discovered graph, then runs it under the output's lock."""
    try:
        graph = discovered.graph(options.serializer)
    except DiscoveryError as exc:
        raise _not_discovered(exc, listener.output) from None
    try:
        params = settle_params(graph, options.params, options.configured, given_as=options.given_as)
    except PlanError as exc:
        raise UsageError(str(exc)) from None
    for warning in params.warnings:
        listener.warning(warning)
    warned = bool(params.warnings)
    graph.diagnostics = params.diagnostics
    if graph.diagnostics:
        count = len(graph.diagnostics)
        raise GraphError(
            f"{count} problem{'' if count == 1 else 's'} in the asset graph; nothing was run",
            [str(d) for d in graph.diagnostics],
        )
    if not graph.assets:
        raise GraphError(f"no assets found in {', '.join(options.modules)}")
    try:
        assets = select(graph, options.select)
        kept = restrict(assets, list(options.partition))
        forced = _forced(options, graph, assets)
    except PlanError as exc:
        raise UsageError(str(exc)) from None
    count = count_jobs(assets, kept)
    if count > CONFIRM_ABOVE_JOBS and not listener.confirm(len(assets), count):
        raise UsageError(f"the plan holds {count:,} jobs, more than {CONFIRM_ABOVE_JOBS:,}")
    roots = code_roots(assets, paths, options.root)
    code = code_versions(assets, roots, used)
    decided = (options, graph, assets, kept, count, code, forced, params, listener, used, warned)
    if options.check_only:
        planned = _decide(*decided)
        ran = Ran(planned)
        ran.unchanged = _unchanged(ran)
        return ran
    out = options.out
    try:
        lock = acquire(out, current_command(), options.wait, lambda h: listener.waiting(out, h))
    except LockHeld as exc:
        raise OutputInUseError(str(exc)) from None
    except OSError as exc:
        raise RunError(f"cannot lock {out}: {exc}") from None
    try:
        mark(out)
    except OSError as exc:
        lock.release()
        raise RunError(f"cannot write to {out}: {exc}") from None
    try:
        planned = _decide(*decided)
        return _execute(planned, roots, scheduler, paths, discovered, listener)
    finally:
        lock.release()


def _decide(
    options: RunOptions,
    graph: Graph,
    assets: list[Asset],
    kept: dict[str, set[str]],
    count: int,
    code: dict[Asset, CodeVersion],
    forced: list[Asset],
    params: Params,
    listener: Listener,
    used: Inputs,
    warned: bool,
) -> Planned:
    """What is current and what runs, from the manifest."""
    manifest, warning = Manifest.load(options.out)
    warnings = ([warning] if warning else []) + manifest.damaged
    for text in warnings:
        listener.warning(text)
    deps = RecordedDeps(manifest.parts)
    prepared = prepare(
        assets, kept, code, manifest, forced, params=params.values, dependencies=deps
    )
    clashes = folder_clashes(prepared.jobs)
    if clashes:
        raise GraphError(
            "two jobs would share a folder",
            [
                f"jobs {one.display} and {other.display} would share the folder "
                f"{job_path(options.out, one.id)}; rename one of the assets"
                for one, other in clashes
            ],
        )
    before = dict(prepared.plan.assessments)
    used.add(deps.used())
    return Planned(
        options, graph, assets, kept, count, code, manifest, prepared, before, params.values,
        used, warned or bool(warnings),
    )  # fmt: skip


def _execute(
    planned: Planned,
    roots: list[str],
    scheduler: str | None,
    paths: list[str],
    discovered: Discovery,
    listener: Listener,
) -> Ran:
    """Runs the planned jobs while holding the output directory's lock, and records the
    run in the history."""
    options, prepared, manifest = planned.options, planned.prepared, planned.manifest
    out = options.out
    listener.planned(planned)
    to_run = prepared.to_run
    started = time.monotonic()
    started_at = time.time()
    progress = listener.progress
    backend: Backend
    slots = options.jobs or os.cpu_count() or 1
    on_dask = options.executor == "dask" or options.scheduler is not None
    if to_run and not on_dask:
        try:  # a discovery recalled imported nothing: now the jobs need the modules
            with _kept_from_terminal(listener.output, discovered.isolation):
                discovered.warm()
        except DiscoveryError as exc:
            raise _not_discovered(exc, listener.output) from None
    if not on_dask or not to_run:
        backend = discovered.backend(progress.message, options.timeout)
    else:
        from quarn.runner.executors.dask.backend import open_backend

        modules = {j.asset.module for j in to_run}
        try:
            dask_backend = open_backend(
                scheduler, options.jobs, out, paths, modules, listener.output,
                isolation=options.isolation or "fork", note=progress.message,
            )  # fmt: skip
        except ClusterError as exc:
            first, *details = str(exc).splitlines()
            raise RunError(first, details) from None
        backend, slots = dask_backend, options.jobs or dask_backend.slots
    try:
        if prepared.orphans and options.prune:
            prune(prepared.orphans, out)
            manifest.forget(prepared.orphans)
        mark_running(prepared, manifest)
        if manifest.roots != roots or manifest.serializer != options.serializer:
            manifest.roots, manifest.serializer = roots, options.serializer
            manifest.dirty = True
        if manifest.dirty or not os.path.exists(manifest.path):
            manifest.save()
    except OSError as exc:
        backend.close()
        raise RunError(f"cannot write to {out}: {exc}") from None
    if prepared.orphans:
        listener.orphans(orphans_text(prepared.orphans, manifest, options.prune))
    rundir = RunDir(out)
    try:
        rundir.create()
    except (OSError, LayoutError) as exc:
        backend.close()
        raise RunError(f"cannot prepare {rundir.path}: {exc}") from None
    if discovered.note and to_run:
        listener.note(discovered.note)
    progress.start(to_run, prepared.up_to_date, planned.where)
    limits = Limits(options.timeout, options.retries)
    executor = Executor(
        to_run, out, slots, manifest, progress, paths, backend, rundir, limits, prepared.plan
    )
    try:
        execution = executor.run()
    finally:
        rundir.remove()
    progress.close()
    cut_off = sum(1 for o in execution.outcomes if o.status == Status.UP_TO_DATE)
    waiting = _waiting(planned)
    ran = Ran(
        planned,
        execution,
        [*(o for o in execution.outcomes if o.status != Status.UP_TO_DATE), *waiting],
        prepared.up_to_date + cut_off,
        time.monotonic() - started,
        executor.stats,
        exit_status(execution),
        started_at=dict(progress.started_at),
    )
    record = run_record(
        list(options.command),
        started_at,
        time.time(),
        planned.assets,
        [j for j in prepared.jobs if j.requested],
        [*execution.outcomes, *waiting],
        progress.started_at,
        out,
    )
    try:
        append_run(out, record, ran.status)
    except OSError as exc:
        ran.history_error = f"cannot record the run in the history: {exc}"
    ran.record = record
    ran.unchanged = _unchanged(ran)
    return ran


def _unchanged(ran: Ran) -> Inputs | None:
    """What the run's answer rests on, when it found nothing to do and had nothing to say
    (see api/unchanged.py); None otherwise."""
    planned = ran.planned
    prepared = planned.prepared
    quiet = not (planned.warned or ran.history_error or ran.status)
    idle = not (prepared.to_run or prepared.waiting or prepared.orphans)
    if not (quiet and idle) or planned.count > CONFIRM_ABOVE_JOBS or planned.manifest.dirty:
        return None
    return rests_on(planned.used, prepared, planned.manifest)


def exit_status(execution: Execution) -> int:
    """0 when every job succeeded or was current, 128 + the signal that stopped the run,
    else 1 (a job that did not succeed, a manifest that could not be saved)."""
    if execution.interrupted:
        return 128 + execution.interrupted
    if execution.manifest_error:
        return 1
    if any(o.status not in (Status.SUCCEEDED, Status.UP_TO_DATE) for o in execution.outcomes):
        return 1
    return 0


def interrupted_by_ctrl_c(ran: Ran) -> bool:
    return ran.execution is not None and ran.execution.interrupted == signal.SIGINT


def _forced(options: RunOptions, graph: Graph, assets: list[Asset]) -> list[Asset]:
    """--force: the named assets alone (every planned one without --select);
    --force-all: the named assets and everything upstream of them."""
    if options.force_all or (options.force and not options.select):
        return assets
    if options.force:
        return [find_asset(graph, name) for name in options.select]
    return []


def _waiting(planned: Planned) -> list[Outcome]:
    """Jobs that may not run: they consume partitions outside the run that are stale."""
    before = planned.before
    return [
        Outcome(j, Status.WAITING, None, reasons_text(before[j].reasons[-1:]))
        for j in planned.prepared.waiting
    ]
