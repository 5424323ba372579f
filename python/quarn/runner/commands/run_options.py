"""The command line of a run: its options, their types and how `--select` is read."""

from __future__ import annotations

import argparse
import os
from collections.abc import Callable

from quarn.runner.api.options import DISCOVERY_TIMEOUT_SECONDS, EXECUTORS
from quarn.runner.commands.run import PROG as PROG
from quarn.runner.commands.shared import MODULE_HELP, add_out, add_path, add_project, configure
from quarn.runner.executors.isolation import ISOLATIONS, default_isolation
from quarn.runner.plan.select import CONFIRM_ABOVE_JOBS


def build_parser(prog: str = PROG) -> argparse.ArgumentParser:
    """The run command's parser; `quarn run` is built by the same function, so an option
    added here is an option of both."""
    parser = argparse.ArgumentParser(
        prog=prog,
        description=(
            "Discover the assets of MODULEs, check their graph, and materialize every asset "
            "(one job per partition key combination) in worker processes, upstream first. "
            "A job whose code, declaration, partition key and consumed upstream values are "
            "those of its last success, and whose files are still those it wrote, is not "
            "run again."
        ),
        epilog=(
            "Exit status: 0 when every job succeeded (or was up to date), 1 on a graph error "
            "or a failed job, 2 on a usage error or when another run holds DIR, 128 + the "
            "signal number when interrupted (130 for Ctrl-C, 129 for SIGHUP), 70 on a fault "
            "of the runner itself. "
            "Each job writes DIR/<asset>/<partition>/value.json and result.json; "
            "DIR/manifest.json records each job's version, status and value digest."
        ),
    )
    parser.add_argument("modules", nargs="*", metavar="MODULE", help=MODULE_HELP)
    add_out(parser)
    parser.add_argument(
        "--jobs",
        type=_at_least(1),
        metavar="N",
        help=f"jobs at once (default: the number of CPUs, {os.cpu_count() or 1}; with "
        "--executor dask, the worker threads of the cluster)",
    )
    parser.add_argument(
        "--executor",
        choices=EXECUTORS,
        help="where jobs run: 'local' processes (the default), or the workers of a Dask "
        "cluster, which must see DIR at the same path (see docs/cluster.md)",
    )
    parser.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="the Dask scheduler to run on: its address (tcp://host:8786) or its scheduler "
        "file (implies --executor dask); "
        "without it, --executor dask starts a local cluster of 2 workers for the run",
    )
    parser.add_argument(
        "--select",
        nargs="+",
        action="append",
        default=[],
        metavar="ASSET",
        help="run only these assets and their upstreams; an asset is named by its name, "
        "module:function or file:function, several at once by a comma list. Before the "
        "modules, --select takes one word: `--select a,b pkg`",
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
        "--set",
        action="append",
        default=[],
        metavar="NAME=VALUE",
        help="give the run parameter NAME (a function parameter that is neither an input nor "
        "a partition dimension) the value VALUE, read as JSON when it parses, else as a "
        "string; overrides the project file's [tool.quarn.params]; repeatable",
    )
    parser.add_argument(
        "--force",
        action="store_true",
        help="run the jobs of the --select assets even when up to date (without --select: "
        "every planned job); their upstreams run only when they are not current",
    )
    parser.add_argument(
        "--force-all",
        action="store_true",
        help="run the --select assets and everything upstream of them, even when up to date",
    )
    parser.add_argument(
        "--check-only",
        action="store_true",
        help="check the graph and list the jobs a run would start (with --why, each with "
        "its reasons), then the totals; run nothing",
    )
    parser.add_argument(
        "--json",
        action="store_true",
        help="with --check-only: print the plan as one JSON document",
    )
    parser.add_argument(
        "--yes",
        action="store_true",
        help=f"run a plan of more than {CONFIRM_ABOVE_JOBS:,} jobs without asking",
    )
    add_path(parser)
    add_project(parser)
    parser.add_argument(
        "--timeout",
        type=_seconds,
        metavar="SECONDS",
        help="stop a job that runs longer (SIGTERM, then SIGKILL) and count it as failed",
    )
    parser.add_argument(
        "--retries",
        type=_at_least(0),
        default=0,
        metavar="N",
        help="try a job that failed by an exception, a signal or a timeout up to N more "
        "times, after a short pause (default: %(default)s)",
    )
    parser.add_argument(
        "--discovery-timeout",
        type=_seconds,
        default=DISCOVERY_TIMEOUT_SECONDS,
        metavar="SECONDS",
        help="give up when importing the modules takes longer (default: %(default)g)",
    )
    parser.add_argument(
        "--wait",
        action="store_true",
        help="when another run holds DIR, wait for it to end instead of exiting with status 2",
    )
    parser.add_argument(
        "--isolation",
        choices=ISOLATIONS,
        help="how jobs are kept apart: 'fork' a process per job from a warm template "
        "that imported the modules once (on Dask, one per worker); 'spawn' a fresh "
        "interpreter per job; 'none' run them one after another inside this process, for "
        f"debugging, not on Dask (default: {default_isolation()}; on Dask, fork where the "
        "workers can)",
    )
    parser.add_argument(
        "--why",
        action="store_true",
        help="say why each job that is not up to date runs, is pending or waits (on standard "
        "error while running; in the --check-only listing)",
    )
    parser.add_argument(
        "--prune",
        action="store_true",
        help="delete the folders and records of jobs whose partition keys are no longer "
        "declared (listed as orphaned otherwise)",
    )
    parser.add_argument("--stats", action="store_true", help="print how busy the worker slots were")
    parser.add_argument(
        "-v",
        "--verbose",
        action="store_true",
        help="stream what each job prints while it runs, each line prefixed by the job",
    )
    parser.add_argument(
        "-q",
        "--quiet",
        action="store_true",
        help="print only the summary table and errors: no progress line, no row as each job ends",
    )
    return parser


def split_selection(args: argparse.Namespace, parser: argparse.ArgumentParser) -> None:
    """Sets `args.select` to a flat list of names and completes `args.modules`, from the
    project file when the command line names none.

    `--select` takes every word after it, as it always has; but when no module came before
    it, the words after its first one are the modules (`--select report penguins`).
    """
    groups: list[list[str]] = args.select
    if not args.modules and groups and len(groups[-1]) > 1:
        args.modules = groups[-1][1:]
        groups[-1] = groups[-1][:1]
    configure(args, parser)
    args.select = [name for group in groups for word in group for name in word.split(",") if name]


def _at_least(minimum: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: '{text}'") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}")
        return value

    return parse


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: '{text}'") from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError("must be a positive number of seconds")
    return value
