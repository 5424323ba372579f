"""`python -m quarn.inspect --check`: the graph's diagnostics, one per line."""

from __future__ import annotations

import json
import os
import sys
import tempfile

from quarn._quarn import inspect_modules
from quarn.runner.graph.discovery import DiscoveryError, graph_of
from quarn.runner.graph.serializer_check import REPORTED
from quarn.runner.store.serializers import REPORT_ENV, read_report


def check_modules(modules: list[str], paths: list[str]) -> int:
    """Prints the graph's diagnostics on standard output; exit status 1 when there is any
    or a module cannot be imported.

    Runs inside the inspect command, which has already set the import path: the modules are
    imported here, once, exactly as discovery imports them for a run. What they print while
    being imported goes to standard error, so standard output holds only diagnostics.
    """
    sys.stdout.flush()
    saved = os.dup(1)
    with tempfile.TemporaryDirectory(prefix="quarn-check-") as private:
        registered = os.path.join(private, "serializers")  # the project's registrations
        os.environ[REPORT_ENV] = registered
        try:
            os.dup2(2, 1)
            document = json.loads(inspect_modules(modules))
        finally:
            sys.stdout.flush()
            os.dup2(saved, 1)
            os.close(saved)
            del os.environ[REPORT_ENV]
        document[REPORTED] = read_report(registered)
    skipped = [m for m in dict.fromkeys(modules) if m not in sys.modules]
    try:
        graph = graph_of(document, skipped, [os.path.abspath(p) for p in paths], sys.stderr)
    except DiscoveryError as exc:
        sys.stderr.write(f"quarn: error: {exc}\n")
        return 1
    for diagnostic in graph.diagnostics:
        sys.stdout.write(f"{diagnostic}\n")
    sys.stdout.flush()
    return 1 if graph.diagnostics else 0
