"""Times `quarn.load` and `quarn.load_all` on the 2,000-job output directory of
bench_run.py's pipeline: the first call of a fresh process (imports, inspection, code
analysis) and later calls in the same process.

python bench/bench_load.py
"""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from bench_run import generate, run  # noqa: E402

REPEATS = 7
# One call, timed in a fresh interpreter, then again REPEATS times in it.
PROBE = """
import statistics, sys, time
sys.path.insert(0, {root!r})
t0 = time.perf_counter()
import quarn, {module}
t1 = time.perf_counter()
call = lambda: {call}
call()
t2 = time.perf_counter()
again = []
for _ in range({repeats}):
    s = time.perf_counter(); call(); again.append(time.perf_counter() - s)
print(t1 - t0, t2 - t1, statistics.median(again))
"""


def probe(root: Path, module: str, call: str) -> tuple[float, float, float]:
    code = PROBE.format(root=str(root), module=module, call=call, repeats=REPEATS)
    done = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, cwd=root, check=True
    )
    first, second, third = (float(x) for x in done.stdout.split())
    return first, second, third


def main() -> None:
    with tempfile.TemporaryDirectory(prefix="quarn-bench-load-") as temp:
        root = Path(temp)
        modules = generate(root)
        out = root / "out"
        run(root, modules, out, os.cpu_count() or 1, [])
        partitioned = next(
            (m, line.split()[1].split("(")[0])
            for m in modules
            for line in (root / f"{m}.py").read_text().splitlines()
            if line.startswith("def ") and line.endswith(", d0):")
        )
        last = modules[-1], f"a{499}"
        cases = [
            ("load, unpartitioned, end of the graph", last[0],
             f"quarn.load({last[0]}.{last[1]}, out='out')"),
            ("load, one of 301 partitions", partitioned[0],
             f"quarn.load({partitioned[0]}.{partitioned[1]}, out='out', partition={{'d0': 5}})"),
            ("load_all, 301 partitions", partitioned[0],
             f"quarn.load_all({partitioned[0]}.{partitioned[1]}, out='out')"),
        ]  # fmt: skip
        print(f"output directory: 2,000 jobs; load average {os.getloadavg()[0]:.2f}")
        for title, module, call in cases:
            imports, first, again = probe(root, module, call)
            print(
                f"{title:40} first call {first * 1000:7.1f} ms (after imports of "
                f"{imports * 1000:.0f} ms), later calls {again * 1000:7.1f} ms "
                f"(median of {REPEATS})"
            )


if __name__ == "__main__":
    main()
