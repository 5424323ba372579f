"""The one reader of a job's result record, and of which file of its folder holds its value:
the one its success record names.

The record is the stored truth: a serializer's suffix may be known only to the project's
own processes (a serializer it registers), never to the runner.
"""

from __future__ import annotations

import json
import os
from typing import Any

from quarn.runner.contract import RESULT_FILE


def read_result(folder: str) -> Any:
    """`result.json` of `folder` as parsed JSON; None when it cannot be read as JSON."""
    try:
        with open(os.path.join(folder, RESULT_FILE), encoding="utf-8") as handle:
            return json.load(handle)
    except (OSError, ValueError, RecursionError):
        return None


def stored_value_file(folder: str) -> str | None:
    """The value file's path in `folder`, or None when the folder holds no success record."""
    found = stored_value(folder)
    return found[0] if found is not None else None


def stored_value(folder: str) -> tuple[str, str | None] | None:
    """The value file's path in `folder` and the name of the serializer that wrote it (None
    when the record does not say), or None when the folder holds no success record. Only
    the record knows the serializer of an asset stored by "auto"."""
    record = read_result(folder)
    if not isinstance(record, dict) or record.get("ok") is not True:
        return None
    value_path = record.get("value_path")
    if not isinstance(value_path, str) or not value_path:
        return None
    name = record.get("artifact_format")
    path = os.path.join(folder, os.path.basename(value_path))
    return path, name if isinstance(name, str) else None
