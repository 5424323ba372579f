"""Values of a job: its keyword arguments read from the upstream job folders by each
upstream's serializer, the call, and the value stored by the asset's own serializer."""

from __future__ import annotations

import inspect
import os
import pathlib
from collections.abc import Callable
from typing import Any

from quarn.runner.contract import InputSource, JobSpec, SuccessRecord
from quarn.runner.job.fan_in import FanIn, read_input
from quarn.runner.store import serializers
from quarn.runner.store.serializers import StorageError

__all__ = ["StorageError", "call", "load_inputs", "store"]


def load_inputs(spec: JobSpec) -> dict[str, object]:
    """The keyword arguments of the call: upstream values first (by parameter), then keys
    and the run parameters given a value.

    A fan-in is a read-only mapping from member to value that reads each member's file when
    it is asked for, so a fan-in over thousands of partitions holds one at a time.
    """
    kwargs: dict[str, object] = {}
    inputs = spec["inputs"]
    for param, source in inputs.items():
        if "fan_in" in source:
            members: dict[str, InputSource] = source["fan_in"]  # type: ignore[typeddict-item]
            kwargs[param] = FanIn({m: (*_file(param, up), up) for m, up in members.items()})
        else:
            kwargs[param] = read_input(*_file(param, source), source)
    kwargs.update(spec["keys"])
    kwargs.update(spec.get("params") or {})
    return kwargs


def _file(param: str, source: InputSource) -> tuple[serializers.Serializer, str]:
    try:
        serializer = serializers.get(source["serializer"])
    except LookupError as exc:
        # The upstream's module registered it, and this job's module does not import that.
        raise StorageError(
            f"input '{param}': {exc}; import the module that registers it in this asset's "
            "module too"
        ) from None
    return serializer, os.path.join(source["dir"], serializer.file_name)


def call(function: Callable[..., Any], kwargs: dict[str, object]) -> object:
    """Calls the asset's function: a coroutine is run to its end on a fresh event loop,
    a generator's items (synchronous or asynchronous) are collected into a list."""
    value = function(**kwargs)
    if inspect.iscoroutine(value):
        import asyncio

        return asyncio.run(value)
    if inspect.isgenerator(value):
        return list(value)
    if inspect.isasyncgen(value):
        import asyncio

        return asyncio.run(_collect(value))
    return value


async def _collect(items: Any) -> list[object]:
    return [item async for item in items]


def store(value: object, spec: JobSpec) -> SuccessRecord:
    """Writes the value with the asset's serializer into the stage folder and returns the
    success record, whose `value_path` names the file in the job's final folder (the
    runner syncs the folder when it moves it there) and `artifact_format` the serializer
    that wrote it. The caller fills in `signature`. A value that cannot be stored raises
    StorageError saying why and what to declare; under "auto", it is pickled instead."""
    serializer = serializers.choose(spec["serializer"], value)
    try:
        _dump(serializer, value, spec["stage_dir"])
    except StorageError:
        if spec["serializer"] != serializers.AUTO or serializer.name == "pickle":
            raise
        serializer = serializers.get("pickle")
        _dump(serializer, value, spec["stage_dir"])
    result_type = type(value).__name__
    if not isinstance(result_type, str):
        raise TypeError(
            f"'{type(result_type).__qualname__}' object cannot be converted to 'PyString'"
        )
    return {
        "artifact_format": serializer.name,
        "function_name": spec["function"],
        "module_path": spec["module"],
        "ok": True,
        "result_type": result_type,
        "signature": "",
        "value_path": str(pathlib.Path(spec["job_dir"]) / serializer.file_name),
    }


def _dump(serializer: serializers.Serializer, value: object, stage: str) -> None:
    path = os.path.join(stage, serializer.file_name)
    try:
        serializer.dump(value, path)
    except BaseException as exc:
        _remove(path)  # a half-written file must not sit beside the failure record
        if isinstance(exc, StorageError) or not isinstance(exc, Exception):
            raise
        raise StorageError(
            f"the value of type {type(value).__name__} cannot be stored as {serializer.name}: "
            f"{type(exc).__name__}: {exc}"
        ) from exc


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass
