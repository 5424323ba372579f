"""The job report: how a job worker tells the runner what it stored, and how the runner reads it.

The worker hashes its value file right after writing it (the bytes are still in the page
cache), in its own process; the runner takes the digest from here and never reads a value
file on its own thread.
"""

from __future__ import annotations

import json
import os
from typing import Any

from quarn.runner.contract import RESULT_FILE, JobDeps, JobReport
from quarn.runner.store.digest import sha256_file, stat_key


def write_report(
    path: str,
    stage: str,
    value_name: str,
    sync: bool = False,
    serializer: str | None = None,
    deps: JobDeps | None = None,
) -> None:
    """Describes the value file `value_name` and the success record in `stage` (with
    `sync`, syncing the value file first), the serializer that wrote it, and what the job
    used while it ran (`deps`). Written to a temporary name and renamed: a worker killed
    half way leaves no report to misread."""
    value = os.path.join(stage, value_name)
    digest = sha256_file(value, sync)
    stat = stat_key(value)
    result_stat = stat_key(os.path.join(stage, RESULT_FILE))
    if digest is None or stat is None or result_stat is None:
        raise OSError(f"cannot read back {value} or its success record")
    report: JobReport = {
        "value": value_name,
        "digest": digest,
        "stat": stat,
        "result_stat": result_stat,
    }
    if serializer is not None:
        report["serializer"] = serializer
    if deps is not None:
        report["deps"] = deps
    temp = path + ".part"
    with open(temp, "w", encoding="utf-8") as handle:
        handle.write(json.dumps(report))  # one call of the C encoder; dump's chunks are not
    os.replace(temp, path)


def read_report(path: str) -> JobReport | None:
    """The report at `path`; None when there is none or it is not one."""
    try:
        with open(path, encoding="utf-8") as handle:
            data: Any = json.load(handle)
    except (OSError, ValueError, RecursionError):
        return None
    if not isinstance(data, dict):
        return None
    ints = [data.get("stat"), data.get("result_stat")]
    if not (
        isinstance(data.get("serializer", ""), str)
        and isinstance(data.get("value"), str)
        and isinstance(data.get("digest"), str)
        and all(isinstance(s, list) and all(type(i) is int for i in s) for s in ints)
    ):
        return None
    if "deps" in data and not _deps_shape(data["deps"]):
        del data["deps"]  # what the job used is unknown: as if nothing had been recorded
    report: JobReport = data  # type: ignore[assignment]  # checked member by member above
    return report


def _deps_shape(deps: Any) -> bool:
    """Whether `deps` has the members of `JobDeps`, each a JSON object (their entries are
    read by the code that compares them, which takes any odd one as changed)."""
    return isinstance(deps, dict) and all(
        isinstance(deps.get(k), dict) for k in ("code", "files", "env", "inputs")
    )
