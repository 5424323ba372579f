"""`python -m quarn.inspect --check`: the graph's diagnostics, one per line."""

from __future__ import annotations

import os
import sys
from typing import TextIO

from quarn.runner.graph.discovery import DiscoveryError, load_graph


def check_modules(modules: list[str], paths: list[str], stdout: TextIO | None = None) -> int:
    """Prints the graph's diagnostics on standard output; exit status 1 when there is any
    or a module cannot be imported.

    Discovery runs in a subprocess, as for a run, so that the check sees exactly what a run
    would see.
    """
    stdout = stdout or sys.stdout
    try:
        graph = load_graph(modules, [os.path.abspath(p) for p in paths], sys.stderr)
    except DiscoveryError as exc:
        sys.stderr.write(f"quarn: error: {exc}\n")
        return 1
    for diagnostic in graph.diagnostics:
        stdout.write(f"{diagnostic}\n")
    stdout.flush()
    return 1 if graph.diagnostics else 0
