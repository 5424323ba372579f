"""Why a job failed: its failure record, its signal, or its last output, and the last frames
of the traceback its worker printed."""

from __future__ import annotations

import os
import signal


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
    tail = _tail(log, 4096)
    lines = [line.strip() for line in tail.splitlines() if line.strip()]
    return lines[-1] if lines else ""


_TRACEBACK = "Traceback (most recent call last):"
_FRAMES_SHOWN = 3
_TAIL_BYTES = 64 * 1024


def last_frames(log: str, count: int = _FRAMES_SHOWN) -> list[str]:
    """The last `count` frames of the last traceback in the log (each `File ...` line with
    the source line below it), innermost last; [] when the log holds no traceback."""
    tail = _tail(log, _TAIL_BYTES)
    start = tail.rfind(_TRACEBACK)
    if start < 0:
        return []
    frames: list[list[str]] = []
    for line in tail[start:].splitlines()[1:]:
        if line.startswith('  File "'):
            frames.append([line.strip()])
        elif line.startswith("    ") and frames:
            frames[-1].append("  " + line.strip())
        elif not line.startswith(" "):
            break  # the exception line: the record's error says it already
    return [text for frame in frames[-count:] for text in frame[:2]]


def _tail(path: str, size: int) -> str:
    if not path:
        return ""
    try:
        with open(path, "rb") as handle:
            handle.seek(0, os.SEEK_END)
            handle.seek(max(0, handle.tell() - size))
            return handle.read().decode("utf-8", "replace")
    except OSError:
        return ""


def keep_log(path: str) -> str:
    """The log's path when the worker wrote anything; an empty log is removed."""
    try:
        if os.path.getsize(path) == 0:
            os.unlink(path)
            return ""
    except OSError:
        return ""
    return path
