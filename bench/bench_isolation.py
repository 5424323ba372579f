"""What a job costs under each `--isolation`, and the memory of the warm template.

    python bench/bench_isolation.py [--repeat N] [--skip-spawn] [--root DIR]

1. A chain of 200 trivial jobs, `--jobs 1`: wall time per job for fork, spawn and none,
   from the difference with a chain of 1 job (so start-up and discovery cancel out).
2. A module that imports pandas at the top, 51 jobs, `--jobs 2`: the whole run.
3. Peak resident memory of the template and of a job forked from it (with pandas), and
   the memory the job does not share with the template.

Each figure is the median of N runs (default 3). The project and its outputs go into a
temporary folder under DIR (default: the system's); a memory file system there (/dev/shm)
takes the disk's syncs out of the figures.
"""

from __future__ import annotations

import argparse
import json
import re
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

CHAIN = 200
PANDAS_JOBS = 51
MODES = ("fork", "spawn", "none")

MEMORY = """
def _status(pid):
    with open(f"/proc/{pid}/status") as f:
        fields = (line.split(":", 1) for line in f)
        return {k: int(v.split()[0]) for k, v in fields if v.strip().endswith("kB")}

def _private_kb():
    with open("/proc/self/smaps_rollup") as f:
        return sum(int(l.split()[1]) for l in f if l.startswith(("Private_Clean", "Private_Dirty")))

@asset()
def memory():
    import os
    return {"template_peak_kb": _status(os.getppid())["VmHWM"],
            "job_peak_kb": _status(os.getpid())["VmHWM"], "job_private_kb": _private_kb()}
"""


def chain_module(length: int) -> str:
    lines = ["from quarn import asset", "", "@asset()", "def j0():", "    return 0", ""]
    for i in range(1, length):
        lines += [f"@asset(inputs={{'v': j{i - 1}}})", f"def j{i}(v):", "    return v + 1", ""]
    return "\n".join(lines)


def pandas_module() -> str:
    return (
        "import pandas\nfrom quarn import asset, partitions\n\n"
        f"@asset(partitions={{'i': partitions(list(range({PANDAS_JOBS - 1})))}})\n"
        "def part(i):\n    return int(pandas.Series([i]).sum())\n" + MEMORY
    )


def run(root: Path, module: str, isolation: str, jobs: int) -> tuple[float, str]:
    out = Path(tempfile.mkdtemp(dir=root))
    command = [
        sys.executable, "-m", "quarn.run", module, "--out", str(out), "--path", str(root),
        "--jobs", str(jobs), "--isolation", isolation, "--stats",
    ]  # fmt: skip
    started = time.perf_counter()
    done = subprocess.run(command, capture_output=True, text=True, cwd=root)
    seconds = time.perf_counter() - started
    if done.returncode != 0:
        sys.stderr.write(done.stdout[-2000:] + done.stderr[-2000:])
        raise SystemExit(f"{module} under {isolation} failed with status {done.returncode}")
    return seconds, done.stderr


def median_run(root: Path, module: str, isolation: str, jobs: int, repeat: int) -> float:
    return statistics.median(run(root, module, isolation, jobs)[0] for _ in range(repeat))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=3, metavar="N")
    parser.add_argument("--skip-spawn", action="store_true", help="leave out the slow mode")
    parser.add_argument("--root", metavar="DIR", help="where the temporary folder goes")
    args = parser.parse_args()
    modes = [m for m in MODES if not (args.skip_spawn and m == "spawn")]
    with tempfile.TemporaryDirectory(prefix="quarn-bench-isolation-", dir=args.root) as temp:
        root = Path(temp)
        (root / "chain1.py").write_text(chain_module(1))
        (root / "chain.py").write_text(chain_module(CHAIN))
        (root / "with_pandas.py").write_text(pandas_module())

        per_job = {}
        for mode in modes:
            one = median_run(root, "chain1", mode, 1, args.repeat)
            full = median_run(root, "chain", mode, 1, args.repeat)
            per_job[mode] = (full - one) / (CHAIN - 1)
        print(f"chain of {CHAIN} trivial jobs, --jobs 1: wall time per job")
        for mode, seconds in per_job.items():
            print(f"  {mode:6s} {seconds * 1000:7.2f} ms")
        if "none" in per_job:
            print(f"  fork - none: {(per_job['fork'] - per_job['none']) * 1000:.2f} ms (goal <= 3)")
        if "spawn" in per_job:
            print(f"  spawn / fork: {per_job['spawn'] / per_job['fork']:.1f}x (goal >= 15)")

        print(f"module importing pandas, {PANDAS_JOBS} jobs, --jobs 2: whole run")
        for mode in modes:
            repeat = 1 if mode == "spawn" else args.repeat
            seconds = median_run(root, "with_pandas", mode, 2, repeat)
            print(f"  {mode:6s} {seconds:7.2f} s" + ("  (goal < 1.5 s)" if mode == "fork" else ""))

        seconds, stderr = run(root, "with_pandas", "fork", 2)
        stats = re.search(r"scheduler CPU ([\d.]+)s", stderr)
        out = max((p for p in root.iterdir() if p.is_dir()), key=lambda p: p.stat().st_mtime)
        memory = json.loads((out / "memory" / "_" / "value.json").read_text())
        print("memory with pandas imported (fork):")
        print(f"  template peak RSS {memory['template_peak_kb'] / 1024:7.1f} MiB")
        print(f"  job peak RSS      {memory['job_peak_kb'] / 1024:7.1f} MiB")
        print(f"  job's own pages   {memory['job_private_kb'] / 1024:7.1f} MiB (the rest shared)")
        if stats:
            print(
                f"  scheduler CPU     {float(stats.group(1)) * 1000 / PANDAS_JOBS:7.2f} ms per job"
            )


if __name__ == "__main__":
    main()
