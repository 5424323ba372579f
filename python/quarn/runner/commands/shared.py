"""What the subcommands share: the MODULE, --path and --project arguments, the project
file's settings, the checked graph, errors."""

from __future__ import annotations

import argparse
import difflib
import os
import sys
from collections.abc import Callable, Mapping, Sequence
from typing import Any

from quarn.runner.config import DEFAULT_OUT as DEFAULT_OUT
from quarn.runner.config import (
    PROJECT_FILE,
    TABLE,
    ConfigError,
    Settings,
    load_settings,
    settle,
)
from quarn.runner.contract import MANIFEST_FILE, RunRecord
from quarn.runner.executors.discovery import DiscoveryError, discover
from quarn.runner.graph.model import Graph
from quarn.runner.graph.modules import ModuleError, resolve
from quarn.runner.plan.params import settle_params
from quarn.runner.store.history import load_runs
from quarn.runner.store.paths import LayoutError
from quarn.runner.text import one_line

MODULE_HELP = (
    "module, package (all its submodules), file (pipelines/sales.py) or folder; "
    f"default: the modules named in the project's {PROJECT_FILE} {TABLE}"
)


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
    """Completes `args` with what the project file sets and the command line left out (see
    `settle`), and sets `args.serializer`, the project's default serializer.

    Sets `args.root` (the project root, or None), `args.params` (the values of its
    `[tool.quarn.params]` table) and `args.base`, the folder the module words are relative
    to. Exits with status 2 on a project file that cannot be used, a value outside an
    option's choices, or when no MODULE is named by either."""
    try:
        settings = load_settings(getattr(args, "project", None), os.getcwd())
    except ConfigError as exc:
        parser.exit(2, f"{parser.prog}: error: {exc}\n")
    names = ("modules", "path", "executor", "scheduler", "isolation", "jobs", "out")
    given = {n: getattr(args, n) for n in names if hasattr(args, n)}
    done, taken = settle({**given, "serializer": None}, settings, os.getcwd(), out_default)
    args.params = dict(settings.params)
    choices = {a.dest: a.choices for a in parser._actions if a.choices is not None}
    for name in sorted(taken & set(choices)):
        allowed = choices[name]
        if done[name] not in allowed:
            close = difflib.get_close_matches(str(done[name]), [str(c) for c in allowed], n=1)
            hint = f"; did you mean '{close[0]}'?" if close else ""
            known = ", ".join(str(c) for c in allowed)
            parser.exit(
                2,
                f"{parser.prog}: error: {settings.file}: {TABLE} {name}: '{done[name]}' is not "
                f"one of {known}{hint}\n",
            )
    for name, value in done.items():
        setattr(args, name, value)
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


def load_for(args: argparse.Namespace, *, checked: bool = True) -> tuple[Graph, list[str]]:
    """`load` of the modules a command line names, as `configure` completed it."""
    return load(
        args.modules,
        args.path,
        checked=checked,
        base=getattr(args, "base", None),
        serializer=getattr(args, "serializer", None),
        params=getattr(args, "params", None),
    )


def load(
    modules: Sequence[str],
    paths: Sequence[str],
    *,
    checked: bool = True,
    base: str | None = None,
    serializer: str | None = None,
    params: Mapping[str, Any] | None = None,
) -> tuple[Graph, list[str]]:
    """The graph of the named modules (relative to `base`; `serializer` is the project's
    default) and the folders they are imported from; with `checked`, a graph with problems
    is an error after its diagnostics are printed. `params`, the project file's parameter
    values, settle the parameters they give a value (a name no asset has is a warning).
    Raises DiscoveryError, which
    `run_command` prints."""
    try:
        found = resolve(modules, paths, base)
    except ModuleError as exc:
        raise CommandError(str(exc)) from None
    search = [os.path.abspath(p) for p in [*paths, *found.paths]]
    graph = discover(found.modules, search, sys.stderr).graph(serializer)
    settled = settle_params(graph, {}, params)
    for warning in settled.warnings:
        sys.stderr.write(f"quarn: warning: {one_line(warning)}\n")
    graph.diagnostics = settled.diagnostics
    if checked and graph.diagnostics:
        for diagnostic in graph.diagnostics:
            sys.stderr.write(f"{one_line(str(diagnostic))}\n")
        count = len(graph.diagnostics)
        raise CommandError(f"{count} problem{'' if count == 1 else 's'} in the asset graph")
    if not graph.assets:
        raise CommandError(f"no assets found in {', '.join(modules)}")
    return graph, search


def params_of(graph: Graph, args: argparse.Namespace) -> dict[str, Any]:
    """The values the project file gives the graph's parameters: what a run without --set
    gives them, so a view judges the jobs as that run would."""
    return settle_params(graph, {}, getattr(args, "params", None)).values


def run_command(prog: str, body: Callable[[], int]) -> int:
    """Runs a command body: its errors become `prog: error: ...` and their exit status; a
    link where quarn keeps its own files in an output directory is a usage error."""
    try:
        return body()
    except CommandError as exc:
        sys.stderr.write(f"{prog}: error: {one_line(str(exc))}\n")
        return exc.status
    except LayoutError as exc:
        sys.stderr.write(f"{prog}: error: {one_line(str(exc))}\n")
        return 2
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
    """Columns padded to their widest cell, two spaces apart; the last one is not padded.
    Cells come from user code and records: their control characters are escaped."""
    if not rows:
        return ""
    all_rows = [list(header), *([one_line(c) for c in r] for r in rows)]
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
        warner(prog)(warning)
    if not runs:
        raise CommandError(f"no runs recorded in {os.path.abspath(out)}{hint}")
    return runs


def warner(prog: str) -> Callable[[str], None]:
    """Writes `prog: warning: TEXT` on standard error, TEXT on one line."""

    def warn(text: str) -> None:
        sys.stderr.write(f"{prog}: warning: {one_line(text)}\n")

    return warn


def say_where(prog: str, out: str) -> None:
    """Names the output directory whose states a command shows, on standard error, and
    says when no run wrote there: the wrong folder shows at once."""
    where = os.path.abspath(out)
    empty = "" if os.path.isfile(os.path.join(where, MANIFEST_FILE)) else " (no run recorded there)"
    sys.stderr.write(f"{prog}: states in {where}{empty}\n")
    sys.stderr.flush()
