"""Which folders are output directories: those quarn made, marked at their first run.

A run writes only into a folder it may own, and `quarn clean` or `--prune` deletes only in
a folder a run marked: an `--out` mistyped as `.` or `~` must never turn the project, the
home folder or the whole disk into something to clean.
"""

from __future__ import annotations

import os
import stat
from collections.abc import Iterable

from quarn.runner.contract import MANIFEST_FILE, MARKER_FILE, REPORT_FILE, STATE_DIR
from quarn.runner.store.atomic import is_temporary, write_atomic
from quarn.runner.store.paths import check_own_paths

_MARKER_TEXT = (
    "quarn made this folder as an output directory: `quarn run` writes into it, and\n"
    "`quarn clean` removes from it only what the runs recorded.\n"
)
_OWN_NAMES = frozenset((MANIFEST_FILE, STATE_DIR, REPORT_FILE))
_CHOOSE = "choose a folder of its own, new or empty (the default is out)"


class OutputDirError(Exception):
    """A folder quarn does not use as an output directory; the message says why."""


def marker_path(out_dir: str) -> str:
    return os.path.join(out_dir, STATE_DIR, MARKER_FILE)


def _is(path: str, kind: int) -> bool:
    try:
        return stat.S_IFMT(os.lstat(path).st_mode) == kind
    except OSError:
        return False


def is_output_dir(out_dir: str) -> bool:
    """Marked by a run; or made by a quarn from before the marker (its state folder and its
    manifest are there), which its next run marks."""
    if _is(marker_path(out_dir), stat.S_IFREG):
        return True
    state, manifest = os.path.join(out_dir, STATE_DIR), os.path.join(out_dir, MANIFEST_FILE)
    return _is(state, stat.S_IFDIR) and _is(manifest, stat.S_IFREG)


def _holds(folder: str, path: str) -> bool:
    return path == folder or path.startswith(folder.rstrip(os.sep) + os.sep)


def refusal(out_dir: str, sources: Iterable[str], home: str | None = None) -> str:
    """Why a run may not write into `out_dir`, or "" when it may. `sources` are the folders
    of the run's modules and of the project (the current folder): an output directory
    never holds them."""
    if out_dir == "":
        return f"--out names no folder; {_CHOOSE}"
    real = os.path.realpath(out_dir)
    home = os.path.realpath(home or os.path.expanduser("~"))
    if os.path.dirname(real) == real:
        return f"--out {out_dir} is the root folder; {_CHOOSE}"
    if real == home:
        return f"--out {out_dir} is the home folder; {_CHOOSE}"
    for source in sources:
        if _holds(real, os.path.realpath(source)):
            return f"--out {out_dir} holds the project's sources ({source}); {_CHOOSE}"
    if not os.path.lexists(out_dir) or is_output_dir(out_dir):
        return ""
    if not os.path.isdir(out_dir):
        return f"--out {out_dir} is not a folder; {_CHOOSE}"
    try:
        names = os.listdir(out_dir)
    except OSError as exc:
        return f"cannot read --out {out_dir}: {exc.strerror}"
    foreign = sorted(n for n in names if n not in _OWN_NAMES and not is_temporary(n))
    if not foreign:
        return ""  # empty, or only what a run writes first: nothing of anyone else's
    shown = ", ".join(foreign[:3]) + (", ..." if len(foreign) > 3 else "")
    return (
        f"--out {out_dir} is a folder that quarn did not make (it holds {shown}); "
        f"quarn writes only into its own output directories: {_CHOOSE}"
    )


def check_run_output(out_dir: str, sources: Iterable[str]) -> None:
    reason = refusal(out_dir, sources)
    if reason:
        raise OutputDirError(reason)


def check_marked(out_dir: str) -> None:
    """A folder to clean: an output directory, whose own folders are no links."""
    if out_dir == "":
        raise OutputDirError("DIR names no folder: name an output directory of quarn run")
    if not is_output_dir(out_dir):
        raise OutputDirError(
            f"{out_dir} is not an output directory of quarn run (it holds no "
            f"{STATE_DIR}/{MARKER_FILE}); nothing removed"
        )
    check_own_paths(out_dir)


def mark(out_dir: str) -> None:
    """Marks DIR as quarn's, once; its state folder exists (the run holds its lock)."""
    path = marker_path(out_dir)
    if not _is(path, stat.S_IFREG):
        write_atomic(path, _MARKER_TEXT)
