"""What the runner and the native core agree on: document and record shapes, file names,
the asset reference form and the command lines of the two command stubs.

Every part of the runner takes these from here; nothing else spells them.
"""

from __future__ import annotations

import os
import sys
from collections.abc import Sequence
from typing import Any, Literal, NotRequired, TypedDict

# Files the worker writes into a job's folder, and the runner's own files beside them.
VALUE_FILE = "value.json"
RESULT_FILE = "result.json"
LOG_FILE = "worker.log"
MANIFEST_FILE = "manifest.json"
REPORT_FILE = "report.html"  # what `quarn report` writes by default

# In a job's folder: the failure record and output of its latest run, when that failed; the
# value of its last success stays beside it.
FAILED_DIR = "failed"

# The partition folder of an asset without partitions.
UNPARTITIONED_DIR = "_"

# The runner's own corner of an output directory: the lock a run holds for its whole life,
# one private folder per run (job specs, stage folders) that the run removes at its end,
# and the history, one record per run. The marker says that quarn made the folder: only a
# folder holding it is written into by a run, or cleaned.
STATE_DIR = ".quarn"
LOCK_FILE = "lock"
MARKER_FILE = "output-directory"
RUNS_DIR = "runs"
HISTORY_DIR = "history"
CODE_CACHE_DIR = "code"  # compiled code that earlier versions kept here; `clean` removes it


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


class ManifestEntry(TypedDict, total=False):
    """One job's record in `manifest.json`.

    `status` is how the job's latest run ended. The other members describe its latest
    success (absent when it never succeeded): `version` (code, declaration and key) and
    `parts` (the digest of each of those), `function` (`module:function` that ran),
    `inputs` (upstream job id -> digest of the value it consumed), `digest`, `value` and
    `serializer` (the value file's SHA-256 and name, and the serializer that wrote it),
    `stat` (size, mtime_ns, ctime_ns, inode of that file when it was hashed),
    `result_stat` (the same of the success record, read then), `succeeded_at` (UTC, ISO
    8601) and `seconds`; `deps` (part -> the id of the shared part of the manifest's
    `deps` table that says what the job used while it ran: the code, files and
    environment variables of `JobDeps`).
    """

    asset: str
    partition: dict[str, Any] | None
    status: str
    version: str
    parts: dict[str, str]
    function: str
    inputs: dict[str, str]
    digest: str
    value: str
    serializer: str
    stat: list[int]
    result_stat: list[int]
    succeeded_at: str
    seconds: float
    deps: dict[str, str]
    ran_at: str  # when the latest run that did not succeed ended


# `ManifestEntry.status` values.
STATUS_SUCCEEDED = "succeeded"
STATUS_FAILED = "failed"
STATUS_SKIPPED = "skipped"
STATUS_RUNNING = "running"  # started by a run that has not recorded how it ended


class InputSource(TypedDict):
    """Where a job finds one upstream value: the upstream job's folder and how it was stored;
    with the SHA-256 and stat of the value file the runner knows, so that the worker can
    vouch for the bytes it read without hashing them (`JobDeps.inputs`)."""

    dir: str
    serializer: str | None
    job: NotRequired[str]  # the upstream job's id: `JobDeps.inputs` names it
    digest: NotRequired[str]
    stat: NotRequired[list[int]]


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
    params: NotRequired[dict[str, Any]]  # run parameter -> value, passed as keyword arguments
    inputs: dict[str, InputSource | FanInSource]  # parameter -> where its value is
    sources: dict[str, str]  # source file -> SHA-256 of the bytes its version was computed from
    report: NotRequired[str]  # where the worker writes its `JobReport` after a success
    # Whether the worker syncs the files it writes itself: on another machine (a cluster)
    # it must; on the runner's, the runner syncs every finished job's files in one go before
    # it vouches for them, and a sync per file would only cost the job time.
    sync: NotRequired[bool]


class CodeDep(TypedDict):
    """The code of one source file that ran in a job: the SHA-256 of the file's bytes that
    ran ("" when unknown), and unit (function, method, class or module body) -> the digest
    of its normalized syntax tree ("" when unknown)."""

    sha256: str
    units: dict[str, str]


