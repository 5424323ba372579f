"""What a person sees during and after a run: the progress line or lines, and the summary."""

from __future__ import annotations

import time
from dataclasses import dataclass
from typing import TextIO

from quarn._plan import Job

SUCCEEDED = "succeeded"
FAILED = "failed"
SKIPPED = "skipped"
INTERRUPTED = "interrupted"
NOT_RUN = "not run"

# Above this many rows the successful jobs of one asset share a row.
_FULL_TABLE_ROWS = 100
_REDRAW_SECONDS = 0.1


@dataclass(slots=True)
class Outcome:
    """How one job of this run ended."""

    job: Job
    status: str
    seconds: float | None = None
    error: str = ""
    log: str = ""  # path of the worker's captured output, when it wrote any


class Progress:
    """A live line redrawn with \\r on a terminal; otherwise one plain line per finished job."""

    def __init__(self, stream: TextIO, live: bool | None = None) -> None:
        self.stream = stream
        self.live = stream.isatty() if live is None else live
        self.total = 0
        self.counts = {SUCCEEDED: 0, FAILED: 0, SKIPPED: 0}
        self.running = 0
        self.started = time.monotonic()
        self._drawn = 0.0

    def start(self, total: int, up_to_date: int) -> None:
        self.total = total
        self.started = time.monotonic()
        if total:  # with nothing to run, the summary alone says so
            fresh = f" ({up_to_date} up to date)" if up_to_date else ""
            self._line(f"quarn: running {total} job{_s(total)}{fresh}")

    def set_running(self, running: int) -> None:
        self.running = running
        self.redraw()

    def finished(self, outcome: Outcome) -> None:
        if outcome.status in self.counts:
            self.counts[outcome.status] += 1
        if self.live:
            self.redraw(force=True)
            return
        text = f"{outcome.status:<9} {outcome.job.display}"
        if outcome.seconds is not None:
            text += f"  {outcome.seconds:.2f}s"
        if outcome.error:
            text += f"  {_one_line(outcome.error)}"
        if outcome.log and outcome.status == FAILED:
            text += f"  (output: {outcome.log})"
        self._line(text)

    def redraw(self, force: bool = False) -> None:
        if not self.live or not self.total:
            return
        now = time.monotonic()
        if not force and now - self._drawn < _REDRAW_SECONDS:
            return
        self._drawn = now
        c = self.counts
        self.stream.write(
            f"\r\x1b[Kquarn: {c[SUCCEEDED]} done, {self.running} running, {c[FAILED]} failed, "
            f"{c[SKIPPED]} skipped of {self.total}  [{now - self.started:.1f}s]"
        )
        self.stream.flush()

    def close(self) -> None:
        if self.live and self.total:
            self.redraw(force=True)
            self.stream.write("\n")
            self.stream.flush()

    def message(self, text: str) -> None:
        if self.live and self.total:
            self.stream.write("\r\x1b[K")
        self._line(text)

    def _line(self, text: str) -> None:
        self.stream.write(text + "\n")
        self.stream.flush()


def _s(count: int) -> str:
    return "" if count == 1 else "s"


def _one_line(text: str) -> str:
    return text.replace("\r", "\\r").replace("\n", "\\n")


def summary(outcomes: list[Outcome], up_to_date: int, seconds: float, interrupted: bool) -> str:
    """The table of this run's jobs and a totals line."""
    rows: list[list[str]] = []
    if len(outcomes) > _FULL_TABLE_ROWS:
        grouped: dict[str, list[Outcome]] = {}
        for outcome in outcomes:
            if outcome.status == SUCCEEDED:
                grouped.setdefault(outcome.job.asset.display, []).append(outcome)
        for asset, group in grouped.items():
            if len(group) == 1:
                rows.append(_row(group[0]))
            else:
                total = sum(o.seconds or 0.0 for o in group)
                rows.append([asset, f"({len(group)} partitions)", SUCCEEDED, f"{total:.2f}s", ""])
        rows += [_row(o) for o in outcomes if o.status != SUCCEEDED]
    else:
        rows = [_row(o) for o in outcomes]
    lines: list[str] = []
    if rows:
        header = ["ASSET", "PARTITION", "STATUS", "DURATION", "ERROR"]
        widths = [max(len(r[i]) for r in [header, *rows]) for i in range(4)]
        for row in [header, *rows]:
            cells = [row[i].ljust(widths[i]) for i in range(4)]
            lines.append(("  ".join(cells) + ("  " + row[4] if row[4] else "")).rstrip())
    counts: dict[str, int] = {}
    for outcome in outcomes:
        counts[outcome.status] = counts.get(outcome.status, 0) + 1
    parts = [
        f"{counts[s]} {s}"
        for s in (SUCCEEDED, FAILED, SKIPPED, INTERRUPTED, NOT_RUN)
        if counts.get(s)
    ]
    if up_to_date:
        parts.append(f"{up_to_date} up to date")
    total = len(outcomes) + up_to_date
    head = "interrupted" if interrupted else f"{total} job{_s(total)}"
    if not outcomes and not interrupted:
        lines.append(f"nothing to do: {up_to_date} job{_s(up_to_date)} up to date")
    else:
        lines.append(f"{head}: {', '.join(parts) or 'none'} in {seconds:.1f}s")
    return "\n".join(lines) + "\n"


def _row(outcome: Outcome) -> list[str]:
    duration = f"{outcome.seconds:.2f}s" if outcome.seconds is not None else "-"
    return [
        outcome.job.asset.display,
        outcome.job.partition_label or "-",
        outcome.status,
        duration,
        _one_line(outcome.error),
    ]
