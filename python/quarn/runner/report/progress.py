"""What a person sees while a run goes on: a live line, or one line per finished job.

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
    """A live line redrawn with \\r on a terminal; otherwise one plain line per finished job."""

    def __init__(self, stream: TextIO, live: bool | None = None, verbose: bool = False) -> None:
        self.stream = stream
        self.live = stream.isatty() if live is None else live
        self.verbose = verbose
        self.total = 0
        self.counts = {Status.SUCCEEDED: 0, Status.FAILED: 0, Status.SKIPPED: 0}
        self.running = 0
        self.started = time.monotonic()
        self.started_at: dict[Job, float] = {}  # wall-clock start of each job that started
        self._running: dict[Job, _Log] = {}  # in start order
        self._drawn = 0.0

    def start(self, total: int, up_to_date: int) -> None:
        self.total = total
        self.started = time.monotonic()
        if total:  # with nothing to run, the summary alone says so
            fresh = f" ({up_to_date} up to date)" if up_to_date else ""
            self._line(f"quarn: running {total} job{plural(total)}{fresh}")

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
            return
        text = f"{outcome.status:<9} {one_line(outcome.job.display)}"
        if outcome.seconds is not None:
            text += f"  {outcome.seconds:.2f}s"
        if outcome.error:
            text += f"  {one_line(outcome.error)}"
        if outcome.log and outcome.status == Status.FAILED:
            text += f"  (output: {one_line(outcome.log)})"
        self._line(text)

    def attempt_failed(self, job: Job, attempt: int, error: str, delay: float) -> None:
        """One attempt of a job that is tried again failed."""
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
