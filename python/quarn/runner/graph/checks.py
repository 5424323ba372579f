"""The checks of one asset's declaration against its function and its upstreams."""

from __future__ import annotations

import json
from typing import Any

from quarn.runner.canonical import canonical_json
from quarn.runner.graph.lines import Lines
from quarn.runner.graph.model import Asset, Param, Report
from quarn.runner.graph.signature import parse_signature


def read_declaration(asset: Asset, report: Report) -> None:
    meta = asset.metadata
    if not isinstance(meta, dict):
        report(asset, "its declaration (__quarn_metadata__) is not an object")
        return
    inputs = meta.get("inputs")
    if isinstance(inputs, dict):
        for param, ref in inputs.items():
            if isinstance(ref, str):
                asset.inputs[param] = ref
            else:
                report(asset, f"input '{param}' is not an asset reference")
    elif inputs is not None:
        report(asset, "its declared inputs are not an object")
    partitions = meta.get("partitions")
    if isinstance(partitions, dict):
        for dim, declared in sorted(partitions.items()):
            values = None
            if isinstance(declared, dict) and isinstance(declared.get("values_json"), str):
                try:
                    values = json.loads(declared["values_json"])
                except ValueError:
                    values = None
            if not isinstance(values, list):
                report(asset, f"partition dimension '{dim}' has no readable list of keys")
                continue
            keys: dict[str, Any] = {}
            for value in values:
                keys.setdefault(canonical_json(value), value)
            if not keys:
                report(asset, f"partition dimension '{dim}' is empty")
            asset.dims[dim] = list(keys.items())
    elif partitions is not None:
        report(asset, "its declared partitions are not an object")
    asset.signature = parse_signature(asset.function_source, asset.function_name)


def check_names(assets: list[Asset], lines: Lines, report: Report) -> None:
    first: dict[str, Asset] = {}
    for asset in assets:
        name = asset.declared_name
        if name is None:
            continue
        if name in first:
            other = first[name]
            where = f"{other.file_path or other.module}:{lines.line_of(other)}"
            report(asset, f"another asset is also named '{name}' ({where})")
        else:
            first[name] = asset


def check_parameters(asset: Asset, report: Report) -> None:
    """Inputs and dimensions against the function's parameters; the parameters left over
    are the asset's run parameters, and one without a default needs a value."""
    sig = asset.signature
    if sig is None:  # parameters unknown: the worker will tell
        return
    name = asset.function_name
    for param in sorted(asset.inputs):
        if param in asset.dims:
            report(asset, f"input '{param}' has the same name as a partition dimension")
        elif not sig.accepts_keyword(param):
            report(asset, f"input '{param}' is not a parameter of '{name}'")
    for dim in asset.dims:
        if not sig.accepts_keyword(dim):
            report(asset, f"partition dimension '{dim}' is not a parameter of '{name}'")
    for param in sorted(sig.keyword_names - set(asset.inputs) - set(asset.dims)):
        asset.params[param] = Param(param, param in sig.required, sig.defaults.get(param))
    for param in sig.required:
        if param in sig.positional_only:
            report(
                asset,
                f"required parameter '{param}' is positional-only, but inputs and partition "
                "keys are passed by keyword",
            )
        elif param in asset.params:
            report(
                asset,
                f"required parameter '{param}' is neither an input nor a partition dimension, "
                f"and no value is set for it: pass --set {param}=VALUE, or set it in "
                "[tool.quarn.params]",
                needs=param,
            )


def check_mappings(asset: Asset, report: Report) -> None:
    """An input that takes other keys of a dimension needs that dimension on both sides,
    and a default for the keys where it takes none (the first ones, for a previous key)."""
    for param, mapping in sorted(asset.mappings.items()):
        upstream = asset.upstream[param]
        dim = mapping.dim
        lacking = [a.label for a in (asset, upstream) if dim not in a.dims]
        if lacking:
            report(
                asset,
                f"input '{param}' takes keys of partition dimension '{dim}', which "
                f"'{lacking[0]}' does not have",
            )
            continue
        sig = asset.signature
        if sig is None or param not in sig.required:
            continue
        order = {text: i for i, (text, _) in enumerate(upstream.dims[dim])}
        for text, _ in asset.dims[dim]:
            if text in order and not mapping.positions(order[text]):
                steps = f"{mapping.back} step{'' if mapping.back == 1 else 's'}"
                report(
                    asset,
                    f"input '{param}' takes the key {steps} back in dimension '{dim}' of "
                    f"'{upstream.label}', and key {text} has none: give '{param}' a "
                    f"default ({param}=None) to receive nothing there",
                )
                break


def check_shared_keys(asset: Asset, report: Report) -> None:
    """A dimension shared with an upstream needs that upstream's job for each of its keys."""
    for param, upstream in sorted(asset.upstream.items()):
        for dim in sorted(set(asset.dims) & set(upstream.dims)):
            theirs = {k for k, _ in upstream.dims[dim]}
            missing = [k for k, _ in asset.dims[dim] if k not in theirs]
            if missing:
                report(
                    asset,
                    f"input '{param}': key {missing[0]} of partition dimension '{dim}' is not "
                    f"a key of that dimension in upstream '{upstream.label}'",
                )
