"""What a run is asked to do, from a Python call or a command line, with the project file's
settings filled in where the caller said nothing."""

from __future__ import annotations

import difflib
import os
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from types import ModuleType
from typing import Any

from quarn.runner.api.errors import UsageError
from quarn.runner.canonical import canonical_json
from quarn.runner.config import ConfigError, load_settings, settle
from quarn.runner.executors.isolation import ISOLATIONS

EXECUTORS = ("local", "dask")
DISCOVERY_TIMEOUT_SECONDS = 300.0


@dataclass(frozen=True, slots=True)
class RunOptions:
    """One run's request, complete: `quarn run` and `quarn.materialize` both make one."""

    modules: tuple[str, ...]  # module words, relative to `base`
    out: str
    paths: tuple[str, ...] = ()  # import folders: those given, the project file's, its root
    base: str | None = None  # the folder module words are relative to (None: the current one)
    root: str | None = None  # the project root, None without a project file
    select: tuple[str, ...] = ()  # asset names, as `--select` takes them
    partition: tuple[tuple[str, Any], ...] = ()  # (dimension, key) pairs kept
    force: bool = False
    force_all: bool = False
    jobs: int | None = None  # None: a slot per CPU (the cluster's threads on Dask)
    executor: str | None = None  # None: local, or Dask when a scheduler is named
    scheduler: str | None = None
    isolation: str | None = None  # None: the platform's default
    timeout: float | None = None
    retries: int = 0
    discovery_timeout: float | None = DISCOVERY_TIMEOUT_SECONDS
    wait: bool = False
    prune: bool = False
    check_only: bool = False
    # Run parameters by name, as `--set NAME=VALUE` gives them, over the project file's.
    params: Mapping[str, Any] = field(default_factory=dict)
    configured: Mapping[str, Any] = field(default_factory=dict)  # [tool.quarn.params]
    given_as: str = "params['{}']"  # how a message names a given value
    serializer: str | None = None  # the project's default serializer
    command: tuple[str, ...] = ()  # how the run was asked for, for its history record


def from_call(
    modules: Any,
    *,
    out: Any,
    select: Any,
    partition: Mapping[str, Any] | None,
    force: bool,
    force_all: bool,
    jobs: int | None,
    isolation: str | None,
    params: Mapping[str, Any] | None,
    path: Any,
    project: Any,
    executor: str | None,
    scheduler: str | None,
    timeout: float | None,
    retries: int,
    wait: bool,
    prune: bool,
    check_only: bool,
    discovery_timeout: float | None,
) -> RunOptions:
    """The options of a `quarn.materialize` call, checked, completed by the project file
    (the one of `project`, else the nearest above the current directory) as `quarn run`
    completes its command line. Raises UsageError."""
    words = _modules(modules)
    given = {
        "modules": words,
        "path": [os.fspath(p) for p in _many(path, (str, os.PathLike))],
        "out": None if out is None else os.fspath(out),
        "jobs": _count("jobs", jobs, 1),
        "isolation": _choice("isolation", isolation, ISOLATIONS),
        "executor": _choice("executor", executor, EXECUTORS),
        "scheduler": scheduler,
        "serializer": None,
    }
    cwd = os.getcwd()
    try:
        settings = load_settings(None if project is None else os.fspath(project), cwd)
    except ConfigError as exc:
        raise UsageError(str(exc)) from None
    done, taken = settle(given, settings, cwd)
    for name, allowed in (("isolation", ISOLATIONS), ("executor", EXECUTORS)):
        if name in taken:
            _choice(f"{settings.file}: [tool.quarn] {name}", done[name], allowed)
    if not done["modules"]:
        raise UsageError(
            "name the modules to run, or list them as modules in the [tool.quarn] table of "
            "the project's pyproject.toml"
        )
    if timeout is not None and not (isinstance(timeout, int | float) and 0 < timeout < 1e12):
        raise UsageError(f"timeout must be a positive number of seconds, not {timeout!r}")
    return RunOptions(
        modules=tuple(done["modules"]),
        out=done["out"],
        paths=tuple(done["path"]),
        base=done["base"],
        root=done["root"],
        select=tuple(_names(select)),
        partition=tuple(_partition(partition)),
        force=bool(force),
        force_all=bool(force_all),
        jobs=done["jobs"],
        executor=done["executor"],
        scheduler=done["scheduler"],
        isolation=done["isolation"],
        timeout=timeout,
        retries=_count("retries", retries, 0) or 0,
        discovery_timeout=discovery_timeout,
        wait=bool(wait),
        prune=bool(prune),
        check_only=bool(check_only),
        params=_params(params),
        configured=dict(settings.params),
        serializer=done["serializer"],
        command=("quarn.materialize", *done["modules"]),
    )


def _many(value: Any, single: tuple[type, ...]) -> list[Any]:
    """One item or an iterable of them, as a list."""
    if value is None:
        return []
    if isinstance(value, single):
        return [value]
    return list(value)


def _modules(value: Any) -> list[str]:
    words = []
    for item in _many(value, (str, os.PathLike, ModuleType)):
        if isinstance(item, ModuleType):
            words.append(item.__name__)
        elif isinstance(item, str | os.PathLike):
            words.append(os.fspath(item))
        else:
            raise UsageError(f"a module is a name, a path or a module object, not {item!r}")
    return words


def _names(value: Any) -> list[str]:
    """Asset names as `--select` takes them; an @asset function by its `module:function`."""
    names = []
    for item in _many(value, (str,)):
        if isinstance(item, str):
            names += [n for n in item.split(",") if n]
        elif getattr(item, "__quarn_kind__", None) == "asset":
            names.append(f"{item.__module__}:{item.__name__}")
        else:
            raise UsageError(
                f"select takes asset names and @asset functions, not {type(item).__name__}"
            )
    return names


def _partition(value: Mapping[str, Any] | None) -> list[tuple[str, Any]]:
    """{dimension: key} as (dimension, key) pairs; a set of keys keeps each of them."""
    if value is None:
        return []
    if not isinstance(value, Mapping):
        raise UsageError(f"partition must be a dict from dimension to key, not {value!r}")
    pairs = []
    for dim, keys in value.items():
        for key in sorted(keys, key=repr) if isinstance(keys, set | frozenset) else [keys]:
            try:
                canonical_json(key)
            except (TypeError, ValueError) as exc:
                raise UsageError(
                    f"partition {dim}: {key!r} is not a partition key ({exc})"
                ) from None
            pairs.append((str(dim), key))
    return pairs


def _params(value: Mapping[str, Any] | None) -> dict[str, Any]:
    if value is None:
        return {}
    if not isinstance(value, Mapping) or not all(isinstance(k, str) for k in value):
        raise UsageError(f"params must be a dict from parameter name to value, not {value!r}")
    for name, item in value.items():
        try:
            canonical_json(item)
        except (TypeError, ValueError) as exc:
            raise UsageError(f"params {name}: the value is not JSON ({exc})") from None
    return dict(value)


def _count(name: str, value: int | None, least: int) -> int | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int) or value < least:
        raise UsageError(f"{name} must be a whole number of at least {least}, not {value!r}")
    return value


def _choice(name: str, value: str | None, allowed: Iterable[str]) -> str | None:
    allowed = list(allowed)
    if value is None or value in allowed:
        return value
    close = difflib.get_close_matches(str(value), allowed, n=1)
    hint = f"; did you mean '{close[0]}'?" if close else ""
    raise UsageError(f"{name}: '{value}' is not one of {', '.join(allowed)}{hint}")
