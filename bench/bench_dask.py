"""A local Dask cluster of 2 workers against the local executor, side by side in one run.

    python bench/bench_dask.py [--repeat N] [--isolation fork|spawn] [--root DIR]

1. Per job: 500 trivial, independent jobs, 2 at a time, through `python -m quarn.run
   --stats`, against 50 of them. Two measures per executor:
   - wall: the execution phase from the run's own stats line (discovery and the start of
     the cluster left out), as slot time per job: phase seconds x slots / jobs;
   - CPU: processor time of the whole process tree (runner, cluster, jobs) per job, taken
     as the difference between the run of 500 jobs and the run of 50, so fixed costs
     cancel out. On a machine shared with other work the wall figures swell with the
     load; CPU much less.
   Goal: under 10 ms per job added by Dask.
2. A pipeline of 10 assets and 43 jobs of 0.2 s each, `--jobs 2`: the whole run (the
   start of the cluster included) and its execution phase. Goal: Dask within 1.25x the
   local executor.

Every figure is the median of N runs (default 3), the executors interleaved so the load
of the machine falls on both alike; the load average is printed before and after. The
project and its outputs go into a temporary folder under DIR (default: the system's).
`--isolation` applies to both executors (default: fork, each Dask worker forking its jobs
from a warm template of its own).
"""

from __future__ import annotations

import argparse
import os
import re
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

JOBS = 500
FEW = 50
SLOTS = 2
EXECUTORS = ("local", "dask")
TRIVIAL = """
from quarn import asset, partitions

@asset(partitions={{"n": partitions(list(range({count})))}})
def trivial(n):
    return n
"""
# 10 assets, 43 jobs: a chain of four 8-way partitioned steps, a 3-way branch, fan-ins.
PIPELINE = """
import time
from quarn import asset, partitions

WORK = 0.2
parts = partitions([f"p{i}" for i in range(8)])
regions = partitions(["north", "south", "west"])
targets = partitions(["web", "mail"])

def work(*values):
    time.sleep(WORK)
    return len(values)

@asset()
def raw():
    return work()

@asset(partitions={"part": parts}, inputs={"r": raw})
def clean(part, r):
    return work(r)

@asset(partitions={"part": parts}, inputs={"c": clean})
def features(part, c):
    return work(c)

@asset(partitions={"part": parts}, inputs={"f": features})
def scored(part, f):
    return work(f)

@asset(partitions={"part": parts}, inputs={"s": scored})
def checked(part, s):
    return work(s)

@asset(partitions={"region": regions}, inputs={"r": raw})
def by_region(region, r):
    return work(r)

@asset(partitions={"region": regions}, inputs={"b": by_region})
def region_totals(region, b):
    return work(b)

@asset(inputs={"all": checked})
def summary(all):
    return work(*all)

@asset(inputs={"s": summary, "t": region_totals})
def report(s, t):
    return work(s, *t)

@asset(partitions={"target": targets}, inputs={"r": report})
def publish(target, r):
    return work(r)
"""
PIPELINE_JOBS = 43
_STATS = re.compile(r"quarn: stats: (\d+) jobs on (\d+) slots in ([0-9.]+)s")


def run(root: Path, module: str, jobs: int, executor: str, isolation: str) -> tuple[float, ...]:
    """(seconds of the whole run, of its execution phase, processor seconds of the tree)."""
    out = tempfile.mkdtemp(dir=root, prefix=f"{module}-{executor}-")
    command = [
        sys.executable, "-m", "quarn.run", module, "--out", out, "--path", str(root),
        "--jobs", str(SLOTS), "--stats", "--executor", executor, "--isolation", isolation,
    ]  # fmt: skip
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    done = subprocess.run(command, capture_output=True, text=True, cwd=root)
    whole = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    stats = _STATS.search(done.stderr)
    if done.returncode != 0 or not stats or int(stats.group(1)) != jobs:
        sys.stderr.write(done.stdout[-2000:] + done.stderr[-4000:])
        raise SystemExit(f"{module} on {executor}: the run failed (exit status {done.returncode})")
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return whole, float(stats.group(3)), cpu


def load() -> str:
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def per_job(root: Path, repeat: int, isolation: str) -> dict[str, tuple[float, float]]:
    """Executor -> (median wall ms per job, median CPU ms per job)."""
    samples: dict[str, list[tuple[float, float]]] = {e: [] for e in EXECUTORS}
    for _ in range(repeat):
        for executor in EXECUTORS:
            _, phase, cpu_many = run(root, "bench_many", JOBS, executor, isolation)
            _, _, cpu_few = run(root, "bench_few", FEW, executor, isolation)
            wall = phase * SLOTS / JOBS * 1000
            samples[executor].append((wall, (cpu_many - cpu_few) / (JOBS - FEW) * 1000))
    return {
        e: (statistics.median(w for w, _ in s), statistics.median(c for _, c in s))
        for e, s in samples.items()
    }


def pipeline(root: Path, repeat: int, isolation: str) -> dict[str, tuple[float, float]]:
    """Executor -> (median seconds of the whole run, of its execution phase)."""
    samples: dict[str, list[tuple[float, float]]] = {e: [] for e in EXECUTORS}
    for _ in range(repeat):
        for executor in EXECUTORS:
            whole, phase, _ = run(root, "bench_pipeline", PIPELINE_JOBS, executor, isolation)
            samples[executor].append((whole, phase))
    return {
        e: (statistics.median(w for w, _ in s), statistics.median(p for _, p in s))
        for e, s in samples.items()
    }


def verdict(met: bool) -> str:
    return "met" if met else "NOT MET"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--isolation", choices=("fork", "spawn"), default="fork")
    parser.add_argument("--root", default=None)
    args = parser.parse_args()
    print(f"load average before: {load()}  ({os.cpu_count()} cores; isolation {args.isolation})")
    with tempfile.TemporaryDirectory(prefix="quarn-bench-dask-", dir=args.root) as temp:
        root = Path(temp)
        for name, count in (("bench_many", JOBS), ("bench_few", FEW)):
            (root / f"{name}.py").write_text(TRIVIAL.format(count=count), encoding="utf-8")
        (root / "bench_pipeline.py").write_text(PIPELINE, encoding="utf-8")

        jobs = per_job(root, args.repeat, args.isolation)
        for executor, (wall, cpu) in jobs.items():
            print(
                f"{executor:5}: {JOBS} trivial jobs: {wall:6.2f} ms/job wall (slot time), "
                f"{cpu:6.2f} ms/job CPU"
            )
        for index, measure in enumerate(("wall", "CPU")):
            local, dask = jobs["local"][index], jobs["dask"][index]
            print(
                f"added by Dask, {measure:4}: {dask - local:6.2f} ms/job "
                f"(goal < 10 ms/job: {verdict(dask - local < 10)})"
            )

        runs = pipeline(root, args.repeat, args.isolation)
        for executor, (whole, phase) in runs.items():
            print(
                f"{executor:5}: {PIPELINE_JOBS}-job pipeline: {whole:6.2f} s the whole run, "
                f"{phase:6.2f} s executing"
            )
        (local_whole, local_phase), (dask_whole, dask_phase) = runs["local"], runs["dask"]
        print(
            f"Dask / local: {dask_whole / local_whole:.2f}x the whole run "
            f"(goal <= 1.25x: {verdict(dask_whole <= 1.25 * local_whole)}), "
            f"{dask_phase / local_phase:.2f}x executing"
        )
    print(f"load average after: {load()}")


if __name__ == "__main__":
    main()
