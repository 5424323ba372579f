"""A run that prints as it goes, as `quarn run` does: the progress and notes on standard
error, the summary table on standard output."""

from __future__ import annotations

import sys

from quarn.runner.api.flow import Listener, Planned, Ran
from quarn.runner.report.plan_text import dry_run, dry_run_json, orphans_text, why_lines
from quarn.runner.report.progress import Progress
from quarn.runner.text import one_line


class Echo(Listener):
    """Prints what a run says; `prog` begins its warnings and errors."""

    def __init__(
        self,
        prog: str = "quarn",
        *,
        verbose: bool = False,
        quiet: bool = False,
        why: bool = False,
        stats: bool = False,
        as_json: bool = False,
    ) -> None:
        self.prog = prog
        self.quiet = quiet
        self.why = why
        self.stats = stats
        self.as_json = as_json  # a check-only run's plan as one JSON document
        self.answered = ""  # what `finished` wrote on standard output
        self.output = sys.stderr
        self.progress = Progress(sys.stderr, verbose=verbose, quiet=quiet, table=sys.stdout)

    def error(self, text: str) -> None:
        self._line(f"{self.prog}: error: {one_line(text)}")

    def warning(self, text: str) -> None:
        self._line(f"{self.prog}: warning: {one_line(text)}")

    def note(self, text: str) -> None:
        if not self.quiet:
            self._line(f"quarn: note: {one_line(text)}")

    def orphans(self, text: str) -> None:
        self._line(text)

    def waiting(self, out: str, holder: str) -> None:
        self._line(f"{self.prog}: waiting for {one_line(out)}, in use by {one_line(holder)}")

    def planned(self, planned: Planned) -> None:
        if self.why:
            sys.stderr.write(why_lines(planned.prepared))
            sys.stderr.flush()

    def finished(self, ran: Ran) -> None:
        """The summary table, then what went wrong beside the jobs; for a check-only run,
        the plan. What goes to standard output is kept in `answered`."""
        execution = ran.execution
        if execution is None:
            self._plan(ran.planned)
            return
        interrupted = bool(execution.interrupted)
        self.answered = self.progress.summary(
            ran.outcomes, ran.up_to_date, ran.seconds, interrupted
        )
        sys.stdout.write(self.answered)
        sys.stdout.flush()
        if self.stats and ran.stats is not None:
            self._line(ran.stats.text())
        if execution.manifest_error and not interrupted:
            self.error(
                f"the manifest could not be saved ({execution.manifest_error}); "
                "the next run repeats this run's jobs"
            )
        if ran.history_error:
            self.error(ran.history_error)

    def _plan(self, planned: Planned) -> None:
        prepared, assets = planned.prepared, len(planned.assets)
        if self.as_json:
            manifest = planned.manifest
            self.answered = (
                dry_run_json(prepared, assets, planned.count, manifest, planned.where) + "\n"
            )
        else:
            self.answered = dry_run(prepared, assets, planned.count, self.why, planned.where)
        sys.stdout.write(self.answered)
        sys.stdout.flush()
        if self.as_json:
            return
        if prepared.orphans:
            self._line(orphans_text(prepared.orphans, planned.manifest, False))

    def _line(self, text: str) -> None:
        sys.stderr.write(text + "\n")
        sys.stderr.flush()
