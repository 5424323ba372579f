"""Checks, before any job runs, that every Dask worker sees the output directory and can
import quarn and the project's modules; says what is wrong on which worker otherwise.

`probe` runs on the workers. It is sent by value and uses only the standard library, so it
can report a worker that lacks quarn itself.
"""

from __future__ import annotations

import importlib
import json
import os
import secrets
import sys
from dataclasses import dataclass
from typing import Any, TypedDict

_PROBE_SECONDS = 300.0  # an import may be slow (a large library), but never endless
_MARK = "quarn-probe:"

# What a worker imports before the project's modules: quarn, its native core, the task
# each job arrives as, and the job worker it starts.
RUNNER_MODULES = ("quarn", "quarn._quarn", "quarn.runner.executors.dask_task", "quarn.runner.job")

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
    "every Dask worker needs quarn (pip install 'quarn[dask]') and the project's modules "
    "and their dependencies, importable from the same --path directories"
)


class Report(TypedDict):
    host: str
    python: str
    storage: str  # why the probe file could not be written, "" when it was
    missing: list[list[str]]  # [module, error] pairs


def probe(
    directory: str, name: str, token: str, cwd: str, paths: list[str], modules: list[str]
) -> Report:
    """Writes `token` into `directory`/`name`, then imports `modules` in a child process."""
    import socket
    import subprocess
    import sys

    report: Report = {
        "host": socket.gethostname(),
        "python": sys.executable,
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
        done = subprocess.run(
            [sys.executable, "-c", _IMPORT_SCRIPT, json.dumps([paths, modules])],
            cwd=cwd if os.path.isdir(cwd) else None,  # as a job is started
            stdin=subprocess.DEVNULL,
            capture_output=True,
            text=True,
            errors="replace",
            timeout=_PROBE_SECONDS,
        )
    except (OSError, subprocess.TimeoutExpired) as exc:
        report["missing"] = [["(all)", str(exc)]]
        return report
    line = done.stdout.rpartition(_MARK)[2].strip()
    try:
        report["missing"] = json.loads(line)
    except ValueError:
        tail = (done.stderr.strip().splitlines() or [f"exit status {done.returncode}"])[-1]
        report["missing"] = [["(all)", f"the import check did not finish: {tail}"]]
    return report


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


def check_workers(
    client: Any, out_dir: str, cwd: str, paths: list[str], modules: list[str]
) -> Problems:
    """Probes every worker the scheduler knows; `out_dir` must exist here already."""
    cloudpickle: Any = importlib.import_module("cloudpickle")  # comes with distributed
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    directory = os.path.abspath(out_dir)
    token = secrets.token_hex(16)
    wanted = [*RUNNER_MODULES, *dict.fromkeys(modules)]
    futures: dict[str, Any] = {}
    for n, worker in enumerate(sorted(client.scheduler_info()["workers"])):
        name = f".quarn-probe-{token}-{n}"
        futures[worker] = (
            name,
            client.submit(
                probe,
                directory,
                name,
                token,
                cwd,
                paths,
                wanted,
                key=f"quarn-probe-{token}-{n}",
                workers=[worker],
                allow_other_workers=False,
                pure=False,
            ),
        )
    storage: list[str] = []
    imports: list[str] = []
    for worker, (name, future) in futures.items():
        try:
            report: Report = future.result(timeout=_PROBE_SECONDS + 30)
        except Exception as exc:  # the worker died, or cannot even run the probe
            imports.append(f"worker {worker}: the probe failed: {type(exc).__name__}: {exc}")
            continue
        where = f"worker {worker} ({report['host']})"
        path = os.path.join(directory, name)
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
