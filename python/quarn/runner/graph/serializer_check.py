"""The check of each asset's declared serializer: known here, and its library installed."""

from __future__ import annotations

from typing import Any

from quarn.runner.graph.model import Asset, Report
from quarn.runner.store.serializers import availability, unknown_message

# The document member under which discovery hands over the project's own registrations.
REPORTED = "quarn_serializers"


def check_serializers(assets: list[Asset], document: Any, report: Report) -> None:
    """Reported before anything runs: a job would otherwise fail only after its upstreams
    ran, or after its own function did the work."""
    declared = [(a, a.metadata.get("serializer")) for a in assets if isinstance(a.metadata, dict)]
    if not any(name is not None for _, name in declared):
        return
    reported = document.get(REPORTED) if isinstance(document, dict) else None
    if not isinstance(reported, dict):
        reported = None  # the project's registrations unseen: only the worker can tell
    usable = availability(reported)
    for asset, name in declared:
        if name is None:
            continue
        if not isinstance(name, str):
            report(asset, "its declared serializer is not a text")
        elif name not in usable:
            if reported is not None:
                report(asset, unknown_message(name, usable))
        elif usable[name] is not None:
            report(asset, str(usable[name]))
