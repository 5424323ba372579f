"""The check of each asset's declared serializer: known here, and its library installed."""

from __future__ import annotations

from typing import Any

from quarn.runner.graph.model import Asset, Report
from quarn.runner.store.serializers import availability, unknown_message

# The document member under which discovery hands over the project's own registrations.
REPORTED = "quarn_serializers"


def check_serializers(
    assets: list[Asset], document: Any, report: Report, default: str | None = None
) -> None:
    """Reported before anything runs: a job would otherwise fail only after its upstreams
    ran, or after its own function did the work. The project's `default` is reported once,
    at the first asset that relies on it."""
    declared = [(a, a.metadata.get("serializer")) for a in assets if isinstance(a.metadata, dict)]
    relying = [a for a, name in declared if name is None]
    checked = default is not None and bool(relying)
    if checked:
        declared.insert(0, (relying[0], default))
    if not any(name is not None for _, name in declared):
        return
    reported = document.get(REPORTED) if isinstance(document, dict) else None
    if not isinstance(reported, dict):
        reported = None  # the project's registrations unseen: only the worker can tell
    usable = availability(reported)
    for index, (asset, name) in enumerate(declared):
        if name is None:
            continue
        lead = "the project's default serializer: " if checked and index == 0 else ""
        if not isinstance(name, str):
            report(asset, "its declared serializer is not a text")
        elif name not in usable:
            if reported is not None:
                report(asset, lead + unknown_message(name, usable))
        elif usable[name] is not None:
            report(asset, lead + str(usable[name]))
