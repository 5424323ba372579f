"""What a person sees while a run goes on: a live line, or one line per finished job."""

from __future__ import annotations

import time
from typing import TextIO

from quarn.runner.plan.jobs import Job
from quarn.runner.report.outcome import FAILED, SKIPPED, SUCCEEDED, Outcome
from quarn.runner.report.text import one_line, plural

_REDRAW_SECONDS = 0.1


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
            self._line(f"quarn: running {total} job{plural(total)}{fresh}")

    def set_running(self, running: int) -> None:
        self.running = running
        self.redraw()

    def finished(self, outcome: Outcome) -> None:
        if outcome.status in self.counts:
            self.counts[outcome.status] += 1
        if self.live:
            self.redraw(force=True)
            return
        text = f"{outcome.status:<9} {one_line(outcome.job.display)}"
        if outcome.seconds is not None:
            text += f"  {outcome.seconds:.2f}s"
        if outcome.error:
            text += f"  {one_line(outcome.error)}"
        if outcome.log and outcome.status == FAILED:
            text += f"  (output: {one_line(outcome.log)})"
        self._line(text)

    def attempt_failed(self, job: Job, attempt: int, error: str, delay: float) -> None:
        """One attempt of a job that is tried again failed."""
        self.message(
            f"attempt {attempt} failed: {one_line(job.display)}: {one_line(error)}; "
            f"trying again in {delay:.1f}s"
        )

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
