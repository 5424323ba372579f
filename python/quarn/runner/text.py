"""Small text helpers shared by the progress line, the summary and the commands' tables."""

from __future__ import annotations

import calendar
import re
import time

# C0 controls, DEL and C1 controls: a terminal acts on them (an escape sequence can erase a
# line and print another), so text from user code or data never reaches it raw.
_CONTROL = re.compile(r"[\x00-\x1f\x7f-\x9f]")
_NAMED = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def plural(count: int) -> str:
    return "" if count == 1 else "s"


def one_line(text: str) -> str:
    """`text` on one line, every control character escaped (`\\n`, `\\x1b`)."""
    return _CONTROL.sub(_escape, text)


def _escape(match: re.Match[str]) -> str:
    char = match.group()
    return _NAMED.get(char) or f"\\x{ord(char):02x}"


def clock(seconds: float | None) -> str:
    """A moment in local time, to the second; `-` for none."""
    if seconds is None:
        return "-"
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(seconds))


def clock_utc(stamp: object) -> str:
    """A moment recorded as UTC ISO 8601 (`2026-01-05T10:00:00Z`), in local time like
    `clock`; the text as it is when it does not read as one."""
    if not isinstance(stamp, str):
        return "-"
    try:
        moment = calendar.timegm(time.strptime(stamp, "%Y-%m-%dT%H:%M:%SZ"))
    except ValueError:
        return one_line(stamp)
    return clock(moment)


def duration(seconds: float | None) -> str:
    return "-" if seconds is None else f"{seconds:.2f}s"


def counted(statuses: list[str]) -> str:
    """`3 succeeded, 1 failed`, in order of first appearance."""
    counts: dict[str, int] = {}
    for status in statuses:
        counts[status] = counts.get(status, 0) + 1
    return ", ".join(f"{n} {s}" for s, n in counts.items()) or "no jobs"
