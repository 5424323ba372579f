"""The check of each asset's declared serializer: known, and its library installed."""

from __future__ import annotations

from collections.abc import Callable

from quarn.runner.graph.model import Asset, Report

# Why a declared serializer cannot store values (None: it can), as the caller knows it: the
# registry lives with the output directory's code, which the graph does not reach into.
SerializerProblem = Callable[[str], "str | None"]


def check_serializers(
    assets: list[Asset], problem: SerializerProblem, report: Report, default: str | None = None
) -> None:
    """Reported before anything runs: a job would otherwise fail only after its upstreams
    ran, or after its own function did the work. The project's `default` is reported once,
    at the first asset that relies on it."""
    declared = [(a, a.metadata.get("serializer")) for a in assets if isinstance(a.metadata, dict)]
    relying = [a for a, name in declared if name is None]
    checked = default is not None and bool(relying)
    if checked:
        declared.insert(0, (relying[0], default))
    for index, (asset, name) in enumerate(declared):
        if name is None:
            continue
        lead = "the project's default serializer: " if checked and index == 0 else ""
        if not isinstance(name, str):
            report(asset, "its declared serializer is not a text")
        elif (why := problem(name)) is not None:
            report(asset, lead + why)
