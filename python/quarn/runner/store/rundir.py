"""A run's private folder, DIR/.quarn/runs/<run id>/: job specs, logs and stage folders.

Only the run holding DIR's lock writes under DIR/.quarn/runs, so any other folder found
there was left by a run that died; the next run removes it.
"""

from __future__ import annotations

import os
import shutil
import time

from quarn.runner.contract import HISTORY_DIR, RUNS_DIR, STATE_DIR
from quarn.runner.store.atomic import remove_leftovers
from quarn.runner.store.layout import check_real_folders


class RunDir:
    def __init__(self, out_dir: str) -> None:
        self.out_dir = out_dir
        self.runs = os.path.join(out_dir, STATE_DIR, RUNS_DIR)
        self.run_id = f"{time.strftime('%Y%m%dT%H%M%S')}-{os.getpid()}"
        self.path = os.path.join(self.runs, self.run_id)
        self._aside = 0

    def create(self) -> list[str]:
        """Makes the folder and removes those of dead runs; returns the ones removed."""
        check_real_folders(self.out_dir, STATE_DIR, RUNS_DIR)
        removed: list[str] = []
        try:
            names = os.listdir(self.runs)
        except FileNotFoundError:
            names = []
        for name in names:
            path = os.path.join(self.runs, name)
            if os.path.islink(path):
                os.unlink(path)
            else:
                shutil.rmtree(path, ignore_errors=True)
            removed.append(name)
        for folder in (self.out_dir, os.path.join(self.out_dir, STATE_DIR, HISTORY_DIR)):
            remove_leftovers(folder)
        for sub in ("specs", "stage", "aside"):
            os.makedirs(os.path.join(self.path, sub), exist_ok=True)
        return removed

    def spec_path(self, index: int, attempt: int) -> str:
        return os.path.join(self.path, "specs", f"{index}.{attempt}.json")

    def report_path(self, index: int, attempt: int) -> str:
        """Where the job worker of that attempt describes the value it stored."""
        return os.path.join(self.path, "specs", f"{index}.{attempt}.report.json")

    def stage_dir(self, index: int, attempt: int) -> str:
        return os.path.join(self.path, "stage", f"{index}.{attempt}")

    def aside_dir(self) -> str:
        """A fresh name for an old job folder on its way out."""
        self._aside += 1
        return os.path.join(self.path, "aside", str(self._aside))

    def remove(self) -> None:
        shutil.rmtree(self.path, ignore_errors=True)
