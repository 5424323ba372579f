"""A 200-step chain written twice: as 200 generated assets, each taking the one before, and
as one asset whose key takes the previous key (`quarn.previous`). Each round runs both into
fresh output directories, alternating which goes first; the medians of the per-job cost
are printed side by side (goal: the mapped chain within 5% of the generated one).

python bench/bench_chain.py [ROUNDS] [RUNNER OPTION...]     e.g. 9 --isolation spawn
"""

from __future__ import annotations

import os
import re
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

STEPS = 200
ROUNDS = 7

GENERATED_HEAD = "from quarn import asset\n\n@asset()\ndef step0():\n    return 0\n"
GENERATED_STEP = "\n@asset(inputs={{'prev': step{i}}})\ndef step{j}(prev):\n    return prev + 1\n"
MAPPED = f"""from quarn import asset, partitions, previous

STEPS = partitions(list(range({STEPS})))

@asset(partitions={{"i": STEPS}}, inputs={{"prev": previous("step", "i")}})
def step(i, prev=-1):
    return prev + 1
"""


def write(root: Path) -> None:
    steps = "".join(GENERATED_STEP.format(i=i, j=i + 1) for i in range(STEPS - 1))
    (root / "generated.py").write_text(GENERATED_HEAD + steps, encoding="utf-8")
    (root / "mapped.py").write_text(MAPPED, encoding="utf-8")


def run(root: Path, module: str, out: Path, extra: list[str]) -> tuple[float, float]:
    """Wall seconds of the whole command, and seconds the executor took for the jobs."""
    command = [sys.executable, "-m", "quarn.run", module, "--out", str(out), "--path", str(root),
               "--stats", "-q", *extra]  # fmt: skip
    started = time.perf_counter()
    done = subprocess.run(command, capture_output=True, text=True, cwd=root)
    wall = time.perf_counter() - started
    found = re.search(rf"^quarn: stats: {STEPS} jobs on \d+ slots in ([\d.]+)s", done.stderr, re.M)
    if done.returncode != 0 or found is None:
        sys.stderr.write(done.stdout[-2000:] + done.stderr[-4000:])
        raise SystemExit(f"{module}: the run failed (exit status {done.returncode})")
    return wall, float(found.group(1))


def main() -> None:
    args = sys.argv[1:]
    rounds = int(args.pop(0)) if args and args[0].isdigit() else ROUNDS
    timings: dict[str, list[tuple[float, float]]] = {"generated": [], "mapped": []}
    load_before = os.getloadavg()
    with tempfile.TemporaryDirectory(prefix="quarn-bench-chain-") as temp:
        root = Path(temp)
        write(root)
        for n in range(rounds):
            order = ["generated", "mapped"] if n % 2 == 0 else ["mapped", "generated"]
            for module in order:
                timings[module].append(run(root, module, root / f"out-{module}-{n}", args))
    load_after = os.getloadavg()
    print(f"chain of {STEPS} steps, {rounds} rounds, median of each; options: {' '.join(args)}")
    print(f"load average {_load(load_before)} before, {_load(load_after)} after")
    medians = {}
    for module, found in timings.items():
        wall = statistics.median(w for w, _ in found) / STEPS * 1000
        jobs = statistics.median(j for _, j in found) / STEPS * 1000
        medians[module] = jobs
        print(f"  {module:9}  {jobs:6.2f} ms a job while jobs run, {wall:6.2f} ms a job in all")
    ratio = medians["mapped"] / medians["generated"]
    verdict = "within 5%" if ratio <= 1.05 else "MORE THAN 5% SLOWER"
    print(f"mapped / generated, a job while jobs run: {ratio:.3f} ({verdict})")


def _load(values: tuple[float, float, float]) -> str:
    return " ".join(f"{v:.2f}" for v in values)


if __name__ == "__main__":
    main()
