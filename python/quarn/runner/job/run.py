"""One job: import the asset, load its inputs, call it, store the value and its record.

For an asset stored as JSON the two files are byte for byte what `python -m quarn.worker`
writes for the same call; the one addition is the full traceback of a failure on standard
error, which the runner captures into the job's `worker.log`.
"""

from __future__ import annotations

import importlib
import inspect
import json
import os
import sys
from collections.abc import Sequence
from typing import Any, NoReturn

from quarn._paths import import_host_modules, set_import_path, shielded
from quarn.runner.contract import RESULT_FILE, FailureRecord, JobSpec
from quarn.runner.job import code_cache, sources, values
from quarn.runner.job.process import die_with_parent, exit_status
from quarn.runner.store.job_report import write_report
from quarn.runner.trace import record as trace

# Exit statuses of the job worker.
SUCCESS = 0
RECORDED_FAILURE = 1
UNUSABLE_SPEC = 2

# Standard modules this worker imports by name after the project's folders are on the path,
# besides those the core's worker shields too: imported first, a project file named like one
# cannot stand in for it.
_OWN_MODULES = ("traceback",)
_USAGE = """usage: python -m quarn.runner.job SPEC [--parent PID]

Run one job of a quarn run from its job spec (JSON, written by the runner). With --parent,
the job dies when process PID (the runner) dies. Exit status: 0 success, 1 recorded
failure, 2 unusable spec or usage.
"""


def run_job(spec: JobSpec) -> int:
    """Runs the job described by `spec` and returns the worker's exit status."""
    problem = spec_problem(spec)
    if problem:
        sys.stderr.write(f"quarn job: unusable job spec: {problem}\n")
        return UNUSABLE_SPEC
    import_host_modules(spec["paths"], _package_file())
    _shield(spec["paths"], _OWN_MODULES)
    set_import_path(spec["paths"], _package_file())
    stage = spec["stage_dir"]
    os.makedirs(stage, exist_ok=True)
    try:
        # the project's code is checked against the plan and compiled from what was checked
        sources.install(spec.get("sources") or {}, spec["paths"], code_cache.cache_dir())
        with trace.job(spec) as recording:  # the import too: a spawned job imports here
            module = importlib.import_module(spec["module"])
            target = getattr(module, spec["function"])
            try:
                function = target.__quarn_original__
            except BaseException:  # any failed lookup means: call the object itself
                function = target
            value = _called(function, values.load_inputs(spec))
            record = values.store(value, spec)  # a project serializer's code counts too
            deps = recording.finish()
        record["signature"] = _text(str(inspect.signature(function)))
        sync = spec.get("sync", True)
        write_record(stage, _compact(record), sync)
        if spec.get("report"):
            value = os.path.basename(record["value_path"])
            write_report(spec["report"], stage, value, sync, record["artifact_format"], deps)
    except BaseException as exc:  # noqa: BLE001 - every failure of the asset is recorded
        if not isinstance(exc, values.StorageError):  # not the function's: the record says all
            print_traceback(exc)
        write_record(stage, failure_text(exc), spec.get("sync", True))
        return RECORDED_FAILURE
    return SUCCESS


def _called(function: Any, inputs: dict[str, Any]) -> Any:
    """The asset's value. Only the job's own process may record the job's outcome: a
    process the asset forked that comes back here (its branch returned, raised or called
    sys.exit) leaves at once, as that process would end in a program of its own, and
    records nothing."""
    job = os.getpid()
    try:
        value = values.call(function, inputs)
    except BaseException as exc:
        if os.getpid() != job:
            _leave(exc)
        raise
    if os.getpid() != job:
        _leave(None)
    return value


def _leave(exc: BaseException | None) -> NoReturn:
    status = 0
    if isinstance(exc, SystemExit):
        status = exit_status(exc)
    elif exc is not None:
        print_traceback(exc)
        status = 1
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except BaseException:  # noqa: BLE001, S110 - leaving whatever the streams do
            pass
    os._exit(status)


