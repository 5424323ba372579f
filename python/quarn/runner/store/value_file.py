"""Which file of a job's folder holds its value: the one its success record names.

The record is the stored truth: a serializer's suffix may be known only to the project's
own processes (a serializer it registers), never to the runner.
"""

from __future__ import annotations

import json
import os

from quarn.runner.contract import RESULT_FILE


def stored_value_file(folder: str) -> str | None:
    """The value file's path in `folder`, or None when the folder holds no success record."""
    try:
        with open(os.path.join(folder, RESULT_FILE), encoding="utf-8") as handle:
            record = json.load(handle)
    except (OSError, ValueError, RecursionError):
        return None
    if not isinstance(record, dict) or record.get("ok") is not True:
        return None
    value_path = record.get("value_path")
    if not isinstance(value_path, str) or not value_path:
        return None
    return os.path.join(folder, os.path.basename(value_path))
