"""Generated pipelines in a temporary directory, run through `python -m quarn.run`."""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
import textwrap
import time
from pathlib import Path

HEADER = "import os, signal, sys, time\nfrom quarn import asset, partitions\n"


class Pipeline:
    """Modules under `root/mods`, outputs under `root/out`; every run is a real subprocess."""

    def __init__(self, root: Path) -> None:
        self.root = root
        self.mods = root / "mods"
        self.out = root / "out"
        self.mods.mkdir()

    def write(self, name: str, body: str) -> Path:
        """Writes module `name`: the common imports, then `body` dedented."""
        path = self.mods / f"{name}.py"
        path.write_text(HEADER + textwrap.dedent(body), encoding="utf-8")
        return path

    def command(self, *modules: str, extra: tuple[str, ...] = (), out: Path | None = None):
        return [
            sys.executable, "-m", "quarn.run", *modules, "--out", str(out or self.out),
            "--path", str(self.mods), "--jobs", "2", *extra,
        ]  # fmt: skip

    def run(self, *modules: str, env: dict | None = None, **options) -> subprocess.CompletedProcess:
        """The run to its end; `env` adds to the environment."""
        return subprocess.run(
            self.command(*modules, **options), cwd=self.root, capture_output=True, text=True,
            stdin=subprocess.DEVNULL, timeout=120, env={**os.environ, **(env or {})},
        )  # fmt: skip

    def start(self, *modules: str, extra: tuple[str, ...] = ()) -> subprocess.Popen:
        """The run as a process left running, its output piped."""
        return subprocess.Popen(
            self.command(*modules, extra=extra), cwd=self.root, stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        )  # fmt: skip

    def quarn(self, *args: str) -> subprocess.CompletedProcess:
        """`python -m quarn ARGS` in the project folder."""
        return quarn_in(self.root, *args)

    def value(self, asset: str, partition: str = "_", out: Path | None = None):
        return json.loads(((out or self.out) / asset / partition / "value.json").read_text())

    def values(self, asset: str, out: Path | None = None) -> list:
        folders = sorted(p for p in ((out or self.out) / asset).iterdir() if p.is_dir())
        return [json.loads((p / "value.json").read_text()) for p in folders]

    def manifest(self, out: Path | None = None) -> dict:
        return json.loads(((out or self.out) / "manifest.json").read_text())

    def history(self) -> list[dict]:
        """The records of the runs, oldest first."""
        found = sorted((self.out / ".quarn" / "history").glob("*.json"))
        return [json.loads(p.read_text()) for p in found]


def quarn_in(cwd: Path, *args: str) -> subprocess.CompletedProcess:
    """`python -m quarn ARGS` started in `cwd` (the `quarn` script runs the same)."""
    return subprocess.run(
        [sys.executable, "-m", "quarn", *args], cwd=cwd, capture_output=True, text=True,
        stdin=subprocess.DEVNULL, timeout=120,
    )  # fmt: skip


def write_files(root: Path, files: dict[str, str]) -> None:
    """Writes each file (path under `root` -> text, dedented), making its folders."""
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text), encoding="utf-8")


def edit(path: Path, old: str, new: str) -> None:
    """Replaces `old`, which must be there, with `new` in the file."""
    text = path.read_text()
    assert old in text, old
    path.write_text(text.replace(old, new))


def output_files(out: Path, mask: Path) -> dict[str, bytes]:
    """Each job's files under `out` (not the manifest nor quarn's own folder), with the
    path `mask` taken out of them (tracebacks and logs name it)."""
    return {
        str(p.relative_to(out)): p.read_bytes().replace(bytes(mask), b"MASKED")
        for p in out.rglob("*")
        if p.is_file() and p.name != "manifest.json" and ".quarn" not in p.parts
    }


def job_spec(folder: Path, module: str, function: str, **more) -> Path:
    """The job spec file `python -m quarn.runner.job` reads, for a job whose files go to
    `folder/stage`; `more` replaces or adds fields."""
    spec = {"module": module, "function": function, "paths": [str(folder)],
            "job_dir": "out/job", "stage_dir": str(folder / "stage"), "serializer": None,
            "keys": {}, "inputs": {}, "sources": {}, **more}  # fmt: skip
    path = folder / "spec.json"
    path.write_text(json.dumps(spec), encoding="utf-8")
    return path


def run_job(folder: Path, env: dict | None = None) -> subprocess.CompletedProcess:
    """The runner's job worker on `folder/spec.json`, run in `folder`."""
    return subprocess.run(
        [sys.executable, "-m", "quarn.runner.job", "spec.json"], cwd=folder, capture_output=True,
        text=True, stdin=subprocess.DEVNULL, timeout=60, env={**os.environ, **(env or {})},
    )  # fmt: skip


def summary_rows(stdout: str) -> list[list[str]]:
    """The summary table's rows as [asset, partition, status, duration(, error)]; the
    indented lines below a failed job's row (traceback frames, log) are left out."""
    lines = stdout.splitlines()
    if not lines or not lines[0].startswith("ASSET"):
        return []
    return [re.split(r" {2,}", line, maxsplit=4) for line in lines[1:-1] if line[:1] != " "]


def statuses(stdout: str) -> dict[tuple[str, str], str]:
    """(asset, partition) -> status, from the summary table."""
    return {(r[0], r[1]): r[2] for r in summary_rows(stdout)}


def outcomes(stdout: str) -> dict[str, tuple[str, str]]:
    """asset -> (status, error or ""), from the summary table of unpartitioned assets."""
    return {r[0]: (r[2], r[4] if len(r) > 4 else "") for r in summary_rows(stdout)}


def succeeded(done: subprocess.CompletedProcess) -> list[str]:
    """The jobs a run that ended well ran, as asset or asset[partition], sorted."""
    assert done.returncode == 0, done.stdout + done.stderr
    return sorted(
        a if p == "-" else f"{a}[{p}]" for (a, p), s in statuses(done.stdout).items()
        if s == "succeeded"
    )  # fmt: skip


def wait_for(check, what: str, process: subprocess.Popen | None = None, seconds: float = 60):
    """What `check` returns once it is true; fails if `process` ends first or time runs out
    (a generous bound for a loaded machine: nothing here is timed)."""
    deadline = time.monotonic() + seconds
    while not (found := check()):
        assert process is None or process.poll() is None, f"the run ended before {what}"
        assert time.monotonic() < deadline, f"gave up waiting for {what}"
        time.sleep(0.05)
    return found


def alive(pid: int) -> bool:
    """Whether the process runs (a zombie does not)."""
    try:
        state = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except (OSError, IndexError):
        return False
    return state not in ("Z", "X")
