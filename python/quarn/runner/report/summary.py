"""The table of a run's jobs and its totals line: printed after the run, or on a log a row
at a time as the jobs end."""

from __future__ import annotations

from quarn.runner.graph.model import Asset
from quarn.runner.plan.jobs import Job
from quarn.runner.report.outcome import Outcome
from quarn.runner.state.words import Status
from quarn.runner.text import one_line, plural

# Above this many rows the successful jobs of one asset share a row.
_FULL_TABLE_ROWS = 100
# Failed jobs shown with the last frames of their traceback and their log below their row;
# beyond these, only their rows.
_DETAILED_FAILURES = 20
_INDENT = "    "

# The statuses the totals line counts, in its order; up to date jobs are counted apart.
_TOTALS = (
    Status.SUCCEEDED,
    Status.FAILED,
    Status.SKIPPED,
    Status.WAITING,
    Status.INTERRUPTED,
    Status.NOT_RUN,
)

# A row's cells (asset, partition, status, duration, error) and the outcome it stands for
# (None for a row that groups several).
_Row = tuple[list[str], Outcome | None]


HEADER = ["ASSET", "PARTITION", "STATUS", "DURATION", "ERROR"]
# The widest status word: a table printed a row at a time cannot measure its rows first.
_STATUS_WIDTH = max(len(s) for s in _TOTALS)


def summary(
    outcomes: list[Outcome], up_to_date: int, seconds: float, interrupted: bool, where: str = ""
) -> str:
    """The table of this run's jobs and a totals line; `where`, the output directory, is
    named when there was nothing to do (a run that ran something named it first)."""
    rows: list[_Row] = []
    if len(outcomes) > _FULL_TABLE_ROWS:
        grouped: dict[str, list[Outcome]] = {}
        for outcome in outcomes:
            if outcome.status == Status.SUCCEEDED:
                grouped.setdefault(asset_title(outcome.job.asset), []).append(outcome)
        for asset, group in grouped.items():
            if len(group) == 1:
                rows.append(_row(group[0]))
            else:
                total = sum(o.seconds or 0.0 for o in group)
                cells = [
                    one_line(asset),
                    f"({len(group)} partitions)",
                    Status.SUCCEEDED,
                    f"{total:.2f}s",
                ]
                rows.append(([*cells, ""], None))
        rows += [_row(o) for o in outcomes if o.status != Status.SUCCEEDED]
    else:
        rows = [_row(o) for o in outcomes]
    lines: list[str] = []
    if rows:
        table = Table(widths([HEADER, *(cells for cells, _ in rows)]))
        lines.append(table.header())
        for cells, shown in rows:
            lines += table.row(cells, shown)
    lines.append(totals(outcomes, up_to_date, seconds, interrupted, where))
    return "\n".join(lines) + "\n"


def totals(
    outcomes: list[Outcome], up_to_date: int, seconds: float, interrupted: bool, where: str = ""
) -> str:
    """`5 jobs: 4 succeeded, 1 failed in 2.1s`, or that there was nothing to do."""
    counts: dict[str, int] = {}
    for outcome in outcomes:
        counts[outcome.status] = counts.get(outcome.status, 0) + 1
    parts = [f"{counts[s]} {s}" for s in _TOTALS if counts.get(s)]
    if up_to_date:
        parts.append(f"{up_to_date} up to date")
    total = len(outcomes) + up_to_date
    head = "interrupted" if interrupted else f"{total} job{plural(total)}"
    if not outcomes and not interrupted:
        place = f" in {one_line(where)}" if where else ""
        return f"nothing to do: {up_to_date} job{plural(up_to_date)} up to date{place}"
    return f"{head}: {', '.join(parts) or 'none'} in {seconds:.1f}s"


def widths(rows: list[list[str]]) -> list[int]:
    """The widths of the padded columns (all but the last) that fit `rows`."""
    return [max(len(r[i]) for r in rows) for i in range(len(HEADER) - 1)]


def widths_before(jobs: list[Job]) -> list[int]:
    """The widths of a table of `jobs` measured before they end: their names are known,
    their status is at most the widest status word."""
    cells = [
        [one_line(asset_title(j.asset)), one_line(j.partition_label) or "-", "", ""] for j in jobs
    ]
    found = widths([HEADER, *([*c, ""] for c in cells)])
    found[2] = max(found[2], _STATUS_WIDTH)
    return found


class Table:
    """The summary's lines, a row (and the details below a failed job's row) at a time."""

    def __init__(self, widths: list[int]) -> None:
        self.widths = widths
        self.detailed = 0  # failed jobs shown with their last frames and log

    def header(self) -> str:
        return self._line(HEADER)

    def row(self, cells: list[str], shown: Outcome | None) -> list[str]:
        lines = [self._line(cells)]
        failed = shown is not None and shown.status == Status.FAILED
        if shown is not None and failed and self.detailed < _DETAILED_FAILURES:
            below = _below(shown)
            self.detailed += bool(below)
            lines += below
        return lines

    def outcome(self, outcome: Outcome) -> list[str]:
        return self.row(*_row(outcome))

    def _line(self, row: list[str]) -> str:
        cells = [row[i].ljust(self.widths[i]) for i in range(len(self.widths))]
        return ("  ".join(cells) + ("  " + row[-1] if row[-1] else "")).rstrip()


def _row(outcome: Outcome) -> _Row:
    duration = f"{outcome.seconds:.2f}s" if outcome.seconds is not None else "-"
    error = outcome.error
    if outcome.earlier:
        attempts = "; ".join(f"attempt {n}: {e}" for n, e in enumerate(outcome.earlier, 1))
        note = f"(attempt {len(outcome.earlier) + 1}; {attempts})"
        error = f"{error} {note}" if error else note
    cells = [
        one_line(asset_title(outcome.job.asset)),
        one_line(outcome.job.partition_label) or "-",
        outcome.status,
        duration,
        one_line(error),
    ]
    return cells, outcome


def _below(outcome: Outcome) -> list[str]:
    """The last traceback frames of a failed job and the path of its log."""
    lines = [_INDENT + one_line(frame) for frame in outcome.frames]
    if outcome.log:
        lines.append(f"{_INDENT}log: {one_line(outcome.log)}")
    return lines


def asset_title(asset: Asset) -> str:
    """The shown name, and where two assets share a label, the module that tells them apart:
    `report-7cbf6953 (sales.web)`."""
    if asset.display == asset.label:
        return asset.display
    return f"{asset.display} ({asset.module})"
