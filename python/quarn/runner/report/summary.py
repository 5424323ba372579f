"""The table printed after a run, and its totals line."""

from __future__ import annotations

from quarn.runner.graph.model import Asset
from quarn.runner.report.outcome import Outcome
from quarn.runner.state.words import Status
from quarn.runner.text import one_line, plural

# Above this many rows the successful jobs of one asset share a row.
_FULL_TABLE_ROWS = 100
# Failed jobs shown with the last frames of their traceback and their log below their row;
# beyond these, each failed job's progress line names its log.
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


def summary(outcomes: list[Outcome], up_to_date: int, seconds: float, interrupted: bool) -> str:
    """The table of this run's jobs and a totals line."""
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
    detailed = 0
    if rows:
        header = ["ASSET", "PARTITION", "STATUS", "DURATION", "ERROR"]
        table = [header, *(cells for cells, _ in rows)]
        widths = [max(len(r[i]) for r in table) for i in range(4)]
        for row, shown in [(header, None), *rows]:
            cells = [row[i].ljust(widths[i]) for i in range(4)]
            lines.append(("  ".join(cells) + ("  " + row[4] if row[4] else "")).rstrip())
            if (
                shown is not None
                and shown.status == Status.FAILED
                and detailed < _DETAILED_FAILURES
            ):
                below = _below(shown)
                detailed += bool(below)
                lines += below
    counts: dict[str, int] = {}
    for outcome in outcomes:
        counts[outcome.status] = counts.get(outcome.status, 0) + 1
    parts = [
        f"{counts[s]} {s}"
        for s in (
            Status.SUCCEEDED,
            Status.FAILED,
            Status.SKIPPED,
            Status.WAITING,
            Status.INTERRUPTED,
            Status.NOT_RUN,
        )
        if counts.get(s)
    ]
    if up_to_date:
        parts.append(f"{up_to_date} up to date")
    total = len(outcomes) + up_to_date
    head = "interrupted" if interrupted else f"{total} job{plural(total)}"
    if not outcomes and not interrupted:
        lines.append(f"nothing to do: {up_to_date} job{plural(up_to_date)} up to date")
    else:
        lines.append(f"{head}: {', '.join(parts) or 'none'} in {seconds:.1f}s")
    return "\n".join(lines) + "\n"


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
