"""The 2,000-job pipeline of bench_run.py as a joblib program: one function per asset, each
cached by `joblib.Memory` under the program's folder, called for every job in order (a
partitioned asset once per key), so that a second run checks every job and loads its
cached value.

    python noop_joblib.py FOLDER    writes FOLDER/pipeline.py; then: python pipeline.py
"""

from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from bench_run import pipeline  # noqa: E402

HEADER = """from itertools import product

from joblib import Memory

memory = Memory("cache", verbose=0)
"""


def program() -> str:
    assets = pipeline()
    lines = [HEADER]
    for i, upstream, dims in assets:
        params = [f"u{j}" for j in upstream] + list(dims)
        lines += ["@memory.cache", f"def a{i}({', '.join(params)}):", f"    return {i}", ""]
    lines += ["", "def main():", "    v = {}"]
    for i, upstream, dims in assets:
        args = [f"v[{j}]" for j in upstream]
        if not dims:
            lines.append(f"    v[{i}] = a{i}({', '.join(args)})")
            continue
        loops = ", ".join(f"range({size})" for size in dims.values())
        keys = ", ".join(dims)
        lines.append(f"    for {keys}, in product({loops}):")
        lines.append(f"        a{i}({', '.join(args + list(dims))})")
    lines += ["", "", 'if __name__ == "__main__":', "    main()", ""]
    return "\n".join(lines)


if __name__ == "__main__":
    folder = Path(sys.argv[1])
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "pipeline.py").write_text(program(), encoding="utf-8")
