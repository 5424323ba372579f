"""Per-job cost of running on a local Dask cluster of 2 workers against the local executor:
500 trivial, independent jobs, 2 at a time, through `python -m quarn.run --stats`.

Two measures per executor:
- wall: the execution phase from the run's own stats line (discovery and the start of the
  cluster left out), as slot time per job: phase seconds x slots / jobs;
- CPU: processor time of the whole process tree (runner, cluster, jobs) per job, taken as
  the difference between a run of 500 jobs and one of 50, so fixed costs cancel out. On a
  machine shared with other work the wall figures swell with the load; CPU much less.

Goal: under 10 ms per job added by Dask.
"""

from __future__ import annotations

import re
import resource
import subprocess
import sys
import tempfile
from pathlib import Path

JOBS = 500
FEW = 50
SLOTS = 2
MODULE = """
from quarn import asset, partitions

@asset(partitions={{"n": partitions(list(range({count})))}})
def trivial(n):
    return n
"""
_STATS = re.compile(r"quarn: stats: (\d+) jobs on (\d+) slots in ([0-9.]+)s")


def run(root: Path, module: str, jobs: int, executor: str) -> tuple[float, float]:
    """(seconds of the execution phase, processor seconds of the whole tree)."""
    command = [
        sys.executable, "-m", "quarn.run", module, "--out", str(root / f"{module}-{executor}"),
        "--path", str(root), "--jobs", str(SLOTS), "--stats", "--executor", executor,
    ]  # fmt: skip
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    done = subprocess.run(command, capture_output=True, text=True, cwd=root)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    stats = _STATS.search(done.stderr)
    if done.returncode != 0 or not stats or int(stats.group(1)) != jobs:
        sys.stderr.write(done.stdout[-2000:] + done.stderr[-4000:])
        raise SystemExit(f"{executor}: the run failed (exit status {done.returncode})")
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return float(stats.group(3)), cpu


def main() -> None:
    results: dict[str, tuple[float, float]] = {}
    with tempfile.TemporaryDirectory(prefix="quarn-bench-dask-") as temp:
        root = Path(temp)
        for name, count in (("bench_many", JOBS), ("bench_few", FEW)):
            (root / f"{name}.py").write_text(MODULE.format(count=count), encoding="utf-8")
        for executor in ("local", "dask"):
            phase, cpu_many = run(root, "bench_many", JOBS, executor)
            _, cpu_few = run(root, "bench_few", FEW, executor)
            wall = phase * SLOTS / JOBS * 1000
            cpu = (cpu_many - cpu_few) / (JOBS - FEW) * 1000
            results[executor] = (wall, cpu)
            print(
                f"{executor:5}: {JOBS} jobs in {phase:6.2f} s: "
                f"{wall:6.2f} ms/job wall (slot time), {cpu:6.2f} ms/job CPU"
            )
    (local_wall, local_cpu), (dask_wall, dask_cpu) = results["local"], results["dask"]
    for measure, local, dask in (("wall", local_wall, dask_wall), ("CPU", local_cpu, dask_cpu)):
        added = dask - local
        verdict = "met" if added < 10 else "NOT MET"
        print(
            f"added by Dask, {measure:4}: {added:6.2f} ms/job, ratio {dask / local:.2f} "
            f"(goal < 10 ms/job: {verdict})"
        )


if __name__ == "__main__":
    main()
