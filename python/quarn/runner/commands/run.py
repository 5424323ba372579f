"""`python -m quarn.run`: discover, check, plan and materialize the assets of some modules."""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
import traceback
from collections.abc import Callable

from quarn.runner.commands.modules import ModuleError, resolve
from quarn.runner.commands.run_options import PROG, build_parser, split_selection
from quarn.runner.executors.backend import Backend
from quarn.runner.executors.dask.cluster import (
    ClusterError,
    require_distributed,
    scheduler_address,
)
from quarn.runner.executors.discovery import Discovery, DiscoveryError, discover
from quarn.runner.executors.executor import Execution, Executor, Limits
from quarn.runner.executors.isolation import default_isolation
from quarn.runner.graph.model import Asset, Graph
from quarn.runner.plan.code_version import CodeVersion
from quarn.runner.plan.jobs import Job, folder_clashes
from quarn.runner.plan.orphans import prune
from quarn.runner.plan.prepare import Prepared, code_roots, code_versions, mark_running, prepare
from quarn.runner.plan.recorded import label
from quarn.runner.plan.select import (
    CONFIRM_ABOVE_JOBS,
    PlanError,
    count_jobs,
    find_asset,
    parse_partition_option,
    restrict,
    select,
)
from quarn.runner.report.outcome import Outcome
from quarn.runner.report.progress import Progress
from quarn.runner.report.runs import run_record
from quarn.runner.state.words import Status, reasons_text
from quarn.runner.store.history import append_run
from quarn.runner.store.layout import LayoutError, job_path
from quarn.runner.store.lock import LockHeld, acquire, current_command
from quarn.runner.store.manifest import Manifest
from quarn.runner.store.rundir import RunDir
from quarn.runner.text import one_line


def _confirm(count: int, prog: str) -> bool:
    if not (sys.stdin.isatty() and sys.stderr.isatty()):
        return False
    sys.stderr.write(f"{prog}: this plan holds {count:,} jobs. Run them all? [y/N] ")
    sys.stderr.flush()
    try:
        answer = sys.stdin.readline()
    except KeyboardInterrupt:
        return False
    return answer.strip().lower() in ("y", "yes")


def main(argv: list[str] | None = None, prog: str = PROG) -> int:
    """Runs the command; Ctrl-C before or after the jobs run (while discovering, planning,
    printing) ends it with status 130 too. While they run, the scheduler handles it. A fault
    of the runner itself ends it with status 70 and one line saying where, never a
    traceback over the user's output."""
    parser = build_parser(prog)
    words = list(sys.argv[1:] if argv is None else argv)
    args = parser.parse_args(words)
    split_selection(args, parser)
    args.prog = prog
    args.command = [*prog.split(), *words]
    try:
        return _main(args, parser)
    except KeyboardInterrupt:
        sys.stderr.write(f"\n{prog}: interrupted\n")
        return 130
    except Exception as exc:  # noqa: BLE001 - a fault of ours: one line naming its place
        frames = traceback.extract_tb(exc.__traceback__)
        where = f" at {os.path.basename(frames[-1].filename)}:{frames[-1].lineno}" if frames else ""
        text = one_line(f"{type(exc).__name__}: {exc}")
        sys.stderr.write(f"{prog}: internal error{where}: {text}\n")
        return 70


