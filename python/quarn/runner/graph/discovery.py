"""Runs discovery in a subprocess and turns its inspection document into the asset graph."""

from __future__ import annotations

import json
import os
import subprocess
import tempfile
from typing import Any, TextIO

from quarn.runner.contract import discovery_command
from quarn.runner.graph.build import build_graph
from quarn.runner.graph.import_error import import_error
from quarn.runner.graph.model import Graph
from quarn.runner.graph.serializer_check import REPORTED
from quarn.runner.store.serializers import REPORT_ENV, read_report
from quarn.runner.text import one_line


class DiscoveryError(Exception):
    """Discovery did not produce a usable inspection document."""


def discover(
    modules: list[str], paths: list[str], stderr: TextIO, timeout: float | None = None
) -> tuple[Any, list[str]]:
    """Runs `python -m quarn.inspect` and returns the document and the modules it skipped.

    Both come through a file of their own, so whatever the modules print while being
    imported (on either stream, with or without a newline) is only passed on to `stderr`.
    The serializers the project registers come through another file, into the document.
    """
    with tempfile.TemporaryDirectory(prefix="quarn-discovery-") as private:
        document_file = os.path.join(private, "document.json")
        registered = os.path.join(private, "serializers")  # the project's registrations
        try:
            done = subprocess.run(
                discovery_command(modules, paths, document_file),
                stdin=subprocess.DEVNULL,
                capture_output=True,
                timeout=timeout,
                env={**os.environ, REPORT_ENV: registered},
            )
        except subprocess.TimeoutExpired:
            raise DiscoveryError(f"discovery timed out after {timeout:g} s") from None
        except OSError as exc:
            raise DiscoveryError(f"cannot start discovery: {exc}") from None
        printed = (done.stdout + done.stderr).decode("utf-8", "replace")
        if printed:
            stderr.write("".join(one_line(line) + "\n" for line in printed.splitlines()))
            stderr.flush()
        if done.returncode != 0:
            raise DiscoveryError(f"discovery failed with exit status {done.returncode}")
        try:
            with open(document_file, encoding="utf-8", errors="surrogateescape") as handle:
                result = json.load(handle)
        except (OSError, ValueError):
            result = None
        serializers = read_report(registered)
    if not isinstance(result, dict) or not isinstance(result.get("document"), dict):
        raise DiscoveryError("discovery wrote no inspection document")
    skipped = result.get("skipped")
    names = [m for m in skipped if isinstance(m, str)] if isinstance(skipped, list) else []
    document: dict[str, Any] = result["document"]
    document[REPORTED] = serializers
    return document, names


def graph_of(
    document: Any,
    skipped: list[str],
    paths: list[str],
    stderr: TextIO,
    timeout: float | None = None,
    serializer: str | None = None,
) -> Graph:
    """The checked graph of a document (`serializer`: the project's default); a module that
    could not be imported stops here, named with the file and line where its import failed."""
    if skipped:
        for module in skipped:
            where = import_error(module, paths, timeout)
            if where:
                stderr.write(one_line(where) + "\n")
        names = ", ".join(f"'{m}'" for m in skipped)
        raise DiscoveryError(f"could not import {names}")
    try:
        return build_graph(document, serializer)
    except ValueError as exc:
        raise DiscoveryError(str(exc)) from None


def load_graph(
    modules: list[str],
    paths: list[str],
    stderr: TextIO,
    timeout: float | None = None,
    serializer: str | None = None,
) -> Graph:
    """Discovers `modules` in a subprocess and returns their checked graph."""
    document, skipped = discover(modules, paths, stderr, timeout)
    return graph_of(document, skipped, paths, stderr, timeout, serializer)
