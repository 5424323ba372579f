"""What recording each job's dependencies costs, against an interpreter without it.

    python bench/bench_trace.py [--against PYTHON] [--rounds N] [--modes fork,none,spawn]

1. A chain of 200 trivial jobs, `--jobs 1`: wall and processor time per job (the runner,
   the template and the jobs together), from the difference with a chain of 1 job.
2. A pipeline whose jobs do real pandas work (16 partitions that each build, group and
   store a frame of 300,000 rows, and a fan-in that combines them), `--jobs 2`: the whole
   run, wall and processor time.

With `--against PYTHON` (an interpreter with another quarn installed, for example a copy
of the environment made before a change) the runs of the two alternate, round after round,
and the medians are compared: the machine's load then weighs on both alike. The load
average is printed before and after. Outputs go to a temporary folder under /dev/shm
when it exists, so the disk's syncs stay out of the figures.
"""

from __future__ import annotations

import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from bench_isolation import CHAIN, chain_module  # noqa: E402

PANDAS = """
import numpy
import pandas
from quarn import asset, partitions

ROWS = 300_000


@asset(partitions={"part": partitions(list(range(16)))}, serializer="parquet")
def frame(part):
    rng = numpy.random.default_rng(part)
    data = pandas.DataFrame({
        "key": rng.integers(0, 2_000, ROWS), "x": rng.random(ROWS), "y": rng.random(ROWS)
    })
    data["z"] = data["x"] * data["y"]
    return data.groupby("key").agg(x=("x", "mean"), y=("y", "sum"), z=("z", "max")).reset_index()


@asset(inputs={"frames": frame}, serializer="parquet")
def combined(frames):
    whole = pandas.concat([frames[member] for member in frames])
    return whole.groupby("key").mean().reset_index()
"""


def run(python: str, root: Path, module: str, isolation: str, jobs: int) -> tuple[float, float]:
    """Wall and processor seconds of one run (every process it started included)."""
    out = tempfile.mkdtemp(dir=root)
    command = [
        python, "-m", "quarn.run", module, "--out", out, "--path", str(root),
        "--jobs", str(jobs), "--isolation", isolation,
    ]  # fmt: skip
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    done = subprocess.run(command, capture_output=True, text=True, cwd=root)
    wall = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode != 0:
        sys.stderr.write(done.stdout[-2000:] + done.stderr[-2000:])
        raise SystemExit(f"{module} under {isolation} failed with status {done.returncode}")
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu


def load() -> str:
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--against", metavar="PYTHON", help="the interpreter to compare with")
    parser.add_argument("--rounds", type=int, default=5, metavar="N")
    parser.add_argument("--modes", default="fork,none", help="isolations of the chain")
    args = parser.parse_args()
    pythons = {"this": sys.executable}
    if args.against:
        pythons["against"] = args.against
    modes = args.modes.split(",")
    shm = "/dev/shm" if os.path.isdir("/dev/shm") else None
    print(f"load average before: {load()}")
    with tempfile.TemporaryDirectory(prefix="quarn-bench-trace-", dir=shm) as temp:
        root = Path(temp)
        (root / "chain1.py").write_text(chain_module(1))
        (root / "chain.py").write_text(chain_module(CHAIN))
        (root / "with_pandas.py").write_text(PANDAS)
        chain: dict[tuple[str, str], list[tuple[float, float]]] = {}
        frames: dict[str, list[tuple[float, float]]] = {}
        for number in range(args.rounds):
            order = list(pythons) if number % 2 == 0 else list(reversed(pythons))
            for name in order:
                for mode in modes:
                    one = run(pythons[name], root, "chain1", mode, 1)
                    full = run(pythons[name], root, "chain", mode, 1)
                    per_job = tuple((f - o) / (CHAIN - 1) for f, o in zip(full, one, strict=True))
                    chain.setdefault((name, mode), []).append(per_job)  # type: ignore[arg-type]
                frames.setdefault(name, []).append(
                    run(pythons[name], root, "with_pandas", "fork", 2)
                )
    print(f"load average after: {load()}")
    print(f"chain of {CHAIN} trivial jobs, --jobs 1: per job, median of {args.rounds}")
    for mode in modes:
        for name in pythons:
            wall, cpu = (statistics.median(t[i] for t in chain[(name, mode)]) for i in (0, 1))
            print(f"  {mode:6s} {name:8s} wall {wall * 1000:6.2f} ms  cpu {cpu * 1000:6.2f} ms")
        if args.against:
            this, other = chain[("this", mode)], chain[("against", mode)]
            for i, what in ((0, "wall"), (1, "cpu")):
                diff = statistics.median(t[i] for t in this) - statistics.median(
                    t[i] for t in other
                )
                print(f"  {mode:6s} {what} difference {diff * 1000:+.2f} ms per job (goal <= 0.3)")
    print(f"pandas pipeline (17 jobs, --jobs 2, fork): whole run, median of {args.rounds}")
    for name in pythons:
        wall, cpu = (statistics.median(t[i] for t in frames[name]) for i in (0, 1))
        print(f"  {name:8s} wall {wall:6.2f} s  cpu {cpu:6.2f} s")
    if args.against:
        for i, what in ((0, "wall"), (1, "cpu")):
            this = statistics.median(t[i] for t in frames["this"])
            other = statistics.median(t[i] for t in frames["against"])
            print(f"  {what} difference {(this / other - 1) * 100:+.1f}% (goal <= 3%)")


if __name__ == "__main__":
    main()
