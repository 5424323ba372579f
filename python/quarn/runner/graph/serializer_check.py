"""The check of each asset's declared serializer: known, and its library installed."""

from __future__ import annotations

from collections.abc import Callable

from quarn.runner.graph.model import Asset, Report

# Why a declared serializer cannot store values (None: it can), as the caller knows it: the
# registry lives with the output directory's code, which the graph does not reach into.
SerializerProblem = Callable[[str], "str | None"]


def check_serializers(assets: list[Asset], problem: SerializerProblem, report: Report) -> None:
    """Reported before anything runs: a job would otherwise fail only after its upstreams
    ran, or after its own function did the work."""
    for asset in assets:
        name = asset.metadata.get("serializer") if isinstance(asset.metadata, dict) else None
        if name is None:
            continue
        if not isinstance(name, str):
            report(asset, "its declared serializer is not a text")
        elif (why := problem(name)) is not None:
            report(asset, why)
