"""`quarn check` (and `python -m quarn.inspect --check`): the graph's diagnostics."""

from __future__ import annotations

import argparse
import sys
from typing import TextIO

from quarn.runner.commands import shared


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
    args = build_parser(prog).parse_args(argv)
    return check_modules(args.modules, args.path, prog=prog)


def check_modules(
    modules: list[str], paths: list[str], stdout: TextIO | None = None, prog: str = "quarn"
) -> int:
    """Prints the graph's diagnostics on standard output; exit status 1 when there is any
    or a module cannot be imported.

    Discovery runs in a subprocess, as for a run, so that the check sees exactly what a run
    would see.
    """
    out = stdout or sys.stdout

    def body() -> int:
        graph = shared.load(modules, paths, checked=False)
        for diagnostic in graph.diagnostics:
            out.write(f"{diagnostic}\n")
        if not graph.diagnostics:
            count = len(graph.assets)
            out.write(f"ok: {count} asset{'' if count == 1 else 's'}\n")
        out.flush()
        return 1 if graph.diagnostics else 0

    return shared.run_command(prog, body)