class FileDep(TypedDict):
    """A file a job read: its stat (size, mtime_ns, ctime_ns, inode) and SHA-256 as it was
    read. Both None: the job looked for it and it did not exist. A SHA-256 of "": it
    changed while the job ran, so the bytes read are unknown."""

    stat: list[int] | None
    sha256: str | None


class JobDeps(TypedDict):
    """What a job used while it ran, besides what its static version names. Paths are
    relative to the job's working directory when inside it, else absolute.

    `code`: source file -> the code of it that ran (in the job, or when its module was
    imported); `files`: data files read; `env`: environment variable -> SHA-256 of its value
    (None: unset); `inputs`: upstream job (its id, else its folder) -> SHA-256 of the value
    bytes read;
    `notes`: what could not be recorded, for a person."""

    code: dict[str, CodeDep]
    files: dict[str, FileDep]
    env: dict[str, str | None]
    inputs: dict[str, str]
    notes: NotRequired[list[str]]


class JobReport(TypedDict):
    """What the job worker tells the runner about a stored value, in the file named by
    `JobSpec.report`: the value file's name, the SHA-256 of the bytes it wrote, and the
    stat of that file and of the success record (size, mtime_ns, ctime_ns, inode), which a
    rename of their folder leaves as they are. The runner never hashes a value itself.
    `deps`: what the job used while it ran, when it could be recorded."""

    value: str
    digest: str
    stat: list[int]
    result_stat: list[int]
    serializer: NotRequired[str]  # the serializer that wrote it: under "auto", its pick
    deps: NotRequired[JobDeps]


def reference(file_path: str, function_name: str) -> str:
    """The text an `inputs` entry holds for an asset: its resolved source path and name."""
    return f"{file_path}:{function_name}"


def module_reference(module: str, function_name: str) -> str:
    """The other form an `inputs` string may take: `package.module:function`."""
    return f"{module}:{function_name}"


def job_dir(out_dir: str, asset_dir: str, partition_dir: str) -> str:
    """The folder of one job's files."""
    return os.path.join(out_dir, asset_dir, partition_dir)


def discovery_command(
    modules: Sequence[str], paths: Sequence[str], document_file: str | None = None
) -> list[str]:
    """`python -m quarn.inspect` over `modules`, with `paths` first on the import path;
    with `document_file`, what discovery learned goes to that file instead of stdout (see
    executors/discover_here.py)."""
    command = [sys.executable, "-m", "quarn.inspect"]
    for path in paths:
        command += ["--path", path]
    if document_file is not None:
        command += ["--document-file", document_file]
    return [*command, *modules]


def job_command(spec_path: str, parent_pid: int | None = None) -> list[str]:
    """The runner's own job worker for one job spec. With `parent_pid`, the worker dies with
    that process (the kernel's parent-death signal), whoever kills it and however."""
    command = [sys.executable, "-m", "quarn.runner.job", spec_path]
    if parent_pid is not None:
        command += ["--parent", str(parent_pid)]
    return command


# The run history: one record per run in DIR/.quarn/history/<run id>.json.
HISTORY_FORMAT = 1


class AssetRecord(TypedDict):
    name: str  # as shown: the label, or the folder name when two assets share the label
    label: str  # declared name, else function name
    module: str
    function: str
    dims: dict[str, int]  # dimension -> number of keys
    inputs: dict[str, str]  # parameter -> upstream's shown name
    mappings: NotRequired[dict[str, str]]  # parameter -> the keys it takes (`day-1`)


class JobRecord(TypedDict):
    id: str  # asset folder / partition folder, as in the manifest
    asset: str
    partition: str  # `dim=key, ...`, empty when unpartitioned
    status: str
    attempts: int
    started: float | None  # seconds since the epoch
    seconds: float | None
    version: str
    error: str
    log: str  # the job's output, relative to the output directory; empty when none


class RunRecord(TypedDict):
    format: int
    run: str
    command: list[str]
    cwd: str
    started: float
    ended: float
    exit_status: int
    assets: list[AssetRecord]
    jobs: list[JobRecord]
