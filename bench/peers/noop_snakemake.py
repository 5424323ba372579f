"""The 2,000-job pipeline of bench_run.py as a Snakemake workflow: one rule per asset, a
partitioned asset's rule with one wildcard per dimension, and a rule `all` asking for every
job's output.

    python noop_snakemake.py FOLDER    writes FOLDER/Snakefile; then: snakemake -n in FOLDER
"""

from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from bench_run import pipeline  # noqa: E402


def _output(i: int, dims: dict[str, int]) -> str:
    if not dims:
        return f"a{i}/value.json"
    return f"a{i}/" + "_".join(f"{{{d}}}" for d in dims) + ".json"


def snakefile() -> str:
    assets = pipeline()
    targets = []
    for i, _, dims in assets:
        sizes = ", ".join(f"{d}=range({size})" for d, size in dims.items())
        target = repr(_output(i, dims))
        targets.append(f"expand({target}, {sizes})" if dims else target)
    lines = ["rule all:", "    input:", *(f"        {t}," for t in targets), ""]
    for i, upstream, dims in assets:
        lines += [f"rule a{i}:"]
        if upstream:
            lines += ["    input:", *(f"        {_output(j, {})!r}," for j in upstream)]
        lines += [
            "    output:",
            f"        {_output(i, dims)!r},",
            "    shell:",
            f'        "echo {i} > {{output}}"',
            "",
        ]
    return "\n".join(lines)


if __name__ == "__main__":
    folder = Path(sys.argv[1])
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "Snakefile").write_text(snakefile(), encoding="utf-8")
