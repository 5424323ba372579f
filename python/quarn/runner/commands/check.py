"""`quarn check` and `python -m quarn.inspect --check`: the graph's diagnostics."""

from __future__ import annotations

import argparse
import sys
from typing import TextIO

from quarn.runner.commands import shared
from quarn.runner.executors.discovery import DiscoveryError, discover
from quarn.runner.graph.model import Graph
from quarn.runner.text import one_line

PROG = "python -m quarn.inspect"


def build_parser(prog: str) -> argparse.ArgumentParser:
    parser = shared.parser(
        prog,
        "Discover the assets of MODULEs and check their graph without running anything: "
        "unknown or cyclic inputs, inputs that are not parameters, required parameters "
        "nobody supplies, duplicate names, empty dimensions, missing shared keys.",
        "Each problem is one line on standard output, 'file:line: error: asset ...'. "
        "Exit status: 0 and 'ok: N assets' when there is none, 1 otherwise.",
    )
    shared.add_modules(parser)
    return parser


def main(argv: list[str] | None = None, prog: str = "quarn check") -> int:
    """`quarn check`: discovery in a subprocess, as for a run, so the check sees exactly
    what a run would see."""
    args = shared.parse(build_parser(prog), argv)

    def body() -> int:
        graph, _ = shared.load_for(args, checked=False)
        return print_diagnostics(graph, sys.stdout)

    return shared.run_command(prog, body)


def check_modules(modules: list[str], paths: list[str]) -> int:
    """Prints the graph's diagnostics on standard output; exit status 1 when there is any
    or a module cannot be imported.

    The modules are imported here, once, exactly as discovery imports them for a run; what
    they print while being imported goes to standard error, so standard output holds only
    diagnostics.
    """
    try:
        graph = discover(modules, paths, sys.stderr, isolation="none").graph()
    except DiscoveryError as exc:
        sys.stderr.write(exc.text(PROG))
        return 1
    return print_diagnostics(graph, sys.stdout)


def print_diagnostics(graph: Graph, out: TextIO) -> int:
    """Each problem on a line, or `ok: N assets`; the exit status."""
    for diagnostic in graph.diagnostics:
        out.write(f"{one_line(str(diagnostic))}\n")
    if not graph.diagnostics:
        count = len(graph.assets)
        out.write(f"ok: {count} asset{'' if count == 1 else 's'}\n")
    out.flush()
    return 1 if graph.diagnostics else 0
