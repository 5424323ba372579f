"""`python -m quarn.run`: discover, check, plan and materialize the assets of some modules.

The run itself is `quarn.materialize`'s; here are its command line, what it prints and
its exit statuses.
"""

from __future__ import annotations

import argparse
import os
import sys
import traceback

from quarn.runner.api.echo import Echo
from quarn.runner.api.errors import GraphError, OutputInUseError, RunError, UsageError
from quarn.runner.api.flow import run
from quarn.runner.api.options import RunOptions
from quarn.runner.commands.run_options import PROG, build_parser, split_selection
from quarn.runner.plan.params import parse_set_option
from quarn.runner.plan.select import CONFIRM_ABOVE_JOBS, PlanError, parse_partition_option
from quarn.runner.text import one_line

__all__ = ["build_parser", "main", "split_selection"]


def main(argv: list[str] | None = None, prog: str = PROG) -> int:
    """Runs the command; Ctrl-C before or after the jobs run (while discovering, planning,
    printing) ends it with status 130 too. While they run, the scheduler handles it. A fault
    of the runner itself ends it with status 70 and one line saying where, never a
    traceback over the user's output."""
    parser = build_parser(prog)
    words = list(sys.argv[1:] if argv is None else argv)
    args = parser.parse_args(words)
    split_selection(args, parser)
    try:
        partition = tuple(parse_partition_option(t) for t in args.partition)
        given = dict(parse_set_option(t) for t in args.set)
    except PlanError as exc:
        parser.exit(2, f"{prog}: error: {one_line(str(exc))}\n")
    options = RunOptions(
        modules=tuple(args.modules),
        out=args.out,
        paths=tuple(args.path),
        base=args.base,
        root=args.root,
        select=tuple(args.select),
        partition=partition,
        force=args.force,
        force_all=args.force_all,
        jobs=args.jobs,
        executor=args.executor,
        scheduler=args.scheduler,
        isolation=args.isolation,
        timeout=args.timeout,
        retries=args.retries,
        discovery_timeout=args.discovery_timeout,
        wait=args.wait,
        prune=args.prune,
        check_only=args.check_only,
        params=given,
        configured=args.params,
        given_as="--set {}=...",
        serializer=args.serializer,
        command=(*prog.split(), *words),
    )
    console = _Console(prog, args)
    try:
        return _run(options, console)
    except KeyboardInterrupt:
        sys.stderr.write(f"\n{prog}: interrupted\n")
        return 130
    except Exception as exc:  # noqa: BLE001 - a fault of ours: one line naming its place
        frames = traceback.extract_tb(exc.__traceback__)
        where = f" at {os.path.basename(frames[-1].filename)}:{frames[-1].lineno}" if frames else ""
        text = one_line(f"{type(exc).__name__}: {exc}")
        sys.stderr.write(f"{prog}: internal error{where}: {text}\n")
        return 70


class _Unplanned(Exception):
    """`--check-only` of a plan too large to list without `--yes`."""

    def __init__(self, assets: int, jobs: int) -> None:
        super().__init__()
        self.assets, self.jobs = assets, jobs


class _Console(Echo):
    """Prints as the options ask, and asks before a very large plan runs."""

    def __init__(self, prog: str, args: argparse.Namespace) -> None:
        super().__init__(
            prog,
            verbose=args.verbose,
            quiet=args.quiet,
            why=args.why,
            stats=args.stats,
            as_json=args.json,
        )
        self.yes = args.yes
        self.check_only = args.check_only

    def confirm(self, assets: int, jobs: int) -> bool:
        if self.yes:
            return True
        if self.check_only:
            raise _Unplanned(assets, jobs)
        if _ask(jobs, self.prog):
            return True
        raise UsageError(
            f"the plan holds {jobs:,} jobs, more than {CONFIRM_ABOVE_JOBS:,}; "
            "pass --yes to run them"
        )


def _run(options: RunOptions, console: _Console) -> int:
    try:
        ran = run(options, console)
    except _Unplanned as big:
        print(f"ok: {big.assets} assets, {big.jobs} jobs (pass --yes to plan them)")
        return 0
    except GraphError as exc:
        sys.stderr.write(exc.text(console.prog))
        sys.stderr.flush()
        return exc.status
    except OutputInUseError as exc:
        console.error(f"{exc.message}; pass --wait to wait for it")
        return exc.status
    except RunError as exc:
        console.error(exc.message)
        for line in exc.details:  # one problem a line, each worker named
            sys.stderr.write(f"  {one_line(line)}\n")
        return exc.status
    console.finished(ran)
    return ran.status


def _ask(count: int, prog: str) -> bool:
    if not (sys.stdin.isatty() and sys.stderr.isatty()):
        return False
    sys.stderr.write(f"{prog}: this plan holds {count:,} jobs. Run them all? [y/N] ")
    sys.stderr.flush()
    try:
        answer = sys.stdin.readline()
    except KeyboardInterrupt:
        return False
    return answer.strip().lower() in ("y", "yes")
