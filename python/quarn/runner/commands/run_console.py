"""What `quarn run` does when it has to plan: its command line read, the run, and what it
prints and exits with."""

from __future__ import annotations

import argparse
import sys

from quarn.runner.api.echo import Echo
from quarn.runner.api.errors import GraphError, OutputInUseError, RunError, UsageError
from quarn.runner.api.flow import run
from quarn.runner.api.options import RunOptions
from quarn.runner.commands import remembered
from quarn.runner.commands.run_options import build_parser, split_selection
from quarn.runner.inputs import Inputs
from quarn.runner.plan.params import parse_set_option
from quarn.runner.plan.select import CONFIRM_ABOVE_JOBS, PlanError, parse_partition_option
from quarn.runner.text import one_line


def planned_run(words: list[str], prog: str, project: Inputs) -> int:
    """The command as it plans, runs and prints (see `run.main`, which handles Ctrl-C and
    faults); `project`: the project files above the current folder, stat'ed before the
    command line was read."""
    parser = build_parser(prog)
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
    if options.root is not None:  # the project's files, as read just now (--project)
        project = Inputs().add(project).add(remembered.project_files(options.root))
    return _run(options, console, words, project)


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


def _run(options: RunOptions, console: _Console, words: list[str], project: Inputs) -> int:
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
    remembered.remember(console.prog, words, ran, console.answered, console.stats, project)
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
