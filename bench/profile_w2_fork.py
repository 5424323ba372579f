"""Where a forked W2 job's time goes, against the same work in one process:

    python bench/profile_w2_fork.py [--rounds N] [--root DIR]

1. What importing the parquet support costs a forked child that does not have it yet: the
   template imports the project, and pandas does not import pyarrow.parquet, so every job
   imports it (and pyarrow.dataset, which reading a file pulls in) itself.
2. One W2 job's stages (read the frame with quarn's parquet serializer, group, write the
   result) in a child forked from a process set up as the warm template is (pandas, the
   parquet support and quarn's job modules loaded, the heap frozen), against the same
   stages repeated in one process: milliseconds and minor page faults of each, medians of
   N children.
3. Whole runs of W2, interleaved, medians of N: quarn fork, quarn fork with the project
   importing the parquet support itself (as a template that had it would), quarn none and
   the bare fork script, with the page faults and system time of all their processes.

The load average is printed with every figure.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import resource
import shutil
import statistics
import sys
import tempfile
import time
import warnings
from collections.abc import Callable
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE / "peers")]

from measure import Contender, Figure, load, sample  # noqa: E402
from w2_work import group, make_frame  # noqa: E402

PARQUET_SUPPORT = ("pyarrow.parquet", "pyarrow.dataset")
STAGES = ("read", "group", "write")
# The template's children are forked from a process with pyarrow's threads; so are these.
warnings.filterwarnings("ignore", "This process .* is multi-threaded", DeprecationWarning)


def faults() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def stages(source: str, out: str, part: int) -> list[tuple[float, int]]:
    """(seconds, minor faults) of each stage of one job."""
    from quarn.runner.store import tables

    marks = [(time.perf_counter(), faults())]
    frame = tables.load_parquet(source)
    marks.append((time.perf_counter(), faults()))
    result = group(frame, part)
    marks.append((time.perf_counter(), faults()))
    tables.dump_parquet(result, out)
    marks.append((time.perf_counter(), faults()))
    return [(b[0] - a[0], b[1] - a[1]) for a, b in zip(marks, marks[1:], strict=False)]


def in_child(work: Callable[[], Any]) -> Any:
    """What `work()` returns, computed in a forked child."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        os.write(write, json.dumps(work()).encode())
        os._exit(0)
    os.close(write)
    chunks = []
    while chunk := os.read(read, 65536):
        chunks.append(chunk)
    os.close(read)
    os.waitpid(pid, 0)
    return json.loads(b"".join(chunks))


def forked_job(folder: Path, rounds: int) -> None:
    import quarn.runner.executors.fork.template  # noqa: F401 - as the template has them
    import quarn.runner.job.run  # noqa: F401
    from quarn.runner.store import tables

    source, out = str(folder / "frame.parquet"), str(folder / "grouped.parquet")
    tables.dump_parquet(make_frame(), source)
    tables.load_parquet(source)  # the parquet support is loaded from here on, as in the template
    gc.freeze()
    forked = [in_child(lambda p=p: stages(source, out, p)) for p in range(rounds)]
    here = [stages(source, out, p) for p in range(rounds)]
    print(f"2. one W2 job's stages, median of {rounds} (load {load():.2f})")
    print(f"  {'':8s} {'forked job':>22s} {'in one process':>22s}")
    for i, name in enumerate(STAGES):
        cells = []
        for runs in (forked, here):
            ms = statistics.median(r[i][0] for r in runs) * 1000
            count = statistics.median(r[i][1] for r in runs)
            cells.append(f"{ms:6.2f} ms {count:6.0f} faults")
        print(f"  {name:8s} {cells[0]:>22s} {cells[1]:>22s}")
    forked_ms, here_ms = ([sum(s[0] for s in r) for r in runs] for runs in (forked, here))
    extra = (statistics.median(forked_ms) - statistics.median(here_ms)) * 1000
    print(f"  the forked job's work costs {extra:.1f} ms more")


def imports_in_child(rounds: int) -> None:
    def importing() -> float:
        started = time.perf_counter()
        for name in PARQUET_SUPPORT:
            __import__(name)
        return time.perf_counter() - started

    import quarn.runner.executors.fork.template  # noqa: F401 - as the template has them
    import quarn.runner.job.run  # noqa: F401

    ms = statistics.median(in_child(importing) for _ in range(rounds)) * 1000
    print(f"1. importing {' and '.join(PARQUET_SUPPORT)} in a forked job: {ms:.1f} ms")
    print(f"   (load {load():.2f}; the project imports pandas, which loads pyarrow but not these)")


def whole_runs(folder: Path, rounds: int) -> None:
    project = folder / "w2"
    project.mkdir()
    for name in ("w2_work.py", "w2_quarn.py", "w2_bare_fork.py"):
        shutil.copy(HERE / "peers" / name, project / name)
    preload = "".join(f"import {name}  # noqa: F401\n" for name in PARQUET_SUPPORT)
    text = (project / "w2_quarn.py").read_text()
    (project / "w2_warm.py").write_text(
        text.replace("import pandas as pd\n", preload + "import pandas as pd\n")
    )

    def quarn(module: str, isolation: str) -> Contender:
        return Contender(
            f"quarn {isolation} ({module})",
            lambda out: [
                sys.executable,
                "-m",
                "quarn.run",
                module,
                "--out",
                str(out),
                "--path",
                str(project),
                "--jobs",
                "2",
                "--isolation",
                isolation,
            ],  # fmt: skip
            project,
        )

    contenders = [
        quarn("w2_quarn", "fork"),
        quarn("w2_warm", "fork"),
        quarn("w2_quarn", "none"),
        Contender(
            "bare fork script", lambda out: [sys.executable, "w2_bare_fork.py", str(out)], project
        ),
    ]
    figures = {c.name: Figure() for c in contenders}
    counts: dict[str, list[tuple[float, int]]] = {c.name: [] for c in contenders}
    for _ in range(rounds):
        for contender in contenders:
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            sample(contender, folder, figures[contender.name])
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            counts[contender.name].append(
                (after.ru_stime - before.ru_stime, after.ru_minflt - before.ru_minflt)
            )
    print(
        f"3. whole W2 runs, median of {rounds} (w2_warm: the project imports the parquet support)"
    )
    for name, figure in figures.items():
        system = statistics.median(c[0] for c in counts[name])
        minor = statistics.median(c[1] for c in counts[name])
        print(
            f"  {name:28s} {figure.wall:6.3f} s  cpu {figure.cpu:6.3f} s  system {system:6.3f} s"
            f"  {minor / 51:6.0f} faults per job  load {figure.load:5.2f}"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5, metavar="N")
    parser.add_argument("--root", metavar="DIR", help="where the temporary folder goes")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="quarn-profile-w2-", dir=args.root) as temp:
        folder = Path(temp)
        imports_in_child(args.rounds)  # before anything here loads the parquet support
        forked_job(folder, args.rounds)
        whole_runs(folder, args.rounds)


if __name__ == "__main__":
    main()
