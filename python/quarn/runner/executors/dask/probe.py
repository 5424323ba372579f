"""Checks, before any job runs, that every Dask worker sees the output directory and can
import quarn and the project's modules, and that the scheduler can read quarn's tasks;
says what is wrong on which machine otherwise.

The probes run through `Client.run`, outside the task graph, and travel by value using
only the standard library, so they can report a worker, or a scheduler, that lacks quarn.
"""

from __future__ import annotations

import importlib
import json
import os
import secrets
import sys
from dataclasses import dataclass
from typing import Any, TypedDict

from quarn.runner.contract import STATE_DIR

_PROBE_SECONDS = 300.0  # an import may be slow (a large library), but never endless
_MARK = "quarn-probe:"

# What a worker imports before the project's modules: quarn, its native core, the task
# each job arrives as, and the job worker it starts.
RUNNER_MODULES = ("quarn", "quarn._quarn", "quarn.runner.executors.dask.task", "quarn.runner.job")
# The scheduler unpickles every task it is given, so it imports the module of the task.
SCHEDULER_MODULE = "quarn.runner.executors.dask.task"

# Run by the worker's own Python in the runner's working directory, as a job would be.
_IMPORT_SCRIPT = f"""
import importlib, json, sys
paths, names = json.loads(sys.argv[1])
sys.path[:0] = paths
missing = []
for name in names:
    try:
        importlib.import_module(name)
    except BaseException as exc:
        missing.append([name, f"{{type(exc).__name__}}: {{exc}}".strip()])
        if name.startswith("quarn"):
            break
print("\\n{_MARK}" + json.dumps(missing))
"""

STORAGE_HELP = (
    "the output directory must be the same directory, at the same path, on this machine and "
    "on every Dask worker: put it on a shared file system (NFS, Lustre, a mounted volume) "
    "and name that path with --out"
)
IMPORT_HELP = (
    "the Dask scheduler and every worker need quarn (pip install 'quarn[dask]'), and the "
    "workers the project's modules and their dependencies, importable from the same --path "
    "directories"
)


class Report(TypedDict):
    host: str
    python: str
    file: str  # the probe file's name in the output directory
    storage: str  # why the probe file could not be written, "" when it was
    missing: list[list[str]]  # [module, error] pairs


async def probe(
    directory: str, prefix: str, token: str, cwd: str, paths: list[str], modules: list[str]
) -> Report:
    """Writes `token` into a new file in `directory`, then imports `modules` in a child
    process. Runs on the worker's event loop, which it never blocks for long."""
    import asyncio
    import socket
    import subprocess
    import uuid

    name = f"{prefix}-{uuid.uuid4().hex}"
    report: Report = {
        "host": socket.gethostname(),
        "python": sys.executable,
        "file": name,
        "storage": "",
        "missing": [],
    }
    try:
        fd = os.open(os.path.join(directory, name), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(fd, "w") as handle:
            handle.write(token)
    except OSError as exc:
        report["storage"] = exc.strerror or str(exc)
    try:
        child = await asyncio.create_subprocess_exec(
            sys.executable, "-c", _IMPORT_SCRIPT, json.dumps([paths, modules]),
            cwd=cwd if os.path.isdir(cwd) else None,  # as a job is started
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        )  # fmt: skip
        try:
            out, err = await asyncio.wait_for(child.communicate(), _PROBE_SECONDS)
        except TimeoutError:
            child.kill()
            await child.wait()
            raise
    except (OSError, TimeoutError) as exc:
        report["missing"] = [["(all)", f"the import check failed: {exc!r}"]]
        return report
    line = out.decode("utf-8", "replace").rpartition(_MARK)[2].strip()
    try:
        report["missing"] = json.loads(line)
    except ValueError:
        lines = err.decode("utf-8", "replace").strip().splitlines()
        tail = lines[-1] if lines else f"exit status {child.returncode}"
        report["missing"] = [["(all)", f"the import check did not finish: {tail}"]]
    return report


def scheduler_missing(module: str) -> str:
    """Why the scheduler cannot import `module`, "" when it can."""
    try:
        importlib.import_module(module)
    except BaseException as exc:  # noqa: BLE001 - whatever stops the import is the answer
        return f"{type(exc).__name__}: {exc}"
    return ""


@dataclass(frozen=True, slots=True)
class Problems:
    storage: list[str]
    imports: list[str]

    def text(self) -> str:
        lines: list[str] = []
        if self.storage:
            lines += [*self.storage, STORAGE_HELP]
        if self.imports:
            lines += [*self.imports, IMPORT_HELP]
        return "\n".join(lines)

    def __bool__(self) -> bool:
        return bool(self.storage or self.imports)


def check_cluster(
    client: Any, out_dir: str, cwd: str, paths: list[str], modules: list[str]
) -> Problems:
    """Probes the scheduler and every worker it knows. The probe files go into the run's
    own corner of `out_dir`, which exists once the run holds its lock."""
    cloudpickle: Any = importlib.import_module("cloudpickle")  # comes with distributed
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    directory = os.path.abspath(os.path.join(out_dir, STATE_DIR))
    token = secrets.token_hex(16)
    imports: list[str] = []
    try:
        missing = client.run_on_scheduler(scheduler_missing, SCHEDULER_MODULE)
    except Exception:  # a scheduler that refuses to run code: the first job will tell
        missing = ""
    if missing:
        imports.append(f"the scheduler cannot import {SCHEDULER_MODULE}: {missing}")
    wanted = [*RUNNER_MODULES, *dict.fromkeys(modules)]
    reports = client.run(
        probe, directory, ".quarn-probe", token, cwd, paths, wanted, on_error="return"
    )
    storage: list[str] = []
    for worker, report in sorted(reports.items()):
        if isinstance(report, BaseException):  # the worker died, or cannot run the probe
            imports.append(f"worker {worker}: the probe failed: {type(report).__name__}: {report}")
            continue
        where = f"worker {worker} ({report['host']})"
        path = os.path.join(directory, report["file"])
        seen = _read(path)
        _remove(path)
        if report["storage"]:
            storage.append(f"{where} cannot write into {directory}: {report['storage']}")
        elif seen != token:
            storage.append(f"{where} wrote {path}, but this machine does not see that file")
        for module, error in report["missing"]:
            imports.append(f"{where}, {report['python']}: cannot import {module}: {error}")
    return Problems(storage, imports)


def _read(path: str) -> str | None:
    try:
        with open(path, encoding="utf-8") as handle:
            return handle.read()
    except (OSError, ValueError):
        return None


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass
