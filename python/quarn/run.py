"""`python -m quarn.run`: discover, check, plan and materialize the assets of some modules."""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import time
from typing import Any, TextIO

from quarn._execute import Executor, default_worker_command
from quarn._graph import Graph, build_graph
from quarn._manifest import Manifest
from quarn._plan import (
    CONFIRM_ABOVE_JOBS,
    PlanError,
    build_jobs,
    count_jobs,
    parse_partition_option,
    restrict,
    select,
    stale_jobs,
)
from quarn._report import SUCCEEDED, Progress, summary

_PROG = "python -m quarn.run"
_SKIP_LINE = re.compile(r"^quarn: skipping module '(.*?)': ", re.MULTILINE)


class DiscoveryError(Exception):
    """Discovery did not produce a usable inspection document."""


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=_PROG,
        description=(
            "Discover the assets of MODULEs, check their graph, and materialize every asset "
            "(one job per partition key combination) in worker processes, upstream first. "
            "Jobs whose code, declaration, partition key and upstream versions are unchanged "
            "since their last success are not run again."
        ),
        epilog=(
            "Exit status: 0 when every job succeeded (or was up to date), 1 on a graph error "
            "or a failed job, 2 on a usage error, 128 + the signal number when interrupted "
            "(130 for Ctrl-C). "
            "Each job writes DIR/<asset>/<partition>/value.json and result.json; "
            "DIR/manifest.json records the version of each successful job."
        ),
    )
    parser.add_argument("modules", nargs="+", metavar="MODULE", help="module to discover")
    parser.add_argument(
        "--out", default="out", metavar="DIR", help="output directory (default: %(default)s)"
    )
    parser.add_argument(
        "--jobs",
        type=_positive,
        default=os.cpu_count() or 1,
        metavar="N",
        help="worker processes at once (default: the number of CPUs, %(default)s)",
    )
    parser.add_argument(
        "--select",
        nargs="+",
        action="extend",
        default=[],
        metavar="ASSET",
        help="run only these assets (name or file:function) and their upstreams",
    )
    parser.add_argument(
        "--partition",
        action="append",
        default=[],
        metavar="DIM=KEY",
        help="run only key KEY of dimension DIM (KEY read as JSON when it "
        "parses, else as a string); repeat to keep several keys",
    )
    parser.add_argument(
        "--force", action="store_true", help="run every planned job, even those up to date"
    )
    parser.add_argument(
        "--check-only",
        action="store_true",
        help="check the graph and report the plan without running anything",
    )
    parser.add_argument(
        "--yes",
        action="store_true",
        help=f"run a plan of more than {CONFIRM_ABOVE_JOBS:,} jobs without asking",
    )
    parser.add_argument(
        "--path",
        action="append",
        default=[],
        metavar="DIR",
        help="directory to put first on the module search path (repeatable)",
    )
    parser.add_argument("--stats", action="store_true", help="print how busy the worker slots were")
    return parser


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: '{text}'") from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def discover(modules: list[str], paths: list[str], stderr: TextIO) -> tuple[Any, list[str]]:
    """Runs `python -m quarn.inspect` and returns the document and the modules it skipped.

    Its standard error is passed on. The document is its last line of output: anything a
    user module printed while being imported comes before it and is passed on to stderr.
    """
    command = [sys.executable, "-m", "quarn.inspect"]
    for path in paths:
        command += ["--path", path]
    command += modules
    try:
        done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True)
    except OSError as exc:
        raise DiscoveryError(f"cannot start discovery: {exc}") from None
    errors = done.stderr.decode("utf-8", "replace")
    lines = done.stdout.decode("utf-8", "surrogateescape").splitlines()
    while lines and not lines[-1].strip():
        lines.pop()
    printed = "".join(line + "\n" for line in lines[:-1])
    if printed or errors:
        stderr.write(printed + errors)
        stderr.flush()
    if done.returncode != 0:
        raise DiscoveryError(f"discovery failed with exit status {done.returncode}")
    try:
        document = json.loads(lines[-1]) if lines else None
    except ValueError:
        document = None
    if not isinstance(document, dict):
        raise DiscoveryError("discovery printed no inspection document")
    return document, _SKIP_LINE.findall(errors)


def _load_graph(modules: list[str], paths: list[str], stderr: TextIO) -> Graph:
    document, skipped = discover(modules, paths, stderr)
    if skipped:
        names = ", ".join(f"'{m}'" for m in skipped)
        raise DiscoveryError(f"could not import {names}")
    try:
        return build_graph(document)
    except ValueError as exc:
        raise DiscoveryError(str(exc)) from None


