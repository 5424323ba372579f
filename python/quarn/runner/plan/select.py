"""What a run plans: the selected assets with their upstreams, and the kept partition keys."""

from __future__ import annotations

import json
from collections.abc import Iterable
from typing import Any

from quarn.runner.canonical import canonical_json
from quarn.runner.contract import module_reference
from quarn.runner.graph.model import Asset, Graph

# A run that would start more jobs than this asks for confirmation first.
CONFIRM_ABOVE_JOBS = 100_000


class PlanError(Exception):
    """A request that cannot be planned (unknown asset or partition key); exit status 2."""


def parse_partition_option(text: str) -> tuple[str, Any]:
    """DIM=KEY; KEY is read as JSON when it parses, else taken as a string."""
    dim, sep, raw = text.partition("=")
    if not sep or not dim:
        raise PlanError(f"--partition expects DIM=KEY, got '{text}'")
    try:
        value = json.loads(raw)
    except ValueError:
        value = raw
    return dim, value


def select(graph: Graph, names: Iterable[str]) -> list[Asset]:
    """The assets to plan, in dependency order: the named ones and all their upstreams.

    A name matches an asset's label (declared name, else function name), its display name,
    its module form (`package.module:function`) or its reference (`/path/file.py:function`).
    No names means every asset.
    """
    names = list(names)
    if not names:
        return list(graph.order)
    wanted: set[Asset] = set()
    for name in names:
        matches = [
            a
            for a in graph.assets
            if name in (a.label, a.display, a.ref)
            or name in {module_reference(m, a.function_name) for m in a.modules}
        ]
        if not matches:
            raise PlanError(f"--select '{name}' matches no asset")
        wanted.update(matches)
    stack = list(wanted)
    while stack:
        for up in stack.pop().upstream.values():
            if up not in wanted:
                wanted.add(up)
                stack.append(up)
    return [a for a in graph.order if a in wanted]


def restrict(assets: list[Asset], options: list[tuple[str, Any]]) -> dict[str, set[str]]:
    """Keys kept per restricted dimension, as canonical JSON texts.

    Several options for one dimension keep the union of their keys. Every planned asset
    with that dimension is restricted; one left with none of the keys is an error.
    """
    kept: dict[str, set[str]] = {}
    for dim, value in options:
        kept.setdefault(dim, set()).add(canonical_json(value))
    for dim, texts in kept.items():
        having = [a for a in assets if dim in a.dims]
        if not having:
            raise PlanError(f"--partition {dim}=...: no planned asset has a dimension '{dim}'")
        for asset in having:
            if not any(k in texts for k, _ in asset.dims[dim]):
                shown = ", ".join(sorted(texts))
                raise PlanError(
                    f"--partition {dim}=...: asset '{asset.display}' has no key {shown} "
                    f"in dimension '{dim}'"
                )
    return kept


def kept_keys(asset: Asset, dim: str, kept: dict[str, set[str]]) -> list[tuple[str, Any]]:
    keys = asset.dims[dim]
    if dim in kept:
        keys = [(t, v) for t, v in keys if t in kept[dim]]
    return keys


def count_jobs(assets: list[Asset], kept: dict[str, set[str]]) -> int:
    """How many jobs a plan would hold, without building it."""
    total = 0
    for asset in assets:
        count = 1
        for dim in asset.dims:
            count *= len(kept_keys(asset, dim, kept))
        total += count
    return total
