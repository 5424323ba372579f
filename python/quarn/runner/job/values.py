"""Values of a job: its keyword arguments read from the upstream job folders, the call, and
the stored value. This first version knows JSON only, stored as the core's worker stores it.
"""

from __future__ import annotations

import inspect
import json
import os
import pathlib
from collections.abc import Callable
from typing import Any

from quarn.runner.contract import VALUE_FILE, InputSource, JobSpec, SuccessRecord


class StorageError(Exception):
    """The function returned, but its value cannot be stored as declared."""


def load_inputs(spec: JobSpec) -> dict[str, object]:
    """The keyword arguments of the call: upstream values first (by parameter), then keys."""
    kwargs: dict[str, object] = {}
    for param, source in spec["inputs"].items():
        if "fan_in" in source:
            members: dict[str, InputSource] = source["fan_in"]  # type: ignore[typeddict-item]
            kwargs[param] = {member: _load(up) for member, up in members.items()}
        else:
            kwargs[param] = _load(source)
    kwargs.update(spec["keys"])
    return kwargs


def _load(source: InputSource) -> object:
    with open(os.path.join(source["dir"], VALUE_FILE), encoding="utf-8") as handle:
        return json.loads(handle.read())


def call(function: Callable[..., Any], kwargs: dict[str, object]) -> object:
    """Calls the asset's function; a coroutine is awaited, a generator collected into a list."""
    value = function(**kwargs)
    if inspect.iscoroutine(value):
        import asyncio

        return asyncio.run(value)
    if inspect.isgenerator(value):
        return list(value)
    return value


def store(value: object, spec: JobSpec) -> SuccessRecord:
    """Writes the value file into the stage folder and returns the success record, whose
    `value_path` names the file in the job's final folder. The caller fills in `signature`."""
    text = json.dumps(value)
    with open(os.path.join(spec["stage_dir"], VALUE_FILE), "wb") as handle:
        handle.write(text.encode("utf-8"))
        handle.flush()
        os.fsync(handle.fileno())
    result_type = type(value).__name__
    if not isinstance(result_type, str):
        raise TypeError(
            f"'{type(result_type).__qualname__}' object cannot be converted to 'PyString'"
        )
    return {
        "artifact_format": "json",
        "function_name": spec["function"],
        "module_path": spec["module"],
        "ok": True,
        "result_type": result_type,
        "signature": "",
        "value_path": str(pathlib.Path(spec["job_dir"]) / VALUE_FILE),
    }