def check_modules(modules: list[str], paths: list[str], stdout: TextIO | None = None) -> int:
    """`python -m quarn.inspect --check MODULE...`: prints the graph's diagnostics, one per
    line, on standard output; exit status 1 when there is any or a module cannot be imported.

    Discovery runs in a subprocess, as for a run, so that the check sees exactly what a run
    would see.
    """
    stdout = stdout or sys.stdout
    try:
        graph = _load_graph(modules, [os.path.abspath(p) for p in paths], sys.stderr)
    except DiscoveryError as exc:
        sys.stderr.write(f"quarn: error: {exc}\n")
        return 1
    for diagnostic in graph.diagnostics:
        stdout.write(f"{diagnostic}\n")
    stdout.flush()
    return 1 if graph.diagnostics else 0


def _confirm(count: int) -> bool:
    if not (sys.stdin.isatty() and sys.stderr.isatty()):
        return False
    sys.stderr.write(f"{_PROG}: this plan holds {count:,} jobs. Run them all? [y/N] ")
    sys.stderr.flush()
    try:
        answer = sys.stdin.readline()
    except KeyboardInterrupt:
        return False
    return answer.strip().lower() in ("y", "yes")


def main(argv: list[str] | None = None) -> int:
    """Runs the command; Ctrl-C before or after the jobs run (while discovering, planning,
    printing) ends it with status 130 too. While they run, the scheduler handles it."""
    try:
        return _main(argv)
    except KeyboardInterrupt:
        sys.stderr.write(f"\n{_PROG}: interrupted\n")
        return 130


def _main(argv: list[str] | None) -> int:
    args = _parser().parse_args(argv)
    stderr = sys.stderr

    def error(text: str) -> None:
        stderr.write(f"{_PROG}: error: {text}\n")
        stderr.flush()

    paths = [os.path.abspath(p) for p in args.path]
    try:
        graph = _load_graph(args.modules, paths, stderr)
    except DiscoveryError as exc:
        error(str(exc))
        return 1
    if graph.diagnostics:
        for diagnostic in graph.diagnostics:
            stderr.write(f"{diagnostic}\n")
        count = len(graph.diagnostics)
        error(f"{count} problem{'' if count == 1 else 's'} in the asset graph; nothing was run")
        return 1
    if not graph.assets:
        error(f"no assets found in {', '.join(args.modules)}")
        return 1
    try:
        assets = select(graph, args.select)
        kept = restrict(assets, [parse_partition_option(t) for t in args.partition])
    except PlanError as exc:
        error(str(exc))
        return 2
    count = count_jobs(assets, kept)
    if count > CONFIRM_ABOVE_JOBS and not args.yes:
        if args.check_only:
            print(f"ok: {len(assets)} assets, {count} jobs (pass --yes to plan them)")
            return 0
        if not _confirm(count):
            error(
                f"the plan holds {count:,} jobs, more than {CONFIRM_ABOVE_JOBS:,}; "
                "pass --yes to run them"
            )
            return 2
    out = args.out
    jobs = build_jobs(assets, kept)
    manifest, warning = Manifest.load(out)
    if warning:
        stderr.write(f"{_PROG}: warning: {warning}\n")
    to_run = stale_jobs(jobs, manifest.versions(), out, args.force)
    if args.check_only:
        print(f"ok: {len(assets)} assets, {len(jobs)} jobs, {len(to_run)} to run")
        return 0

    started = time.monotonic()
    progress = Progress(stderr)
    try:
        # A job about to run loses its record first: should the run stop half way, the
        # manifest never vouches for files that a worker may have begun to overwrite.
        manifest.forget([j.id for j in to_run])
        if manifest.dirty or not os.path.exists(manifest.path):
            manifest.save()
    except OSError as exc:
        error(f"cannot write to {out}: {exc}")
        return 1
    progress.start(len(to_run), len(jobs) - len(to_run))
    executor = Executor(to_run, out, args.jobs, manifest, progress, default_worker_command(), paths)
    execution = executor.run()
    progress.close()
    sys.stdout.write(
        summary(
            execution.outcomes,
            len(jobs) - len(to_run),
            time.monotonic() - started,
            bool(execution.interrupted),
        )
    )
    sys.stdout.flush()
    if args.stats:
        stderr.write(executor.stats.text() + "\n")
    if execution.interrupted:
        return 128 + execution.interrupted
    if execution.manifest_error:
        error(
            f"the manifest could not be saved ({execution.manifest_error}); "
            "the next run repeats this run's jobs"
        )
        return 1
    if any(o.status != SUCCEEDED for o in execution.outcomes):
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
