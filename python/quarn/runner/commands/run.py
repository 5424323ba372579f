"""`python -m quarn.run`: discover, check, plan and materialize the assets of some modules.

The run itself is `quarn.materialize`'s; its command line, what it prints and its exit
statuses are `run_console`'s. When the same command found nothing to do last time and
nothing it rested on changed, the answer is given from memory (`remembered`) before any
of that is imported.
"""

from __future__ import annotations

import os
import sys
import traceback
from typing import Any

from quarn.runner.commands import remembered

PROG = "python -m quarn.run"

__all__ = ["main"]


def main(argv: list[str] | None = None, prog: str = PROG) -> int:
    """Runs the command; Ctrl-C before or after the jobs run (while discovering, planning,
    printing) ends it with status 130 too. While they run, the scheduler handles it. A fault
    of the runner itself ends it with status 70 and one line saying where, never a
    traceback over the user's output."""
    words = list(sys.argv[1:] if argv is None else argv)
    try:
        project = remembered.project_files()  # before the command line reads them
        status = remembered.answer(prog, words)
        if status is not None:
            return status
        from quarn.runner.commands.run_console import planned_run

        return planned_run(words, prog, project)
    except KeyboardInterrupt:
        sys.stderr.write(f"\n{prog}: interrupted\n")
        return 130
    except Exception as exc:  # noqa: BLE001 - a fault of ours: one line naming its place
        from quarn.runner.text import one_line

        frames = traceback.extract_tb(exc.__traceback__)
        where = f" at {os.path.basename(frames[-1].filename)}:{frames[-1].lineno}" if frames else ""
        text = one_line(f"{type(exc).__name__}: {exc}")
        sys.stderr.write(f"{prog}: internal error{where}: {text}\n")
        return 70


def __getattr__(name: str) -> Any:
    """`build_parser` and `split_selection`, imported when asked for: the run's options
    import much of the runner."""
    if name in ("build_parser", "split_selection"):
        from quarn.runner.commands import run_options

        return getattr(run_options, name)
    raise AttributeError(name)
