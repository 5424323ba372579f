"""What the runner and the native core agree on: document and record shapes, file names,
the asset reference form and the command lines of the two command stubs.

Every part of the runner takes these from here; nothing else spells them.
"""

from __future__ import annotations

import re
import sys
from collections.abc import Sequence
from typing import Any, Literal, TypedDict

# Files the worker writes into a job's folder, and the runner's own files beside them.
VALUE_FILE = "value.json"
RESULT_FILE = "result.json"
LOG_FILE = "worker.log"
MANIFEST_FILE = "manifest.json"

# The partition folder of an asset without partitions.
UNPARTITIONED_DIR = "_"

# The line discovery writes for a module that failed to import.
SKIP_LINE = re.compile(r"^quarn: skipping module '(.*?)': ", re.MULTILINE)


class AssetEntry(TypedDict):
    """One entry of the inspection document's "assets" array."""

    decorator_metadata: Any
    file_path: str
    function_name: str
    function_source: str
    kind: str
    module_path: str
    module_source: str
    python_version: str
    return_type: str


class SuccessRecord(TypedDict):
    """`result.json` of a job whose value was stored."""

    artifact_format: str
    function_name: str
    module_path: str
    ok: Literal[True]
    result_type: str
    signature: str
    value_path: str


class FailureRecord(TypedDict):
    """`result.json` of a job that failed; `error` is "QualifiedType: message"."""

    error: str
    error_type: str
    ok: Literal[False]


def reference(file_path: str, function_name: str) -> str:
    """The text an `inputs` entry holds for an asset: its resolved source path and name."""
    return f"{file_path}:{function_name}"


def discovery_command(modules: Sequence[str], paths: Sequence[str]) -> list[str]:
    """`python -m quarn.inspect` over `modules`, with `paths` first on the import path."""
    command = [sys.executable, "-m", "quarn.inspect"]
    for path in paths:
        command += ["--path", path]
    return [*command, *modules]


def worker_command(module: str, function: str, output_dir: str, paths: Sequence[str]) -> list[str]:
    """`python -m quarn.worker` for one job; the inputs options are added by the caller."""
    command = [sys.executable, "-m", "quarn.worker", module, function, output_dir]
    for path in paths:
        command += ["--path", path]
    return command
