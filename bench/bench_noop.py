"""No-op runs of W2 (a module importing pandas: one parquet frame, 50 partitioned groupby
jobs on it): whether the project (so pandas) was imported, and the times of `quarn run`
and `quarn run --check-only` with nothing to do: with the remembered answers and
discovery in the user's cache, with the discovery alone (a command line never answered
before), and without either (a cache folder quarn may not use); interleaved, medians
of the rounds.

python bench/bench_noop.py [--rounds N] [--isolation fork|spawn|none]
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

W2 = """
import os
import numpy
import pandas
from quarn import asset, partitions

with open(os.environ["W2_IMPORTS"], "a") as log:  # how often the project is imported
    log.write("imported\\n")

ROWS = 100_000


@asset(serializer="parquet")
def frame():
    rng = numpy.random.default_rng(0)
    return pandas.DataFrame({"key": rng.integers(0, 1_000, ROWS), "x": rng.random(ROWS)})


@asset(inputs={"frame": frame}, partitions={"part": partitions(list(range(50)))})
def grouped(frame, part):
    rows = frame[frame["key"] % 50 == part]
    return rows.groupby("key")["x"].mean().round(6).tolist()
"""


def run(root: Path, env: dict[str, str], extra: list[str]) -> tuple[float, str]:
    command = [sys.executable, "-m", "quarn.run", "w2", "--out", "out", "--path", str(root)]
    command += ["--jobs", "2", *extra]
    started = time.perf_counter()
    done = subprocess.run(command, cwd=root, env=env, capture_output=True, text=True)
    seconds = time.perf_counter() - started
    if done.returncode != 0:
        sys.stderr.write(done.stdout[-2000:] + done.stderr[-4000:])
        raise SystemExit(f"run failed with exit status {done.returncode}")
    return seconds, done.stdout + done.stderr


def imports(log: Path) -> int:
    return len(log.read_text().splitlines()) if log.exists() else 0


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--isolation", default="fork")
    args = parser.parse_args()
    extra = ["--isolation", args.isolation]
    with tempfile.TemporaryDirectory(prefix="quarn-bench-noop-") as temp:
        root = Path(temp)
        (root / "w2.py").write_text(W2, encoding="utf-8")
        log = root / "imports.log"
        (root / "cache").mkdir()
        cached = {**os.environ, "W2_IMPORTS": str(log), "XDG_CACHE_HOME": str(root / "cache")}
        uncached = {**cached, "XDG_CACHE_HOME": "no-cache"}  # not absolute: never used
        full, _ = run(root, cached, extra)
        first, _ = run(root, cached, extra)  # plans, and remembers what it found
        kinds = {
            "run, remembered": (cached, extra),
            "run, not remembered": (uncached, extra),
            "--check-only, remembered": (cached, [*extra, "--check-only"]),
            "--check-only, discovery only": (cached, [*extra, "--check-only", "--retries"]),
            "--check-only, not remembered": (uncached, [*extra, "--check-only"]),
        }
        times: dict[str, list[float]] = {kind: [] for kind in kinds}
        imported: dict[str, int] = dict.fromkeys(kinds, 0)
        for round in range(args.rounds):
            for kind, (env, words) in kinds.items():
                if kind.endswith("discovery only"):  # a command line not answered before
                    words = [*words, str(round)]
                before = imports(log)
                seconds, output = run(root, env, words)
                if "nothing to do" not in output and " 0 to run " not in output:
                    raise SystemExit(f"{kind}: something was to run:\n{output}")
                times[kind].append(seconds)
                imported[kind] += imports(log) - before
        importtime = subprocess.run(
            [sys.executable, "-X", "importtime", "-m", "quarn.run", "w2", "--out", "out",
             "--path", str(root), "--jobs", "2", *extra],
            cwd=root, env=cached, capture_output=True, text=True,
        )  # fmt: skip
        runner_pandas = any(
            line.rstrip().endswith("| pandas") for line in importtime.stderr.splitlines()
        )
    load = os.getloadavg()
    print(f"W2 no-op ({args.isolation}), medians of {args.rounds} interleaved rounds; load average "
          f"{load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")  # fmt: skip
    print(f"full run {full:.2f} s; first up-to-date run {first:.2f} s (plans, remembers)")
    for kind in kinds:
        print(
            f"  {kind:31s} {statistics.median(times[kind]):6.3f} s   "
            f"project (and pandas) imported in {imported[kind]} of {args.rounds} runs"
        )
    print(f"the runner imported pandas in a remembered no-op: {'yes' if runner_pandas else 'no'}")


if __name__ == "__main__":
    main()
