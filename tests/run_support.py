"""Generated pipelines in a temporary directory, run through `python -m quarn.run`."""

from __future__ import annotations

import json
import re
import subprocess
import sys
import textwrap
from pathlib import Path

HEADER = "import os, signal, sys, time\nfrom quarn import asset, partitions\n"


class Pipeline:
    """Modules under `root/mods`, outputs under `root/out`; every run is a real subprocess."""

    def __init__(self, root: Path) -> None:
        self.root = root
        self.mods = root / "mods"
        self.out = root / "out"
        self.mods.mkdir()

    def write(self, name: str, body: str, note: bool = False) -> Path:
        """Writes module `name`: the common imports, `note()` if asked for, `body` dedented."""
        path = self.mods / f"{name}.py"
        helper = self._note_source() if note else ""
        path.write_text(HEADER + helper + textwrap.dedent(body), encoding="utf-8")
        return path

    def command(self, *modules: str, extra: tuple[str, ...] = ()) -> list[str]:
        return [
            sys.executable, "-m", "quarn.run", *modules,
            "--out", str(self.out), "--path", str(self.mods), "--jobs", "2", *extra,
        ]  # fmt: skip

    def run(self, *modules: str, extra: tuple[str, ...] = ()) -> subprocess.CompletedProcess:
        return subprocess.run(
            self.command(*modules, extra=extra),
            cwd=self.root,
            capture_output=True,
            text=True,
            stdin=subprocess.DEVNULL,
            timeout=120,
        )

    def job_dirs(self, asset: str) -> list[Path]:
        return sorted(p for p in (self.out / asset).iterdir() if p.is_dir())

    def value(self, asset: str, partition: str = "_"):
        return json.loads((self.out / asset / partition / "value.json").read_text())

    def values(self, asset: str) -> list:
        return [json.loads((d / "value.json").read_text()) for d in self.job_dirs(asset)]

    def result(self, asset: str, partition: str = "_") -> dict:
        return json.loads((self.out / asset / partition / "result.json").read_text())

    def manifest(self) -> dict:
        return json.loads((self.out / "manifest.json").read_text())

    def ran(self) -> list[str]:
        """Names appended to `runs.txt` by assets that call `note(name)`, then cleared."""
        log = self.root / "runs.txt"
        if not log.exists():
            return []
        names = log.read_text().split()
        log.unlink()
        return sorted(names)

    def _note_source(self) -> str:
        """`note(name)` for modules: records that an asset body ran."""
        return (
            "def note(name):\n"
            f"    with open({str(self.root / 'runs.txt')!r}, 'a') as f:\n"
            "        f.write(name + '\\n')\n"
        )


def summary_rows(stdout: str) -> list[list[str]]:
    """The summary table's rows as [asset, partition, status, duration(, error)]."""
    lines = stdout.splitlines()
    if not lines or not lines[0].startswith("ASSET"):
        return []
    return [re.split(r" {2,}", line, maxsplit=4) for line in lines[1:-1]]


def statuses(stdout: str) -> dict[tuple[str, str], str]:
    """(asset, partition) -> status, from the summary table."""
    return {(r[0], r[1]): r[2] for r in summary_rows(stdout)}
