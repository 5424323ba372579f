"""Partition keys: date keys, and inputs that take other keys of the asset's own dimension.

from quarn import asset, daily, previous, window

DAYS = daily("2026-01-01", "2026-03-31")

@asset(partitions={"day": DAYS}, inputs={"moves": moves, "before": previous("balance", "day")})
def balance(day: str, moves: list, before: float = 0.0) -> float:
    return before + sum(moves)

@asset(partitions={"day": DAYS}, inputs={"week": window(balance, "day", 7)})
def weekly(day: str, week: dict) -> float:
    return sum(week[k] for k in week) / len(week)
"""

from __future__ import annotations

import datetime
from typing import Any

from quarn._quarn import AssetWrapper, Partitions, asset, partitions
from quarn.runner.graph import mapping

Upstream = AssetWrapper[..., Any] | str


def previous(upstream: Upstream, dim: str, steps: int = 1) -> str:
    """An input that takes the key `steps` before the job's own in dimension `dim` of
    `upstream` (the @asset function, or its name: an asset may take its own earlier keys,
    `previous("balance", "day")`). Keys count in the upstream's declared order. The first
    `steps` keys have none: the function's default for that parameter applies there, and
    a parameter without a default is a graph error."""
    return mapping.previous(_reference(upstream), dim, steps)


def window(upstream: Upstream, dim: str, size: int) -> str:
    """An input that takes the last `size` keys of dimension `dim` of `upstream`, up to and
    including the job's own key, as a read-only mapping in key order (like a fan-in: member
    name -> value, the name being the key's compact JSON text). The first keys get the
    fewer keys that exist."""
    return mapping.window(_reference(upstream), dim, size)


def daily(start: datetime.date | str, end: datetime.date | str) -> Partitions:
    """The days from `start` to `end`, both included, as keys `"2026-01-05"`."""
    first, last = _day(start, "start"), _day(end, "end")
    _ordered(first, last)
    count = (last - first).days + 1
    return partitions([(first + datetime.timedelta(days=i)).isoformat() for i in range(count)])


def monthly(start: datetime.date | str, end: datetime.date | str) -> Partitions:
    """The months from `start` to `end`, both included, as keys `"2026-01"`; a date or a
    `"2026-01"` or `"2026-01-05"` text names its month."""
    first, last = _month(start, "start"), _month(end, "end")
    _ordered(first, last)
    keys = []
    year, month = first.year, first.month
    while (year, month) <= (last.year, last.month):
        keys.append(f"{year:04d}-{month:02d}")
        year, month = (year + 1, 1) if month == 12 else (year, month + 1)
    return partitions(keys)


def _reference(upstream: object) -> str:
    """The text an `inputs` entry holds for `upstream`, as `asset(inputs=...)` records it."""
    if isinstance(upstream, str):
        return upstream
    if not isinstance(upstream, AssetWrapper):
        raise TypeError(
            f"upstream must be an @asset function or an asset's name, not {type(upstream).__name__}"
        )
    recorded: str = asset(inputs={"upstream": upstream})(_probe).__quarn_metadata__["inputs"][
        "upstream"
    ]
    return recorded


def _probe() -> None:
    """Declared as an asset only to read back the reference the core records for an input."""


def _day(value: object, name: str) -> datetime.date:
    if isinstance(value, datetime.datetime):
        return value.date()
    if isinstance(value, datetime.date):
        return value
    if isinstance(value, str):
        try:
            return datetime.date.fromisoformat(value)
        except ValueError:
            pass
    raise ValueError(f"{name} must be a date or a 'YYYY-MM-DD' text, not {value!r}")


def _month(value: object, name: str) -> datetime.date:
    text = f"{value}-01" if isinstance(value, str) and len(value) == 7 else value
    try:
        return _day(text, name).replace(day=1)
    except ValueError:
        shown = f"a date, a 'YYYY-MM' or a 'YYYY-MM-DD' text, not {value!r}"
        raise ValueError(f"{name} must be {shown}") from None


def _ordered(first: datetime.date, last: datetime.date) -> None:
    if first > last:
        raise ValueError(f"start {first.isoformat()} comes after end {last.isoformat()}")