def print_traceback(exc: BaseException) -> None:
    """The traceback on standard error, from the first frame outside this package on (the
    worker's own frames say nothing about the asset); whole when every frame is ours."""
    ours = os.path.dirname(os.path.abspath(__file__))
    tb = exc.__traceback__
    while tb is not None and os.path.dirname(tb.tb_frame.f_code.co_filename) == ours:
        tb = tb.tb_next
    import traceback  # only a failure pays for it

    traceback.print_exception(type(exc), exc, tb or exc.__traceback__, file=sys.stderr)
    sys.stderr.flush()


def failure_text(exc: BaseException) -> str:
    """The failure record of `exc`, as the core's worker encodes it."""
    kind = type(exc)
    try:
        message = str(exc)
    except BaseException:  # noqa: BLE001
        message = "<exception str() failed>"
    record: FailureRecord = {
        "error": _text(f"{kind.__qualname__}: {message}"),
        "error_type": _text(kind.__name__),
        "ok": False,
    }
    return _compact(record)


def _compact(record: object) -> str:
    """The core's record form: sorted members, no spaces, non-ASCII as raw UTF-8."""
    return json.dumps(record, separators=(",", ":"), ensure_ascii=False, sort_keys=True)


def write_record(stage: str, text: str, sync: bool = True) -> None:
    """Writes the result record; with `sync`, syncs it too, for a runner that cannot sync
    this machine's files itself."""
    with open(os.path.join(stage, RESULT_FILE), "wb") as handle:
        handle.write(text.encode("utf-8"))
        if sync:
            handle.flush()
            os.fsync(handle.fileno())


def _text(text: str) -> str:
    """A lone surrogate becomes three replacement characters, one per byte of its encoding,
    as the core's writer does."""
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def spec_problem(spec: object) -> str:
    """Why `spec` cannot be run, or "" when it can."""
    if not isinstance(spec, dict):
        return "not a JSON object"
    for name in ("module", "function", "job_dir", "stage_dir"):
        if not isinstance(spec.get(name), str) or not spec[name]:
            return f"'{name}' must be a non-empty string"
    paths = spec.get("paths")
    if not isinstance(paths, list) or not all(isinstance(p, str) for p in paths):
        return "'paths' must be a list of strings"
    for name in ("keys", "inputs"):
        if not isinstance(spec.get(name), dict):
            return f"'{name}' must be an object"
    return ""


def _shield(project_dirs: Sequence[str], names: Sequence[str]) -> None:
    if all(name in sys.modules for name in names):
        return  # imported already: the host's modules are the ones found
    with shielded(project_dirs, _package_file()):
        for name in names:
            __import__(name)


def _package_file() -> str:
    """A file of the `quarn` package folder, which holds files named like standard modules."""
    import quarn

    return quarn.__file__ or __file__


def main(argv: Sequence[str]) -> int:
    """The command line, parsed by hand: the job worker starts once per job, and a parser
    module would cost each start more than the rest of its command line handling."""
    args = list(argv)
    if any(a in ("-h", "--help") for a in args):
        sys.stdout.write(_USAGE)
        return SUCCESS
    parent: int | None = None
    if len(args) == 3 and args[1] == "--parent" and args[2].isdigit():
        parent = int(args[2])
        del args[1:]
    if len(args) != 1:
        sys.stderr.write(_USAGE)
        return UNUSABLE_SPEC
    if parent is not None and not die_with_parent(parent):
        return UNUSABLE_SPEC
    try:
        with open(args[0], encoding="utf-8") as handle:
            spec: Any = json.load(handle)
    except (OSError, ValueError, RecursionError) as exc:
        sys.stderr.write(f"quarn job: cannot read the job spec {args[0]}: {exc}\n")
        return UNUSABLE_SPEC
    return run_job(spec)
