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

# The runner's own corner of an output directory: the lock a run holds for its whole life,
# and one private folder per run (job specs, stage folders) that the run removes at its end.
STATE_DIR = ".quarn"
LOCK_FILE = "lock"
RUNS_DIR = "runs"

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


class InputSource(TypedDict):
    """Where a job finds one upstream value: the upstream job's folder and how it was stored."""

    dir: str
    serializer: str | None


class FanInSource(TypedDict):
    """A fan-in input: member name (the compact JSON of the key) -> upstream source."""

    fan_in: dict[str, InputSource]


class JobSpec(TypedDict):
    """What the runner's job worker is told about one job, written as JSON into the run's
    private folder. Upstream values are read from their job folders, never passed inline."""

    module: str
    function: str
    paths: list[str]  # project directories, first on the import path
    job_dir: str  # the job's final folder, as `value_path` names it
    stage_dir: str  # where the worker writes; the runner moves it to job_dir
    serializer: str | None
    keys: dict[str, Any]  # dimension -> key, passed as keyword arguments
    inputs: dict[str, InputSource | FanInSource]  # parameter -> where its value is
    sources: dict[str, str]  # source file -> SHA-256 of the text its version was computed from


def reference(file_path: str, function_name: str) -> str:
    """The text an `inputs` entry holds for an asset: its resolved source path and name."""
    return f"{file_path}:{function_name}"


def discovery_command(modules: Sequence[str], paths: Sequence[str]) -> list[str]:
    """`python -m quarn.inspect` over `modules`, with `paths` first on the import path."""
    command = [sys.executable, "-m", "quarn.inspect"]
    for path in paths:
        command += ["--path", path]
    return [*command, *modules]


def job_command(spec_path: str, parent_pid: int | None = None) -> list[str]:
    """The runner's own job worker for one job spec. With `parent_pid`, the worker dies with
    that process (the kernel's parent-death signal), whoever kills it and however."""
    command = [sys.executable, "-m", "quarn.runner.job", spec_path]
    if parent_pid is not None:
        command += ["--parent", str(parent_pid)]
    return command
