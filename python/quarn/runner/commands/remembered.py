"""`quarn run` answered from memory: the same command line, in the same folder, with the
same project file, interpreter and environment, found nothing to do last time, and
nothing that answer rested on has changed since (see `api/unchanged.py` for what it rests
on, `inputs.py` for how a change is seen): then the answer is the same, the same lines on
standard output, and the run goes into the history as any run does. Nothing is
discovered, planned or assessed, and no project module is imported.

The command line is taken as typed (`--force` never finds nothing to do, so is never
answered here), and the project files that could set its defaults count by their stat.
Answers are kept in the user's private cache (`store/user_cache.py`), never in the output
directory: whoever may write there cannot make a stale value pass for current. A damaged
or unreadable entry is no entry, and the command plans as usual.

The command imports this module before anything else of the runner: what it imports is
kept to what the answer needs.
"""

from __future__ import annotations

import json
import os
import sys
import time
from typing import TYPE_CHECKING, Any

from quarn.runner.inputs import Inputs, changed, interpreter, stat_key
from quarn.runner.store.user_cache import entry_path, keep, read_json, trim, used

if TYPE_CHECKING:
    from quarn.runner.api.flow import Ran

_KIND = "runs"
_FORMAT = 1
KEPT = 64  # entries, those used last: one per command line and folder
_PROJECT_FILE = "pyproject.toml"  # config.PROJECT_FILE, which imports the TOML reader
_NO_JOB_RAN = "quarn: stats: no job ran"  # what --stats says when nothing ran


def _entry_path(prog: str, argv: list[str]) -> str | None:
    return entry_path(_KIND, [_FORMAT, prog, argv, os.getcwd()])


def answer(prog: str, argv: list[str]) -> int | None:
    """Writes the remembered answer to the command `prog argv` and records the run; its exit
    status, or None when there is no answer to give (then the command runs as usual)."""
    path = _entry_path(prog, argv)
    entry = read_json(path)
    if path is None or entry is None:
        return None
    inputs = Inputs.from_json(entry.get("inputs") if isinstance(entry, dict) else None)
    if inputs is None or not _sound(entry):
        return None
    if entry["record"] is None:  # --check-only: no lock, no history
        if changed(inputs):
            return None
        _write(entry)
        status: int | None = 0
    else:
        status = _answer_run(entry, inputs, prog, argv)
    if status is not None:
        used(path)
    return status


def _sound(entry: dict[str, Any]) -> bool:
    record = entry.get("record")
    return (
        entry.get("format") == _FORMAT
        and isinstance(entry.get("out"), str)
        and isinstance(entry.get("stdout"), str)
        and isinstance(entry.get("stats"), bool)
        and (
            record is None
            or isinstance(record, dict)
            and isinstance(record.get("head"), dict)
            and isinstance(record.get("assets"), str)
            and isinstance(record.get("jobs"), str)
        )
    )


def _answer_run(entry: dict[str, Any], inputs: Inputs, prog: str, argv: list[str]) -> int | None:
    """A run takes the output directory's lock, as every run does, and looks under it."""
    from quarn.runner.store.history import append_encoded, encode_part, new_run_id
    from quarn.runner.store.lock import LockHeld, acquire, current_command
    from quarn.runner.store.paths import LayoutError

    out = entry["out"]
    started = time.time()
    try:
        lock = acquire(out, current_command())
    except (LockHeld, LayoutError, OSError):
        return None  # the run as usual says why, or waits
    try:
        if changed(inputs):
            return None
        _write(entry)
        record = entry["record"]
        head = dict(record["head"])
        run = new_run_id(started)
        head.update(
            run=run,
            command=[*prog.split(), *argv],
            cwd=os.getcwd(),
            started=started,
            ended=time.time(),
            exit_status=0,
        )
        text = encode_part(head)[:-1] + ',"assets":' + record["assets"]
        text += ',"jobs":' + record["jobs"] + "}"
        try:
            append_encoded(out, run, text)
        except OSError as exc:
            sys.stderr.write(f"{prog}: error: cannot record the run in the history: {exc}\n")
            return 1
    finally:
        lock.release()
    return 0


def _write(entry: dict[str, Any]) -> None:
    sys.stdout.write(entry["stdout"])
    sys.stdout.flush()
    if entry["stats"]:
        sys.stderr.write(_NO_JOB_RAN + "\n")
        sys.stderr.flush()


def remember(
    prog: str, argv: list[str], ran: Ran, stdout: str, stats: bool, project: Inputs
) -> None:
    """Keeps the answer of a run that found nothing to do (`ran.unchanged` says what it
    rests on): `stdout`, what it wrote there, and whether --stats was asked; `project`:
    the project files as `project_files` found them when the command line was read."""
    from quarn.runner.store.history import encode_part

    if ran.unchanged is None:
        return
    inputs = Inputs().add(interpreter()).add(ran.unchanged).add(project)
    path = _entry_path(prog, argv)
    if inputs.unsure or path is None:
        return
    record: dict[str, Any] | None = None
    if ran.record is not None:
        head = {k: v for k, v in ran.record.items() if k not in ("assets", "jobs")}
        assets, jobs = encode_part(ran.record["assets"]), encode_part(ran.record["jobs"])
        record = {"head": head, "assets": assets, "jobs": jobs}
    entry = {
        "format": _FORMAT,
        "out": os.path.abspath(ran.planned.options.out),
        "stdout": stdout,
        "stats": stats,
        "record": record,
        "inputs": inputs.to_json(),
    }
    keep(path, json.dumps(entry, ensure_ascii=False).encode("utf-8", "surrogateescape"))
    trim(os.path.dirname(path), KEPT)


def project_files(root: str | None = None) -> Inputs:
    """The project files that could set a command's defaults: at and above `root` (the
    project's folder, named by --project), else at and above the current folder, where the
    nearest with a quarn table is read."""
    found = Inputs()
    folder = os.path.abspath(root or os.curdir)
    while True:
        file = os.path.join(folder, _PROJECT_FILE)
        found.path(file, stat_key(file))
        parent = os.path.dirname(folder)
        if parent == folder:
            return found
        folder = parent
