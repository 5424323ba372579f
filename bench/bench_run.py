"""Times `python -m quarn.run` on a generated 500-asset, 2,000-job pipeline, then re-run:
the first up-to-date run plans (and remembers its answer), the no-op runs after it answer
from memory (the median of NOOP_RUNS).

python bench/bench_run.py [RUNNER OPTION...]     e.g. --isolation spawn
"""

from __future__ import annotations

import os
import random
import re
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

MODULES = 10
ASSETS = 500
# (dimension sizes) of the partitioned assets: 5 assets of 301 jobs each.
PARTITIONED = [(301,), (301,), (301,), (7, 43), (7, 43)]
SEED = 7
NOOP_RUNS = 5


def pipeline() -> list[tuple[int, list[int], dict[str, int]]]:
    """The generated pipeline, for any tool: (asset number, its upstream asset numbers,
    its partition dimensions and their sizes) in order, upstreams first."""
    rng = random.Random(SEED)
    partitioned = {rng.randrange(20, ASSETS): dims for dims in PARTITIONED}
    while len(partitioned) < len(PARTITIONED):  # keep five distinct positions
        partitioned.setdefault(rng.randrange(20, ASSETS), PARTITIONED[len(partitioned)])
    assets = []
    for i in range(ASSETS):
        upstream = []
        if i >= 5:
            # only unpartitioned upstreams, so every partitioned asset fans out from them
            choices = [j for j in rng.sample(range(i), min(i, 4)) if j not in partitioned]
            upstream = sorted(choices[: rng.randint(0, 2)])
        dims = {f"d{k}": size for k, size in enumerate(partitioned.get(i, ()))}
        assets.append((i, upstream, dims))
    return assets


def generate(root: Path) -> list[str]:
    """Writes the modules and returns their names. Every body is trivial."""
    per_module = ASSETS // MODULES
    names: list[str] = []
    assets = pipeline()
    for m in range(MODULES):
        lines = ["from quarn import asset, partitions", ""]
        for i, upstream, dims in assets[m * per_module : (m + 1) * per_module]:
            inputs = {f"u{j}": f"a{j}" for j in upstream}
            params = list(inputs) + list(dims)
            parts = ""
            if dims:
                parts = (
                    ", partitions={"
                    + ", ".join(
                        f'"{d}": partitions(list(range({size})))' for d, size in dims.items()
                    )
                    + "}"
                )
            refs = ", ".join(
                f'"{p}": {_ref(names, j, m, per_module)}'
                for p, j in zip(inputs, upstream, strict=True)
            )
            lines.append(f"@asset(inputs={{{refs}}}{parts})")
            lines.append(f"def a{i}({', '.join(params)}):")
            lines.append(f"    return {i}")
            lines.append("")
        name = f"bench_mod{m}"
        (root / f"{name}.py").write_text("\n".join(lines), encoding="utf-8")
        names.append(name)
    return names


def _ref(names: list[str], j: int, m: int, per_module: int) -> str:
    """An upstream in this module by name, in an earlier one by its reference text."""
    if j // per_module == m:
        return f"a{j}"
    return f'__import__("{names[j // per_module]}").a{j}'


def run(
    root: Path, modules: list[str], out: Path, jobs: int, extra: list[str]
) -> tuple[float, str, str]:
    command = [
        sys.executable,
        "-m",
        "quarn.run",
        *modules,
        "--out",
        str(out),
        "--path",
        str(root),
        "--jobs",
        str(jobs),
        "--stats",
        *extra,
    ]
    started = time.perf_counter()
    done = subprocess.run(command, capture_output=True, text=True, cwd=root)
    seconds = time.perf_counter() - started
    if done.returncode != 0:
        sys.stderr.write(done.stdout[-2000:] + done.stderr[-4000:])
        raise SystemExit(f"run failed with exit status {done.returncode}")
    return seconds, done.stdout, done.stderr


def main() -> None:
    cores = os.cpu_count() or 1
    extra = sys.argv[1:]
    with tempfile.TemporaryDirectory(prefix="quarn-bench-run-") as temp:
        root = Path(temp)
        modules = generate(root)
        out = root / "out"
        full, stdout, stderr = run(root, modules, out, cores, extra)
        total = re.search(r"^(\d+) jobs: (\d+) succeeded", stdout, re.MULTILINE)
        stats = re.search(r"^quarn: stats: .*$", stderr, re.MULTILINE)
        again, stdout2, _ = run(root, modules, out, cores, extra)
        fresh = re.search(r"nothing to do: (\d+) jobs up to date", stdout2)
        noops = []
        for _ in range(NOOP_RUNS):
            seconds, stdout3, _ = run(root, modules, out, cores, extra)
            fresh = fresh and re.search(r"nothing to do: (\d+) jobs up to date", stdout3)
            noops.append(seconds)
    load = os.getloadavg()
    print(
        f"pipeline: {ASSETS} assets, {total.group(1) if total else '?'} jobs, --jobs {cores} "
        + " ".join(extra)
    )
    print(f"full run:       {full:7.2f} s  ({total.group(2) if total else '?'} succeeded)")
    print(f"  {stats.group(0) if stats else 'no stats line'}")
    print(f"up-to-date run: {again:7.2f} s  (plans, and remembers its answer)")
    print(
        f"no-op run:      {statistics.median(noops):7.3f} s  (median of {NOOP_RUNS}; goal "
        f"0.15 s; {'nothing re-run' if fresh else 'SOMETHING RAN AGAIN'})"
    )
    print(f"load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")


if __name__ == "__main__":
    main()
