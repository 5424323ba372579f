"""Why a job failed, as one line: its failure record, its signal, or its last output."""

from __future__ import annotations

import json
import os
import signal

from quarn.runner.contract import RESULT_FILE


def read_result(directory: str) -> object:
    try:
        with open(os.path.join(directory, RESULT_FILE), encoding="utf-8") as handle:
            return json.load(handle)
    except (OSError, ValueError):
        return None


def failure_text(code: int, record: object, log: str) -> str:
    if (
        isinstance(record, dict)
        and record.get("ok") is False
        and isinstance(record.get("error"), str)
    ):
        error: str = record["error"]
        return error
    if code < 0:
        name = _signal_name(-code)
        text = f"killed by signal {-code} ({name})"
        if -code == signal.SIGKILL:
            text += ", possibly out of memory"
        return text
    last = _last_line(log)
    if code == 0:
        text = "worker exited with status 0 but left no success record"
    else:
        text = f"worker exited with status {code} without a failure record"
    return f"{text}: {last}" if last else text


def _signal_name(number: int) -> str:
    try:
        return signal.Signals(number).name
    except ValueError:
        return "unknown signal"


def _last_line(log: str) -> str:
    if not log:
        return ""
    try:
        with open(log, "rb") as handle:
            handle.seek(0, os.SEEK_END)
            handle.seek(max(0, handle.tell() - 4096))
            tail = handle.read().decode("utf-8", "replace")
    except OSError:
        return ""
    lines = [line.strip() for line in tail.splitlines() if line.strip()]
    return lines[-1] if lines else ""


def keep_log(path: str) -> str:
    """The log's path when the worker wrote anything; an empty log is removed."""
    try:
        if os.path.getsize(path) == 0:
            os.unlink(path)
            return ""
    except OSError:
        return ""
    return path
