"""Per-job cost of running on a local Dask cluster of 2 workers against the local executor:
500 trivial, independent jobs, 2 at a time, through `python -m quarn.run --stats`.

The execution phase is read from the run's own stats line, so discovery and the start of
the cluster are left out; what remains per job is starting its process, the job itself
and, with Dask, the round trips of its task. Goal: under 10 ms per job added by Dask.
"""

from __future__ import annotations

import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

JOBS = 500
SLOTS = 2
MODULE = f"""
from quarn import asset, partitions

@asset(partitions={{"n": partitions(list(range({JOBS})))}})
def trivial(n):
    return n
"""
_STATS = re.compile(r"quarn: stats: (\d+) jobs on (\d+) slots in ([0-9.]+)s")


def run(root: Path, name: str, *extra: str) -> tuple[float, float]:
    """(seconds of the execution phase, seconds of the whole command)."""
    command = [
        sys.executable, "-m", "quarn.run", "bench_trivial", "--out", str(root / name),
        "--path", str(root), "--jobs", str(SLOTS), "--stats", *extra,
    ]  # fmt: skip
    started = time.perf_counter()
    done = subprocess.run(command, capture_output=True, text=True, cwd=root)
    whole = time.perf_counter() - started
    stats = _STATS.search(done.stderr)
    if done.returncode != 0 or not stats or int(stats.group(1)) != JOBS:
        sys.stderr.write(done.stdout[-2000:] + done.stderr[-4000:])
        raise SystemExit(f"{name}: the run failed (exit status {done.returncode})")
    return float(stats.group(3)), whole


def main() -> None:
    with tempfile.TemporaryDirectory(prefix="quarn-bench-dask-") as temp:
        root = Path(temp)
        (root / "bench_trivial.py").write_text(MODULE, encoding="utf-8")
        local, local_whole = run(root, "local", "--executor", "local")
        dask, dask_whole = run(root, "dask", "--executor", "dask")
    per_local = local * SLOTS / JOBS * 1000
    per_dask = dask * SLOTS / JOBS * 1000
    added = per_dask - per_local
    print(f"{JOBS} trivial jobs, {SLOTS} at a time (slot time per job = phase x slots / jobs)")
    for name, phase, per_job, whole in [
        ("local executor:", local, per_local, local_whole),
        ("dask, local cluster:", dask, per_dask, dask_whole),
    ]:
        print(f"{name:21} {phase:6.2f} s  {per_job:6.2f} ms/job  (whole command {whole:.2f} s)")
    print(
        f"added by Dask: {added:.2f} ms/job, ratio {per_dask / per_local:.2f}  "
        f"(goal < 10 ms/job: {'met' if added < 10 else 'NOT MET'})"
    )


if __name__ == "__main__":
    main()
