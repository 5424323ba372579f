"""What a person sees while a run goes on, and the summary after it.

On a terminal, a live line on standard error, then the summary table. Elsewhere (a CI log,
a file), the summary table itself is printed a row at a time as the jobs end, so the log
follows the run and names each job once. `quiet` prints the summary alone.

With `verbose`, what each running job prints is streamed as it grows, each line prefixed by
the job: the lines are read from the jobs' log files on every redraw, so the executor only
says which job started with which log.
"""

from __future__ import annotations

import shutil
import time
from dataclasses import dataclass
from typing import TextIO

from quarn.runner.plan.jobs import Job
from quarn.runner.report.outcome import Outcome
from quarn.runner.report.summary import Table, summary, totals, widths_before
from quarn.runner.state.words import Status
from quarn.runner.text import one_line, plural

_REDRAW_SECONDS = 0.1
_STREAM_CHUNK = 1 << 16


@dataclass(slots=True)
class _Log:
    path: str
    offset: int = 0
    partial: bytes = b""


class Progress:
    """A live line redrawn with \\r on `stream` when it is a terminal; otherwise the rows of
    the summary on `table` (default: `stream`) as the jobs end."""

    def __init__(
        self,
        stream: TextIO,
        live: bool | None = None,
        verbose: bool = False,
        quiet: bool = False,
        table: TextIO | None = None,
    ) -> None:
        self.stream = stream
        self.quiet = quiet
        self.live = not quiet and (stream.isatty() if live is None else live)
        self.verbose = verbose
        self.table_stream = table or stream
        self._table: Table | None = None  # the summary printed so far, row by row
        self._printed: set[Job] = set()
        self.where = ""
        self.total = 0
        self.counts = {Status.SUCCEEDED: 0, Status.FAILED: 0, Status.SKIPPED: 0}
        self.running = 0
        self.started = time.monotonic()
        self.started_at: dict[Job, float] = {}  # wall-clock start of each job that started
        self._running: dict[Job, _Log] = {}  # in start order
        self._drawn = 0.0

    def start(self, jobs: list[Job], up_to_date: int, where: str = "") -> None:
        """The run of `jobs` begins, into the output directory `where` (named once: here,
        or in the summary when there is nothing to run)."""
        self.total = total = len(jobs)
        self.where = where
        self.started = time.monotonic()
        if not total or self.quiet:
            return
        fresh = f" ({up_to_date} up to date)" if up_to_date else ""
        place = f" in {one_line(where)}" if where else ""
        self._line(f"quarn: running {total} job{plural(total)}{place}{fresh}")
        if not self.live:
            self._table = Table(widths_before(jobs))
            self._rows([self._table.header()])

    def job_started(self, job: Job, log_path: str) -> None:
        """A job (or another attempt of it) started, writing its output to `log_path`."""
        self.started_at.setdefault(job, time.time())
        self._running[job] = _Log(log_path)

    def set_running(self, running: int) -> None:
        self.running = running
        self.redraw()

    def finished(self, outcome: Outcome) -> None:
        log = self._running.pop(outcome.job, None)
        if log is not None and self.verbose:
            if outcome.log:  # the log has moved with the job's files into its folder
                log.path = outcome.log
            self._stream_log(outcome.job, log, final=True)
        if outcome.status in self.counts:
            self.counts[outcome.status] += 1
        if self.live:
            self.redraw(force=True)
        elif self._table is not None and outcome.status != Status.UP_TO_DATE:
            self._printed.add(outcome.job)
            self._rows(self._table.outcome(outcome))

    def summary(
        self, outcomes: list[Outcome], up_to_date: int, seconds: float, interrupted: bool
    ) -> str:
        """What is left to print of the summary: all of it, or after the rows printed as
        the jobs ended, the rows of the others (not run, waiting) and the totals."""
        if self._table is None:
            return summary(outcomes, up_to_date, seconds, interrupted, self.where)
        rest = [
            line for o in outcomes if o.job not in self._printed for line in self._table.outcome(o)
        ]
        return "".join(
            line + "\n" for line in [*rest, totals(outcomes, up_to_date, seconds, interrupted)]
        )

    def attempt_failed(self, job: Job, attempt: int, error: str, delay: float) -> None:
        """One attempt of a job that is tried again failed."""
        if self.quiet:
            return
        self.message(
            f"attempt {attempt} failed: {one_line(job.display)}: {one_line(error)}; "
            f"trying again in {delay:.1f}s"
        )

    def redraw(self, force: bool = False) -> None:
        if self.verbose:
            for job, log in self._running.items():
                self._stream_log(job, log, final=False)
        if not self.live or not self.total:
            return
        now = time.monotonic()
        if not force and now - self._drawn < _REDRAW_SECONDS:
            return
        self._drawn = now
        self.stream.write("\r\x1b[K" + self.line(now, shutil.get_terminal_size().columns))
        self.stream.flush()

    def line(self, now: float, width: int) -> str:
        """The live line, then as many running jobs as fit in `width` columns."""
        done, failed, skipped = (self.counts[s] for s in self.counts)
        counts = (
            f"quarn: {done} done, {self.running} running, {failed} failed, "
            f"{skipped} skipped of {self.total}  [{now - self.started:.1f}s]"
        )
        names = running_names([one_line(j.display) for j in self._running], width - len(counts))
        return counts + names

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

    def _rows(self, lines: list[str]) -> None:
        self.table_stream.write("".join(line + "\n" for line in lines))
        self.table_stream.flush()

    def _stream_log(self, job: Job, log: _Log, final: bool) -> None:
        """Prints the complete lines the job's log gained since the last look."""
        try:
            with open(log.path, "rb") as handle:
                handle.seek(log.offset)
                data = handle.read(_STREAM_CHUNK if not final else -1)
        except OSError:
            return
        log.offset += len(data)
        data = log.partial + data
        lines = data.split(b"\n")
        log.partial = lines.pop()
        if final and log.partial:
            lines.append(log.partial)
            log.partial = b""
        if not lines:
            return
        prefix = f"[{one_line(job.display)}] "
        text = "".join(
            prefix + one_line(line.decode("utf-8", "replace").rstrip("\r")) + "\n" for line in lines
        )
        self.message(text.rstrip("\n"))


def running_names(names: list[str], room: int) -> str:
    """`  a, b, +3`: as many names as fit in `room` columns with the count of the others; the
    first name shortened with "…" when not even it fits whole, nothing when that is too
    little to read."""
    if not names:
        return ""
    shown: list[str] = []
    for index, name in enumerate(names):
        rest = len(names) - index - 1
        text = "  " + ", ".join([*shown, name]) + (f", +{rest}" if rest else "")
        if len(text) > room:
            break
        shown.append(name)
    rest = len(names) - len(shown)
    if shown:
        return "  " + ", ".join(shown) + (f", +{rest}" if rest else "")
    more = f", +{rest - 1}" if rest > 1 else ""
    keep = room - len("  …") - len(more)
    return f"  {names[0][:keep]}…{more}" if keep >= 8 else ""
