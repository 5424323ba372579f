"""What the subcommands share: the MODULE, --path and --project arguments, the project
file's settings, the checked graph, errors."""

from __future__ import annotations

import argparse
import difflib
import os
import sys
from collections.abc import Callable, Sequence

from quarn.runner.commands.modules import ModuleError, resolve
from quarn.runner.config import PROJECT_FILE, TABLE, ConfigError, Settings, load_settings
from quarn.runner.contract import MANIFEST_FILE, RunRecord
from quarn.runner.executors.discovery import DiscoveryError, discover
from quarn.runner.graph.model import Graph
from quarn.runner.store.history import load_runs

MODULE_HELP = (
    "module, package (all its submodules), file (pipelines/sales.py) or folder; "
    f"default: the modules named in the project's {PROJECT_FILE} {TABLE}"
)


# The output directory without --out and without a project file that names one: `out` in
# the current directory, or in the project root when there is a project file.
DEFAULT_OUT = "out"


class CommandError(Exception):
    """Ends a command with a one-line message and an exit status (1, or 2 for usage)."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


def parser(prog: str, description: str, epilog: str | None = None) -> argparse.ArgumentParser:
    return argparse.ArgumentParser(prog=prog, description=description, epilog=epilog)


def add_modules(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("modules", nargs="*", metavar="MODULE", help=MODULE_HELP)
    add_path(parser)
    add_project(parser)


def add_project(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--project",
        metavar="DIR",
        help=f"the project: the folder whose {PROJECT_FILE} {TABLE} table sets the defaults "
        "of the options (default: the nearest such file at or above the current directory)",
    )


def add_out(parser: argparse.ArgumentParser, *positional: str) -> None:
    """The output directory: `--out DIR`, or with `positional` a DIR argument."""
    help = f"output directory (default: the project's, else {DEFAULT_OUT})"
    if positional:
        parser.add_argument("out", nargs="?", metavar="DIR", help=help)
    else:
        parser.add_argument("--out", metavar="DIR", help=help)


def parse(
    parser: argparse.ArgumentParser,
    argv: Sequence[str] | None,
    out_default: str | None = None,
    need_modules: bool = True,
) -> argparse.Namespace:
    """The command line completed by the project file (see `configure`)."""
    args = parser.parse_args(argv)
    configure(args, parser, out_default, need_modules)
    return args


def configure(
    args: argparse.Namespace,
    parser: argparse.ArgumentParser,
    out_default: str | None = DEFAULT_OUT,
    need_modules: bool = True,
) -> Settings:
    """Completes `args` with what the project file sets and the command line left out (an
    option given overrides the file; `--path` folders come before the file's `paths`).

    Sets `args.root` (the project root, or None) and `args.base`, the folder the module
    words are relative to: the root for the file's words, the current directory for those
    typed. Exits with status 2 on a project file that cannot be used, or when no MODULE is
    named by either."""
    try:
        settings = load_settings(getattr(args, "project", None), os.getcwd())
    except ConfigError as exc:
        parser.exit(2, f"{parser.prog}: error: {exc}\n")
    args.root = settings.root
    args.base = os.getcwd()
    if hasattr(args, "modules") and not args.modules and settings.modules:
        args.modules, args.base = list(settings.modules), settings.root
    if hasattr(args, "path"):
        args.path = [*args.path, *settings.paths, *([settings.root] if settings.root else [])]
    choices = {a.dest: a.choices for a in parser._actions if a.choices is not None}

    def take(dest: str, value: object) -> None:
        if value is None or not hasattr(args, dest) or getattr(args, dest) is not None:
            return
        allowed = choices.get(dest)
        if allowed is not None and value not in allowed:
            close = difflib.get_close_matches(str(value), [str(c) for c in allowed], n=1)
            hint = f"; did you mean '{close[0]}'?" if close else ""
            known = ", ".join(str(c) for c in allowed)
            parser.exit(
                2,
                f"{parser.prog}: error: {settings.file}: {TABLE} {dest}: '{value}' is not "
                f"one of {known}{hint}\n",
            )
        setattr(args, dest, value)

    # Where the jobs run is the command line's when it says anything about it.
    if all(getattr(args, o, None) is None for o in ("executor", "scheduler", "isolation")):
        take("executor", settings.executor)
    if getattr(args, "executor", None) != "local":  # a scheduler is a Dask setting
        take("scheduler", settings.scheduler)
    dask = getattr(args, "executor", None) == "dask" or getattr(args, "scheduler", None)
    if not dask or settings.isolation != "none":  # none runs the jobs here, never on Dask
        take("isolation", settings.isolation)
    take("jobs", settings.jobs)
    if settings.out is None and settings.root is not None and out_default is not None:
        take("out", os.path.join(settings.root, out_default))  # the project's, not the cwd's
    take("out", settings.out or out_default)
    if need_modules and hasattr(args, "modules") and not args.modules:
        parser.error(
            "the following arguments are required: MODULE (or a modules list in the "
            f"{TABLE} table of {PROJECT_FILE})"
        )
    return settings


def add_path(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--path",
        action="append",
        default=[],
        metavar="DIR",
        help="directory to put first on the module search path (repeatable)",
    )


def load(
    modules: Sequence[str], paths: Sequence[str], *, checked: bool = True, base: str | None = None
) -> tuple[Graph, list[str]]:
    """The graph of the named modules (relative to `base`) and the folders they are imported
    from; with `checked`, a graph with problems is an error after its diagnostics are
    printed. Raises DiscoveryError, which `run_command` prints."""
    try:
        found = resolve(modules, paths, base)
    except ModuleError as exc:
        raise CommandError(str(exc)) from None
    search = [os.path.abspath(p) for p in [*paths, *found.paths]]
    graph = discover(found.modules, search, sys.stderr).graph()
    if checked and graph.diagnostics:
        for diagnostic in graph.diagnostics:
            sys.stderr.write(f"{diagnostic}\n")
        count = len(graph.diagnostics)
        raise CommandError(f"{count} problem{'' if count == 1 else 's'} in the asset graph")
    if not graph.assets:
        raise CommandError(f"no assets found in {', '.join(modules)}")
    return graph, search


def run_command(prog: str, body: Callable[[], int]) -> int:
    """Runs a command body: its errors become `prog: error: ...` and their exit status."""
    try:
        return body()
    except CommandError as exc:
        sys.stderr.write(f"{prog}: error: {exc}\n")
        return exc.status
    except DiscoveryError as exc:
        sys.stderr.write(exc.text(prog))
        return 1
    except KeyboardInterrupt:
        sys.stderr.write(f"\n{prog}: interrupted\n")
        return 130
    except BrokenPipeError:  # `quarn history out | head`: the reader has seen enough
        # Python would report the pipe again when it flushes standard output at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0


def table(header: Sequence[str], rows: Sequence[Sequence[str]]) -> str:
    """Columns padded to their widest cell, two spaces apart; the last one is not padded."""
    if not rows:
        return ""
    all_rows = [list(header), *(list(r) for r in rows)]
    widths = [max(len(r[i]) for r in all_rows) for i in range(len(header) - 1)]
    lines = []
    for row in all_rows:
        cells = [row[i].ljust(widths[i]) for i in range(len(header) - 1)] + [row[-1]]
        lines.append("  ".join(cells).rstrip())
    return "\n".join(lines) + "\n"


def recorded_runs(out: str, prog: str, hint: str = "") -> list[RunRecord]:
    """The runs recorded in `out`, oldest first, after printing what could not be read;
    a CommandError when there is none."""
    runs, warnings = load_runs(out)
    for warning in warnings:
        sys.stderr.write(f"{prog}: warning: {warning}\n")
    if not runs:
        raise CommandError(f"no runs recorded in {os.path.abspath(out)}{hint}")
    return runs


def say_where(prog: str, out: str) -> None:
    """Names the output directory whose states a command shows, on standard error, and
    says when no run wrote there: the wrong folder shows at once."""
    where = os.path.abspath(out)
    empty = "" if os.path.isfile(os.path.join(where, MANIFEST_FILE)) else " (no run recorded there)"
    sys.stderr.write(f"{prog}: states in {where}{empty}\n")
    sys.stderr.flush()
