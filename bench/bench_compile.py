"""What a spawned job pays to compile the project's modules, against reading compiled code
back and against starting the worker at all: the figures behind compiling every project
module in each job instead of keeping compiled code anywhere."""

from __future__ import annotations

import argparse
import inspect
import marshal
import os
import statistics
import subprocess
import sys
import time
from collections.abc import Callable


def timed(action: Callable[[], object], repeat: int) -> float:
    """The median of `repeat` timings of `action`, in milliseconds."""
    samples = []
    for _ in range(repeat):
        start = time.perf_counter()
        action()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples) * 1000


def sample_sources() -> dict[str, bytes]:
    """Modules of the sizes a project holds: a few real ones and a generated large one."""
    import argparse as large
    import json.decoder as small

    import quarn.runner.executors.executor as medium

    sources = {}
    for module in (small, medium, large):
        path = inspect.getsourcefile(module)
        assert path is not None
        with open(path, "rb") as handle:
            sources[os.path.basename(path)] = handle.read()
    asset = (
        "@asset(inputs={{'x': step_{p}}})\ndef step_{i}(x: list) -> list:\n"
        '    """One step."""\n    return [v * {i} for v in x if v % 3 != {i} % 3]\n\n'
    )
    body = "from quarn import asset\n\n@asset()\ndef step_0() -> list:\n    return [1]\n\n"
    body += "".join(asset.format(i=i, p=i - 1) for i in range(1, 1000))
    sources["generated (1000 assets)"] = body.encode()
    return sources


def worker_start(repeat: int) -> float:
    """A spawned job worker's interpreter start and imports, before any project module."""
    command = [sys.executable, "-c", "import quarn.runner.job.run"]
    return timed(lambda: subprocess.run(command, check=True), repeat)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeat", type=int, default=30)
    args = parser.parse_args()
    print(f"load average: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    print(f"{'module':<28}{'lines':>7}{'compile ms':>12}{'unmarshal ms':>14}")
    for name, data in sample_sources().items():
        code = compile(data, name, "exec", dont_inherit=True)
        blob = marshal.dumps(code)
        compiling = timed(lambda d=data, n=name: compile(d, n, "exec", dont_inherit=True),
                          args.repeat)  # fmt: skip
        loading = timed(lambda b=blob: marshal.loads(b), args.repeat)
        lines = data.count(b"\n")
        print(f"{name:<28}{lines:>7}{compiling:>12.2f}{loading:>14.3f}")
    print(f"job worker start (no project module): {worker_start(max(args.repeat // 3, 5)):.1f} ms")


if __name__ == "__main__":
    main()
