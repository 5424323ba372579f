"""Run parameters: the values a run gives to function parameters that are neither inputs nor
partition dimensions (`--set threshold=0.8`, the project file's `[tool.quarn.params]`, the
Python API's `params=`).

A name is one parameter across the graph: every asset with a parameter of that name gets the
value. A value is a JSON value, and only a value given counts in a job's version: a parameter
left to its default is covered by the function's code.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

from quarn.runner.canonical import canonical_json
from quarn.runner.graph.model import Asset, Diagnostic, Graph
from quarn.runner.plan.select import PlanError, choices, json_or_text


class ParamError(PlanError):
    """A value for no parameter, or a value that is not JSON; exit status 2."""


@dataclass(frozen=True, slots=True)
class Params:
    """The values of the run's parameters, what the project file named in vain, and the
    graph's diagnostics less the required parameters those values settle."""

    values: dict[str, Any] = field(default_factory=dict)
    warnings: list[str] = field(default_factory=list)
    diagnostics: list[Diagnostic] = field(default_factory=list)


def parse_set_option(text: str) -> tuple[str, Any]:
    """NAME=VALUE; VALUE read as JSON when it parses, else taken as a string (as --partition)."""
    name, sep, raw = text.partition("=")
    if not sep or not name:
        raise ParamError(f"--set expects NAME=VALUE, got '{text}'")
    return name, json_or_text(raw)


def settle_params(
    graph: Graph,
    given: Mapping[str, Any],
    configured: Mapping[str, Any] | None = None,
    *,
    given_as: str = "--set {}=...",
    configured_as: str = "[tool.quarn.params]",
) -> Params:
    """The values for the graph's parameters: `configured` (the project file's) overridden
    by `given` (the command line's or the caller's). A given name that no asset declares
    is an error naming the closest ones; a configured one is a warning (the project's
    other modules may declare it). `given_as` and `configured_as` name the sources in
    messages."""
    declared = sorted({name for a in graph.assets for name in a.params})
    values: dict[str, Any] = {}
    warnings: list[str] = []
    for name, value in (configured or {}).items():
        if name not in declared:
            hint = choices([name], declared, "parameters", "'{}'")
            warnings.append(f"{configured_as}: no asset has a parameter '{name}'{hint}")
            continue
        values[name] = _checked(value, f"{configured_as} {name}")
    for name, value in given.items():
        where = given_as.format(name)
        if name not in declared:
            raise ParamError(f"{where}: {_not_declared(graph.assets, name, declared)}")
        values[name] = _checked(value, where)
    left = [d for d in graph.diagnostics if not d.needs or d.needs not in values]
    return Params(values, warnings, left)


def used_params(asset: Asset, values: Mapping[str, Any]) -> dict[str, Any]:
    """The values the asset's jobs are given, by name; a value equal to the parameter's
    literal default is left out, as the default itself."""
    used: dict[str, Any] = {}
    for name, param in asset.params.items():
        if name in values and canonical_json(values[name]) != param.default:
            used[name] = values[name]
    return used


def _not_declared(assets: list[Asset], name: str, declared: list[str]) -> str:
    for asset in assets:
        if name in asset.dims:
            return (
                f"'{name}' is a partition dimension of asset '{asset.display}', not a "
                f"parameter; choose its keys with --partition {name}=KEY"
            )
        if name in asset.inputs:
            return f"'{name}' is an input of asset '{asset.display}', not a parameter"
    return f"no asset has a parameter '{name}'" + choices([name], declared, "parameters", "'{}'")


def _checked(value: Any, where: str) -> Any:
    problem = _json_problem(value)
    if problem:
        raise ParamError(f"{where}: {problem}")
    return value


def _json_problem(value: Any, depth: int = 0) -> str:
    """Why `value` is not a JSON value a job can be given, or ""."""
    if depth > 100:
        return "a value nested more than 100 deep"
    if value is None or isinstance(value, bool | int | str):
        return ""
    if isinstance(value, float):
        return "" if math.isfinite(value) else f"{value} is not a JSON number"
    if isinstance(value, list | tuple):
        return next((p for v in value if (p := _json_problem(v, depth + 1))), "")
    if isinstance(value, dict):
        if not all(isinstance(k, str) for k in value):
            return "a JSON object's names are strings"
        return next((p for v in value.values() if (p := _json_problem(v, depth + 1))), "")
    kinds = "text, number, true/false, null, list, table"
    return f"expected a JSON value ({kinds}), not {type(value).__name__}"