def _main(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    stderr = sys.stderr

    def error(text: str) -> None:
        stderr.write(f"{args.prog}: error: {one_line(text)}\n")
        stderr.flush()

    if args.scheduler is not None and args.executor == "local":
        parser.error("--scheduler names a Dask scheduler; it needs --executor dask")
    if args.scheduler is not None:
        args.executor = "dask"
    if args.executor == "dask":
        try:
            require_distributed()
        except ClusterError as exc:
            error(str(exc))
            return 1
        try:
            if args.scheduler is not None:
                args.scheduler = scheduler_address(args.scheduler)
        except ClusterError as exc:
            error(str(exc))
            return 2

    if args.executor == "dask" and args.isolation == "none":
        parser.error("--isolation none runs the jobs inside this process, not on Dask")
    # On Dask the workers fork the jobs from templates of their own (or spawn them, where
    # they cannot fork): here, discovery alone runs, in a process of its own.
    isolation = "spawn" if args.executor == "dask" else args.isolation or default_isolation()
    try:
        found = resolve(args.modules, args.path, args.base)
    except ModuleError as exc:
        error(str(exc))
        return 1
    paths = [os.path.abspath(p) for p in [*args.path, *found.paths]]
    try:
        discovered = discover(
            found.modules, paths, stderr, isolation=isolation, timeout=args.discovery_timeout
        )
    except DiscoveryError as exc:
        stderr.write(exc.text(args.prog))
        return 1
    try:
        return _plan(args, discovered, paths, error)
    finally:
        discovered.close()


def _plan(
    args: argparse.Namespace, discovered: Discovery, paths: list[str], error: Callable[[str], None]
) -> int:
    """Checks and plans the discovered graph, then runs it under the output's lock."""
    stderr = sys.stderr
    try:
        graph = discovered.graph()
    except DiscoveryError as exc:
        stderr.write(exc.text(args.prog))
        return 1
    if graph.diagnostics:
        for diagnostic in graph.diagnostics:
            stderr.write(f"{one_line(str(diagnostic))}\n")
        count = len(graph.diagnostics)
        error(f"{count} problem{'' if count == 1 else 's'} in the asset graph; nothing was run")
        return 1
    if not graph.assets:
        error(f"no assets found in {', '.join(args.modules)}")
        return 1
    try:
        assets = select(graph, args.select)
        kept = restrict(assets, [parse_partition_option(t) for t in args.partition])
        args.forced = _forced(args, graph, assets)
    except PlanError as exc:
        error(str(exc))
        return 2
    count = count_jobs(assets, kept)
    if count > CONFIRM_ABOVE_JOBS and not args.yes:
        if args.check_only:
            print(f"ok: {len(assets)} assets, {count} jobs (pass --yes to plan them)")
            return 0
        if not _confirm(count, args.prog):
            error(
                f"the plan holds {count:,} jobs, more than {CONFIRM_ABOVE_JOBS:,}; "
                "pass --yes to run them"
            )
            return 2
    out = args.out
    args.roots = code_roots(assets, paths, args.root)
    code = code_versions(assets, args.roots)
    if args.check_only:
        planned = _decide(args, assets, kept, code, error)
        if planned is None:
            return 1
        manifest, prepared = planned
        where = os.path.abspath(args.out)
        if args.json:
            document = dry_run_json(prepared, len(assets), count, manifest, where)
            sys.stdout.write(document + "\n")
        else:
            sys.stdout.write(dry_run(prepared, len(assets), count, args.why, where))
            _report_orphans(prepared.orphans, manifest, False)
        return 0

    def waiting(holder: str) -> None:
        stderr.write(f"{args.prog}: waiting for {one_line(out)}, in use by {one_line(holder)}\n")
        stderr.flush()

    try:
        lock = acquire(out, current_command(), args.wait, waiting)
    except LockHeld as exc:
        error(f"{exc}; pass --wait to wait for it")
        return 2
    except (OSError, LayoutError) as exc:
        error(f"cannot lock {out}: {exc}")
        return 1
    try:
        return _execute(args, assets, kept, code, paths, discovered, error)
    finally:
        lock.release()


def _decide(
    args: argparse.Namespace,
    assets: list[Asset],
    kept: dict[str, set[str]],
    code: dict[Asset, CodeVersion],
    error: Callable[[str], None],
) -> tuple[Manifest, Prepared] | None:
    """What is current and what runs, from the manifest; None (after saying why) when two
    jobs would share a folder."""
    manifest, warning = Manifest.load(args.out)
    if warning:
        sys.stderr.write(f"{args.prog}: warning: {one_line(warning)}\n")
    prepared = prepare(assets, kept, code, manifest, args.forced)
    if _clash(prepared, args.out, error):
        return None
    if args.why and not args.check_only:
        _explain(prepared)
    return manifest, prepared


def _execute(
    args: argparse.Namespace,
    assets: list[Asset],
    kept: dict[str, set[str]],
    code: dict[Asset, CodeVersion],
    paths: list[str],
    discovered: Discovery,
    error: Callable[[str], None],
) -> int:
    """Decides and runs the jobs while holding the output directory's lock, and records
    the run in the history."""
    stderr = sys.stderr
    out = args.out
    planned = _decide(args, assets, kept, code, error)
    if planned is None:
        return 1
    manifest, prepared = planned
    to_run = prepared.to_run
    started = time.monotonic()
    started_at = time.time()
    progress = Progress(stderr, verbose=args.verbose, quiet=args.quiet, table=sys.stdout)
    backend: Backend
    slots = args.jobs or os.cpu_count() or 1
    if args.executor != "dask" or not to_run:
        backend = discovered.backend(progress.message)
    else:
        from quarn.runner.executors.dask.backend import open_backend

        try:
            modules = {j.asset.module for j in to_run}
            dask_backend = open_backend(
                args.scheduler, args.jobs, out, paths, modules, stderr,
                isolation=args.isolation or "fork", note=progress.message,
            )  # fmt: skip
        except ClusterError as exc:
            first, *details = str(exc).splitlines()
            error(first)
            for line in details:  # one problem a line, each worker named
                stderr.write(f"  {one_line(line)}\n")
            return 1
        backend, slots = dask_backend, args.jobs or dask_backend.slots
    try:
        if prepared.orphans and args.prune:
            prune(prepared.orphans, out)
            manifest.forget(prepared.orphans)
        mark_running(prepared, manifest)
        if manifest.roots != args.roots:
            manifest.roots = args.roots
            manifest.dirty = True
        if manifest.dirty or not os.path.exists(manifest.path):
            manifest.save()
    except OSError as exc:
        backend.close()
        error(f"cannot write to {out}: {exc}")
        return 1
    _report_orphans(prepared.orphans, manifest, args.prune)
    rundir = RunDir(out)
    try:
        rundir.create()
    except (OSError, LayoutError) as exc:
        backend.close()
        error(f"cannot prepare {rundir.path}: {exc}")
        return 1
    if discovered.note and to_run and not args.quiet:
        stderr.write(f"quarn: note: {one_line(discovered.note)}\n")
    progress.start(to_run, prepared.up_to_date, os.path.abspath(out))
    executor = Executor(
        to_run,
        out,
        slots,
        manifest,
        progress,
        paths,
        backend,
        rundir,
        Limits(args.timeout, args.retries),
        prepared.plan,
    )
    try:
        execution = executor.run()
    finally:
        rundir.remove()
    progress.close()
    cut_off = sum(1 for o in execution.outcomes if o.status == Status.UP_TO_DATE)
    outcomes = [o for o in execution.outcomes if o.status != Status.UP_TO_DATE]
    outcomes += _waiting(prepared)
    sys.stdout.write(
        progress.summary(
            outcomes,
            prepared.up_to_date + cut_off,
            time.monotonic() - started,
            bool(execution.interrupted),
        )
    )
    sys.stdout.flush()
    if args.stats:
        stderr.write(executor.stats.text() + "\n")
    status = _status(execution, error)
    record = run_record(
        args.command,
        started_at,
        time.time(),
        assets,
        [j for j in prepared.jobs if j.requested],
        [*execution.outcomes, *_waiting(prepared)],
        progress.started_at,
        out,
    )
    try:
        append_run(out, record, status)
    except OSError as exc:
        error(f"cannot record the run in the history: {exc}")
    return status


def _status(execution: Execution, error: Callable[[str], None]) -> int:
    if execution.interrupted:
        return 128 + execution.interrupted
    if execution.manifest_error:
        error(
            f"the manifest could not be saved ({execution.manifest_error}); "
            "the next run repeats this run's jobs"
        )
        return 1
    if any(o.status not in (Status.SUCCEEDED, Status.UP_TO_DATE) for o in execution.outcomes):
        return 1
    return 0


def _clash(prepared: Prepared, out: str, error: Callable[[str], None]) -> bool:
    """Two jobs with one folder: the graph checks make it impossible; never trust that."""
    clashes = folder_clashes(prepared.jobs)
    for one, other in clashes:
        error(
            f"jobs {one.display} and {other.display} would share the "
            f"folder {job_path(out, one.id)}; rename one of the assets"
        )
    return bool(clashes)


def _forced(args: argparse.Namespace, graph: Graph, assets: list[Asset]) -> list[Asset]:
    """--force: the named assets alone (every planned one without --select);
    --force-all: the named assets and everything upstream of them."""
    if args.force_all or (args.force and not args.select):
        return assets
    if args.force:
        return [find_asset(graph, name) for name in args.select]
    return []


def _explain(prepared: Prepared) -> None:
    """One line per job that is not up to date: runs (and why), pending, or waiting."""
    for job in [*prepared.to_run, *prepared.waiting]:
        sys.stderr.write(one_line(f"quarn: why: {_listed(prepared, job, True)}") + "\n")
    sys.stderr.flush()


def _listed(prepared: Prepared, job: Job, why: bool) -> str:
    """`doubled: run: the value of source changed`; without `why`, the job and its action."""
    found = prepared.plan.assessments[job]
    text = f"{job.display}: {found.action}"
    return f"{text}: {reasons_text(found.reasons, shown=len(found.reasons))}" if why else text


def dry_run(prepared: Prepared, assets: int, jobs: int, why: bool, where: str) -> str:
    """What `--check-only` prints: each job the run would start or that waits, one line
    each (with its reasons when `why`), then the totals and the output directory."""
    lines = [one_line(_listed(prepared, j, why)) for j in [*prepared.to_run, *prepared.waiting]]
    lines.append(f"ok: {assets} assets, {jobs} jobs, {len(prepared.to_run)} to run in {where}")
    return "\n".join(lines) + "\n"


def dry_run_json(prepared: Prepared, assets: int, jobs: int, manifest: Manifest, where: str) -> str:
    """The dry run as one JSON document, for scripts."""
    listed = []
    for job in [*prepared.to_run, *prepared.waiting]:
        found = prepared.plan.assessments[job]
        listed.append(
            {
                "job": job.display,
                "asset": job.asset.display,
                "partition": job.key,
                "action": str(found.action),
                "state": str(found.state),
                "reasons": [r.text for r in found.reasons],
            }
        )
    document = {
        "out": where,
        "assets": assets,
        "jobs": jobs,
        "to_run": len(prepared.to_run),
        "up_to_date": prepared.up_to_date,
        "listed": listed,
        "orphaned": [label(i, manifest.jobs.get(i)) for i in prepared.orphans],
    }
    return json.dumps(document, ensure_ascii=False)


def _waiting(prepared: Prepared) -> list[Outcome]:
    """Jobs that may not run: they consume partitions outside the run that are stale."""
    assessments = prepared.plan.assessments
    return [
        Outcome(j, Status.WAITING, None, reasons_text(assessments[j].reasons[-1:]))
        for j in prepared.waiting
    ]


def _report_orphans(orphans: list[str], manifest: Manifest, pruned: bool) -> None:
    if not orphans:
        return
    shown = ", ".join(label(i, manifest.jobs.get(i)) for i in orphans[:5])
    more = f" and {len(orphans) - 5} more" if len(orphans) > 5 else ""
    count = f"{len(orphans)} job{'' if len(orphans) == 1 else 's'}"
    if pruned:
        text = f"quarn: pruned {count} of keys no longer declared: {shown}{more}"
    else:
        text = (
            f"quarn: orphaned: {count} of keys no longer declared: {shown}{more} "
            "(their folders stay; --prune deletes them)"
        )
    sys.stderr.write(one_line(text) + "\n")
