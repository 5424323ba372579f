"""Timing for the side-by-side benchmarks: contenders run interleaved, round after round,
each sample the wall time of the whole command and the processor time of every process it
started (children and grandchildren that were waited for), with the 1-minute load average
read just before it."""

from __future__ import annotations

import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path


@dataclass
class Contender:
    """A command to time. `argv` is given a fresh empty folder (deleted after the sample)
    for the outputs of that sample; `check`, given the command's output, says what went
    wrong ("" when nothing did); `report` reads a figure the command printed."""

    name: str
    argv: Callable[[Path], Sequence[str]]
    cwd: Path
    env: dict[str, str] | None = None
    check: Callable[[str], str] | None = None
    report: Callable[[str], float] | None = None  # a figure the command prints itself


@dataclass
class Figure:
    walls: list[float] = field(default_factory=list)
    cpus: list[float] = field(default_factory=list)
    loads: list[float] = field(default_factory=list)
    reported: list[float] = field(default_factory=list)

    @property
    def wall(self) -> float:
        return statistics.median(self.walls)

    @property
    def cpu(self) -> float:
        return statistics.median(self.cpus)

    @property
    def load(self) -> float:
        return statistics.fmean(self.loads)


def load() -> float:
    return os.getloadavg()[0]


def sample(contender: Contender, root: Path, figure: Figure) -> None:
    fresh = Path(tempfile.mkdtemp(dir=root, prefix="out-"))
    try:
        figure.loads.append(load())
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        started = time.perf_counter()
        done = subprocess.run(
            list(contender.argv(fresh)),
            cwd=contender.cwd,
            env=contender.env,
            capture_output=True,
            text=True,
            stdin=subprocess.DEVNULL,
        )
        figure.walls.append(time.perf_counter() - started)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        figure.cpus.append(after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime)
    finally:
        shutil.rmtree(fresh, ignore_errors=True)
    problem = "" if done.returncode == 0 else f"exit status {done.returncode}"
    if not problem and contender.check:
        problem = contender.check(done.stdout + done.stderr)
    if problem:
        sys.stderr.write(done.stdout[-2000:] + done.stderr[-3000:])
        raise SystemExit(f"{contender.name}: {problem}")
    if contender.report:
        figure.reported.append(contender.report(done.stdout))


def interleaved(contenders: Sequence[Contender], root: Path, repeat: int) -> dict[str, Figure]:
    """Every contender once per round, `repeat` rounds, in the same order each round."""
    figures = {c.name: Figure() for c in contenders}
    for _ in range(repeat):
        for contender in contenders:
            sample(contender, root, figures[contender.name])
    return figures


def seconds(figure: Figure) -> str:
    return f"{figure.wall:7.3f} s  cpu {figure.cpu:7.3f} s  load {figure.load:5.2f}"


def line(name: str, text: str) -> str:
    return f"  {name:34s} {text}"


def ratio(name: str, one: Figure, other: Figure, goal: str) -> str:
    loads = f"load {one.load:5.2f} / {other.load:5.2f}"
    return line(name, f"{one.wall / other.wall:7.2f}   ({goal}; {loads})")
