"""A 200 MB pandas frame handed from one asset to the next with serializer="parquet".

The handover is the job worker's own `store` (upstream process) and `load_inputs` (a fresh
downstream process), timed after each process has imported its libraries. The floor is
`df.to_parquet` + `pd.read_parquet` in one process. Goals: the handover takes at most 1.2x
the floor, and the downstream process peaks at most 2.5x the frame's size in memory
(its whole resident set, interpreter and libraries included).

    python bench/bench_handover.py [--mb 200] [--rounds 2]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
import pandas as pd

from quarn.runner.job import values

# Runs in the downstream process: import, then time the load of the frame alone.
_DOWNSTREAM = """
import json, resource, sys, time
import pandas, pyarrow, pyarrow.parquet
from quarn.runner.job import values
spec = json.loads(sys.argv[1])
if spec["inputs"]:
    started = time.perf_counter()
    frame = values.load_inputs(spec)["frame"]
    seconds = time.perf_counter() - started
    rows = len(frame)
else:
    seconds, rows = 0.0, 0
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
try:  # ru_maxrss survives exec (the forked copy of the parent counts); VmHWM does not
    with open("/proc/self/status") as status:
        peak = next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmHWM:"))
except (OSError, StopIteration):
    pass
print(json.dumps({"seconds": seconds, "peak": peak, "rows": rows}))
"""


def make_frame(megabytes: int) -> pd.DataFrame:
    """Numbers that do not compress (the hard case for the reader), and a low-cardinality
    text column as data frames usually have."""
    rng = np.random.default_rng(0)
    columns = 24
    rows = megabytes * 1_000_000 // (8 * (columns + 1))
    frame = pd.DataFrame(
        rng.standard_normal((rows, columns)), columns=[f"x{i}" for i in range(columns)]
    )
    frame["day"] = rng.integers(0, 365, rows)
    return frame


def spec(job_dir: str, inputs: dict[str, object]) -> dict[str, object]:
    return {
        "module": "bench", "function": "frame", "paths": [], "job_dir": job_dir,
        "stage_dir": job_dir, "serializer": "parquet", "keys": {}, "inputs": inputs,
        "sources": {},
    }  # fmt: skip


def downstream(job_spec: dict[str, object]) -> dict[str, float]:
    done = subprocess.run(
        [sys.executable, "-c", _DOWNSTREAM, json.dumps(job_spec)],
        check=True, capture_output=True, text=True,
    )  # fmt: skip
    result: dict[str, float] = json.loads(done.stdout)
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mb", type=int, default=200, help="frame size in MB (default 200)")
    parser.add_argument("--rounds", type=int, default=2, help="best of N (default 2)")
    args = parser.parse_args()
    frame = make_frame(args.mb)
    size = int(frame.memory_usage(deep=True).sum())
    with tempfile.TemporaryDirectory(prefix="quarn-bench-") as folder:
        direct = os.path.join(folder, "direct.parquet")
        job_dir = os.path.join(folder, "up")
        os.makedirs(job_dir)
        floors, handovers, peaks = [], [], []
        for _ in range(args.rounds):
            started = time.perf_counter()
            frame.to_parquet(direct)
            written = time.perf_counter()
            pd.read_parquet(direct)
            floors.append((time.perf_counter() - started, written - started))
            os.unlink(direct)

            started = time.perf_counter()
            values.store(frame, spec(job_dir, {}))  # type: ignore[arg-type]
            stored = time.perf_counter() - started
            down = downstream(spec(folder, {"frame": {"dir": job_dir, "serializer": "parquet"}}))
            assert down["rows"] == len(frame)
            handovers.append((stored + down["seconds"], stored))
            peaks.append(down["peak"])
        baseline = downstream(spec(folder, {}))["peak"]
    (floor, floor_write), (handover, store), peak = min(floors), min(handovers), min(peaks)
    mb = 1 / 1e6
    print(f"frame: {len(frame):,} rows, {size * mb:.0f} MB")
    print(f"floor   to_parquet + read_parquet, one process: {floor:.2f}s "
          f"(write {floor_write:.2f}s, read {floor - floor_write:.2f}s)")  # fmt: skip
    print(f"handover store + load_inputs (worker functions): {handover:.2f}s "
          f"(store {store:.2f}s, load {handover - store:.2f}s in a fresh process) "
          f"= {handover / floor:.2f}x the floor (goal <= 1.2x)")  # fmt: skip
    print(f"downstream peak RSS {peak * mb:.0f} MB = {peak / size:.2f}x the frame (goal <= 2.5x); "
          f"{(peak - baseline) * mb:.0f} MB above a process that only imports the libraries "
          f"({baseline * mb:.0f} MB)")  # fmt: skip


if __name__ == "__main__":
    main()
