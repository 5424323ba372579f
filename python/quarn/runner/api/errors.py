"""Why a run could not start or finish as asked, as the exceptions `quarn.materialize` raises.

A job that fails is not one of them: it is an outcome of the run, in its result. Each class
carries the exit status `quarn run` ends with for it.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence

from quarn.runner.text import one_line


class RunError(Exception):
    """The run could not start or finish (an output directory that cannot be written, a
    cluster that cannot be reached); the message says what and where."""

    status = 1

    def __init__(self, message: str, details: Sequence[str] = ()) -> None:
        super().__init__(message)
        self.message = message
        self.details = tuple(details)  # further lines, one problem each

    def __str__(self) -> str:
        return "\n".join([self.message, *(f"  {line}" for line in self.details)])


class GraphError(RunError):
    """The asset graph cannot be made or has problems, and nothing ran: a module that names
    nothing or cannot be imported, the checks' diagnostics (`details`, one per line, as
    `quarn check` prints them), no asset at all, two jobs that would share a folder."""

    def __init__(
        self,
        message: str,
        details: Sequence[str] = (),
        text: Callable[[str], str] | None = None,
    ) -> None:
        super().__init__(message, details)
        self._text = text

    def text(self, prog: str) -> str:
        """What a command prints for it, its lines beginning with `prog` where they name
        no file: the details, then the message (or modules that could not be imported,
        each as its block)."""
        if self._text is not None:
            return self._text(prog)
        lines = [*self.details, f"{prog}: error: {self.message}"]
        return "".join(one_line(line) + "\n" for line in lines)


class UsageError(RunError, ValueError):
    """An argument the run cannot take: an unknown asset in `select`, an unknown dimension
    or key in `partition`, options that do not go together, a project file that cannot be
    used."""

    status = 2


class OutputInUseError(RunError):
    """Another run holds the output directory; `wait=True` waits for it instead."""

    status = 2
