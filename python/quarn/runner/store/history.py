"""The run history: one record per run in `DIR/.quarn/history/`, never rewritten.

One file per run keeps appending safe without a lock (two runs never write the same file)
and lets `quarn clean` drop old runs by deleting files. A record also describes the graph
the run planned, so the report can draw it without the modules.
"""

from __future__ import annotations

import json
import os
import secrets
import time

from quarn.runner.contract import HISTORY_DIR, HISTORY_FORMAT, STATE_DIR, RunRecord
from quarn.runner.store.atomic import write_atomic


def history_dir(out_dir: str) -> str:
    return os.path.join(out_dir, STATE_DIR, HISTORY_DIR)


def new_run_id(started: float) -> str:
    """Sorts by start time; the random tail keeps two runs of the same second apart."""
    millis = int(started * 1000) % 1000
    stamp = time.strftime("%Y%m%dT%H%M%S", time.gmtime(started))
    return f"{stamp}.{millis:03d}Z-{secrets.token_hex(3)}"


def append_run(out_dir: str, record: RunRecord, exit_status: int) -> str:
    """Writes the record as a new file; returns its path."""
    record["exit_status"] = exit_status
    path = os.path.join(history_dir(out_dir), record["run"] + ".json")
    write_atomic(path, json.dumps(record, separators=(",", ":")) + "\n")
    return path


def load_runs(out_dir: str) -> tuple[list[RunRecord], list[str]]:
    """Every readable record, oldest first, and a warning for each file that is not one."""
    folder = history_dir(out_dir)
    try:
        names = sorted(n for n in os.listdir(folder) if n.endswith(".json"))
    except (FileNotFoundError, NotADirectoryError):
        return [], []
    except OSError as exc:
        return [], [f"cannot read {folder}: {exc.strerror}"]
    runs: list[RunRecord] = []
    warnings: list[str] = []
    for name in names:
        path = os.path.join(folder, name)
        try:
            with open(path, encoding="utf-8") as handle:
                data = json.load(handle)
        except (OSError, ValueError) as exc:
            warnings.append(f"skipping {path}: {exc}")
            continue
        if not isinstance(data, dict) or data.get("format") != HISTORY_FORMAT:
            warnings.append(f"skipping {path}: not a run record of this version")
            continue
        runs.append(data)  # type: ignore[arg-type]  # checked by its format tag
    return runs, warnings
