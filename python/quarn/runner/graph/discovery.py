"""Runs discovery in a subprocess and turns its inspection document into the asset graph."""

from __future__ import annotations

import json
import os
import subprocess
import tempfile
from typing import Any, TextIO

from quarn.runner.contract import SKIP_LINE, discovery_command
from quarn.runner.graph.build import build_graph
from quarn.runner.graph.import_error import import_error
from quarn.runner.graph.model import Graph
from quarn.runner.graph.serializer_check import REPORTED
from quarn.runner.report.text import one_line
from quarn.runner.store.serializers import REPORT_ENV, read_report


class DiscoveryError(Exception):
    """Discovery did not produce a usable inspection document."""


def discover(
    modules: list[str], paths: list[str], stderr: TextIO, timeout: float | None = None
) -> tuple[Any, list[str]]:
    """Runs `python -m quarn.inspect` and returns the document and the modules it skipped.

    Its standard error is passed on. The document is its last line of output: anything a
    user module printed while being imported comes before it and is passed on to stderr.
    """
    with tempfile.TemporaryDirectory(prefix="quarn-discovery-") as private:
        registered = os.path.join(private, "serializers")  # the project's registrations
        try:
            done = subprocess.run(
                discovery_command(modules, paths),
                stdin=subprocess.DEVNULL,
                capture_output=True,
                timeout=timeout,
                env={**os.environ, REPORT_ENV: registered},
            )
        except subprocess.TimeoutExpired:
            raise DiscoveryError(f"discovery timed out after {timeout:g} s") from None
        except OSError as exc:
            raise DiscoveryError(f"cannot start discovery: {exc}") from None
        serializers = read_report(registered)
    errors = done.stderr.decode("utf-8", "replace")
    lines = done.stdout.decode("utf-8", "surrogateescape").splitlines()
    while lines and not lines[-1].strip():
        lines.pop()
    printed = "".join(line + "\n" for line in lines[:-1])
    if printed or errors:
        stderr.write("".join(one_line(line) + "\n" for line in (printed + errors).splitlines()))
        stderr.flush()
    if done.returncode != 0:
        raise DiscoveryError(f"discovery failed with exit status {done.returncode}")
    try:
        document = json.loads(lines[-1]) if lines else None
    except ValueError:
        document = None
    if not isinstance(document, dict):
        raise DiscoveryError("discovery printed no inspection document")
    document[REPORTED] = serializers
    return document, SKIP_LINE.findall(errors)


def load_graph(
    modules: list[str], paths: list[str], stderr: TextIO, timeout: float | None = None
) -> Graph:
    """Discovers `modules` in a subprocess and returns their checked graph."""
    document, skipped = discover(modules, paths, stderr, timeout)
    return graph_of(document, skipped, paths, stderr, timeout)


def graph_of(
    document: Any, skipped: list[str], paths: list[str], stderr: TextIO, timeout: float | None
) -> Graph:
    """The checked graph of a document; a module that could not be imported stops here,
    named with the file and line where its import failed."""
    if skipped:
        for module in skipped:
            where = import_error(module, paths, timeout)
            if where:
                stderr.write(one_line(where) + "\n")
        names = ", ".join(f"'{m}'" for m in skipped)
        raise DiscoveryError(f"could not import {names}")
    try:
        return build_graph(document)
    except ValueError as exc:
        raise DiscoveryError(str(exc)) from None
