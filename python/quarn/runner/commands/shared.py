"""What the subcommands share: the MODULE and --path arguments, the checked graph, errors."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable, Sequence

from quarn.runner.commands.modules import ModuleError, resolve
from quarn.runner.contract import RunRecord
from quarn.runner.executors.discovery import DiscoveryError, discover
from quarn.runner.graph.model import Graph
from quarn.runner.store.history import load_runs

MODULE_HELP = "module, package (all its submodules), file (pipelines/sales.py) or folder"


class CommandError(Exception):
    """Ends a command with a one-line message and an exit status (1, or 2 for usage)."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


def parser(prog: str, description: str, epilog: str | None = None) -> argparse.ArgumentParser:
    return argparse.ArgumentParser(prog=prog, description=description, epilog=epilog)


def add_modules(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("modules", nargs="+", metavar="MODULE", help=MODULE_HELP)
    add_path(parser)


def add_path(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--path",
        action="append",
        default=[],
        metavar="DIR",
        help="directory to put first on the module search path (repeatable)",
    )


def load(
    modules: Sequence[str], paths: Sequence[str], *, checked: bool = True
) -> tuple[Graph, list[str]]:
    """The graph of the named modules and the folders they are imported from; with
    `checked`, a graph with problems is an error after its diagnostics are printed.
    Raises DiscoveryError, which `run_command` prints."""
    try:
        found = resolve(modules, paths)
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
        raise CommandError(f"no runs recorded in {out}{hint}")
    return runs
