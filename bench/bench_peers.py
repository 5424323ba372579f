"""quarn side by side with what users would pick instead, one command per goal of the issue
on speed against the peers (goals 1 to 3):

    python bench/bench_peers.py [--goal 1|2|3]... [--repeat N] [--root DIR] [--peers-env DIR]

Goal 1, real pandas work (W2): one frame of 100k rows stored as parquet and 50 group-by
jobs over `partitions(list(range(50)))` each reading it, 2 at a time. Whole-command times
of quarn fork and `--isolation none`, Hamilton with its cache (`with_cache()`, parquet),
joblib `Parallel(n_jobs=2)` (two worker processes, nothing persisted), the bare fork script
(a process forked per job, two at a time, reading the parquet and writing its result: the
floor of forking), and the in-process floor without and with the value writes; then the
ratios the goal names, W2's planning time (`--check-only`), its no-op run, and whether
that no-op run imports pandas (an import hook on PYTHONPATH, see peers/watch_imports/).

Goal 2, per job: a chain of 200 trivial jobs, one at a time; per job from the difference
with a chain of 1 (start-up cancels out): quarn fork and none, Luigi forking a process per
task and Luigi in-process, and the floor: a fork and an exit in a process with quarn's
modules loaded (peers/fork_floor.py).

Goal 3, no-op runs: the 2,000-job pipeline of bench_run.py, run once, then re-run with
nothing changed: quarn against joblib `Memory` checking every job and Snakemake (its dry
run, and a plain re-run); and W2's no-op figures when goal 1 is not run.

The peer programs are the files under peers/, one per tool and workload. The tools go into
their own virtual environment (default build/bench-peers, made on first use with venv and
pip, reused after; pandas, pyarrow and numpy pinned to this environment's versions); a tool
that cannot be installed is said so and left out. Every figure is the median of N samples
(default 3), the contenders of a goal interleaved round after round, and comes with its
processor time (every process the command started and waited for) and the mean of the
1-minute load average read before each of its samples. Outputs go to a temporary folder
under DIR (default: the system's); its file system is printed, as its syncs are part of
the figures.
"""

from __future__ import annotations

import argparse
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
PEERS = HERE / "peers"
sys.path[:0] = [str(HERE), str(PEERS)]

import environment  # noqa: E402
import measure  # noqa: E402
from bench_isolation import CHAIN, chain_module  # noqa: E402
from bench_run import generate  # noqa: E402
from measure import Contender, interleaved, line, ratio, seconds  # noqa: E402
from noop_joblib import program  # noqa: E402
from noop_snakemake import snakefile  # noqa: E402

W2_FILES = (
    "w2_work.py", "w2_quarn.py", "w2_hamilton.py", "w2_joblib.py", "w2_bare_fork.py",
    "w2_inprocess.py",
)  # fmt: skip
W2_JOBS = 51
SLOTS = 2


@dataclass
class Bench:
    root: Path
    repeat: int
    peers: Path | None  # the peers' interpreter
    tools: dict[str, str]  # tool: version, of those available

    @property
    def python(self) -> str:
        return sys.executable

    def quarn(self, *args: str) -> list[str]:
        return [self.python, "-m", "quarn.run", *args]

    def has(self, tool: str) -> bool:
        return self.peers is not None and tool in self.tools


def expect(text: str) -> Callable[[str], str]:
    return lambda output: "" if text in output else f"its output lacks {text!r}"


# Goal 1 -------------------------------------------------------------------------------------


def w2_project(bench: Bench) -> Path:
    project = bench.root / "w2"
    if not project.exists():
        project.mkdir()
        for name in W2_FILES:
            shutil.copy(PEERS / name, project / name)
    return project


def goal1(bench: Bench) -> None:
    project = w2_project(bench)
    py = bench.python

    def quarn(isolation: str) -> Contender:
        options = ["--path", str(project), "--jobs", str(SLOTS), "--isolation", isolation]
        return Contender(
            f"quarn {isolation}",
            lambda out: bench.quarn("w2_quarn", "--out", str(out), *options),
            project,
            check=expect(f"{W2_JOBS} succeeded"),
        )

    contenders = [quarn("fork"), quarn("none")]
    persisting = []
    if bench.has("hamilton"):
        peers = str(bench.peers)
        contenders.append(
            Contender(
                "hamilton with_cache()", lambda out: [peers, "w2_hamilton.py", str(out)], project
            )
        )
        persisting.append("hamilton with_cache()")
    if bench.has("joblib"):
        peers = str(bench.peers)
        contenders.append(
            Contender("joblib Parallel(n_jobs=2)", lambda out: [peers, "w2_joblib.py"], project)
        )
    contenders += [
        Contender("bare fork script", lambda out: [py, "w2_bare_fork.py", str(out)], project),
        Contender("in-process floor", lambda out: [py, "w2_inprocess.py"], project),
        Contender(
            "in-process + value writes", lambda out: [py, "w2_inprocess.py", str(out)], project
        ),
    ]
    print(
        f"goal 1: W2, real pandas work ({W2_JOBS} jobs, {SLOTS} at a time): whole command, "
        f"median of {bench.repeat}",
        flush=True,
    )
    figures = interleaved(contenders, bench.root, bench.repeat)
    for name, figure in figures.items():
        print(line(name, seconds(figure)))
    fork, none = figures["quarn fork"], figures["quarn none"]
    print("  ratios (wall):")
    if persisting:
        best = min(persisting, key=lambda name: figures[name].wall)
        print(ratio(f"fork / {best}", fork, figures[best], "goal <= 1.0"))
    else:
        print(line("fork / best persisting alternative", "no alternative that persists ran"))
    if "joblib Parallel(n_jobs=2)" in figures:
        joblib = figures["joblib Parallel(n_jobs=2)"]
        print(ratio("fork / joblib Parallel(n_jobs=2)", fork, joblib, "second reference"))
    print(ratio("fork / bare fork script", fork, figures["bare fork script"], "goal <= 1.3"))
    floor = figures["in-process + value writes"]
    print(ratio("none / (in-process + value writes)", none, floor, "goal <= 1.1"))
    w2_noop(bench, project)


def w2_noop(bench: Bench, project: Path) -> None:
    """W2's planning time and no-op run against an up-to-date output directory, and whether
    the no-op run imports pandas."""
    out, probed = bench.root / "w2-out", bench.root / "w2-probed"
    common = ["w2_quarn", "--path", str(project), "--jobs", str(SLOTS)]
    once(bench.quarn(*common, "--out", str(out)), project)
    # The probe's module is code every process runs, so a job run under it is a job of
    # other code: the probed full run has an output directory of its own.
    full_run_imports = imports_pandas(bench, project, bench.quarn(*common, "--out", str(probed)))
    common += ["--out", str(out)]
    contenders = [
        Contender(
            "plan (--check-only)",
            lambda _: bench.quarn(*common, "--check-only"),
            project,
            check=expect(f"{W2_JOBS} jobs, 0 to run"),
        ),
        Contender(
            "no-op run", lambda _: bench.quarn(*common), project, check=expect("nothing to do")
        ),
    ]
    print(f"  W2 up to date, median of {bench.repeat}:", flush=True)
    for name, figure in interleaved(contenders, bench.root, bench.repeat).items():
        print(line(name, seconds(figure)))
    # Twice: should the probe's own change of the environment make the first no-op run
    # discover again, the second shows the no-op run of an unchanged environment.
    imports_pandas(bench, project, bench.quarn(*common), "nothing to do")
    noop_imports = imports_pandas(bench, project, bench.quarn(*common), "nothing to do")
    if not full_run_imports:
        print(line("no-op run imports pandas", "unknown: the probe missed the full run's import"))
    else:
        answer = "yes (goal: no): " + "; ".join(noop_imports) if noop_imports else "no (goal: no)"
        print(line("no-op run imports pandas", answer))


def imports_pandas(bench: Bench, project: Path, argv: list[str], expected: str = "") -> list[str]:
    """The processes of the command that imported pandas (their command lines)."""
    log = bench.root / "imports.log"
    log.write_text("")
    hook = str(PEERS / "watch_imports")
    path = os.pathsep.join(p for p in (hook, os.environ.get("PYTHONPATH", "")) if p)
    env = {**os.environ, "PYTHONPATH": path, "QUARN_BENCH_IMPORTS": str(log)}
    done = subprocess.run(argv, cwd=project, env=env, capture_output=True, text=True)
    if done.returncode != 0:
        sys.stderr.write(done.stdout[-2000:] + done.stderr[-3000:])
        raise SystemExit(f"W2 under the import probe: exit status {done.returncode}")
    if expected not in done.stdout:
        raise SystemExit(f"W2 under the import probe: its output lacks {expected!r}")
    found = [entry.split(" ", 1)[-1] for entry in log.read_text().splitlines()]
    return [re.sub(r"^\S*/", "", command) for command in found]


# Goal 2 -------------------------------------------------------------------------------------


def goal2(bench: Bench) -> None:
    project = bench.root / "chain"
    project.mkdir(exist_ok=True)
    (project / "chain1.py").write_text(chain_module(1))
    (project / "chain.py").write_text(chain_module(CHAIN))
    shutil.copy(PEERS / "chain_luigi.py", project / "chain_luigi.py")
    pairs: dict[str, tuple[str, str]] = {}  # what per job: (its chain of 1, its chain)
    contenders = []

    def add(name: str, argv: Callable[[int, Path], list[str]]) -> None:
        for length in (1, CHAIN):
            contenders.append(
                Contender(f"{name} {length}", lambda out, n=length: argv(n, out), project)
            )
        pairs[name] = (f"{name} 1", f"{name} {CHAIN}")

    for isolation in ("fork", "none"):
        options = ["--path", str(project), "--jobs", "1", "--isolation", isolation]
        add(
            f"quarn {isolation}",
            lambda n, out, o=options: bench.quarn(
                "chain" if n > 1 else "chain1", "--out", str(out), *o
            ),
        )
    if bench.has("luigi"):
        peers = str(bench.peers)
        add("luigi forking", lambda n, out: [peers, "chain_luigi.py", str(n), str(out), "--fork"])
        add("luigi in-process", lambda n, out: [peers, "chain_luigi.py", str(n), str(out)])
    fork_floor = [bench.python, str(PEERS / "fork_floor.py"), "500", "1"]
    contenders.append(Contender("fork floor", lambda _: fork_floor, project, report=float))
    print(
        f"goal 2: a chain of {CHAIN} trivial jobs, one at a time: wall time per job from the "
        f"difference with a chain of 1, median of {bench.repeat}",
        flush=True,
    )
    figures = interleaved(contenders, bench.root, bench.repeat)
    per_job: dict[str, float] = {}
    for name, (one, many) in pairs.items():
        a, b = figures[one], figures[many]
        per_job[name] = (b.wall - a.wall) / (CHAIN - 1)
        cpu = (b.cpu - a.cpu) / (CHAIN - 1)
        load = statistics.fmean(a.loads + b.loads)
        text = f"{per_job[name] * 1000:7.2f} ms  cpu {cpu * 1000:6.2f} ms  load {load:5.2f}"
        goal = {"quarn fork": "  (goal <= 3)", "quarn none": "  (goal <= 1.5)"}.get(name, "")
        print(line(name, text + goal))
    floor = figures["fork floor"]
    floor_ms = statistics.median(floor.reported) * 1000
    print(line("fork + exit, quarn loaded (floor)", f"{floor_ms:7.2f} ms  load {floor.load:5.2f}"))
    print(line("quarn fork - floor", f"{per_job['quarn fork'] * 1000 - floor_ms:7.2f} ms"))


# Goal 3 -------------------------------------------------------------------------------------


def goal3(bench: Bench, w2: bool) -> None:
    folder = bench.root / "noop"
    quarn_dir, joblib_dir, snake_dir = folder / "quarn", folder / "joblib", folder / "snakemake"
    quarn_dir.mkdir(parents=True)
    modules = generate(quarn_dir)
    out = folder / "quarn-out"
    argv = bench.quarn(*modules, "--out", str(out), "--path", str(quarn_dir), "--jobs", str(SLOTS))
    print("goal 3: no-op re-run of the 2,000-job pipeline of bench_run.py", flush=True)
    contenders = [
        Contender("quarn", lambda _: argv, quarn_dir, check=expect("nothing to do: 2000 jobs"))
    ]
    first = {"quarn": once(argv, quarn_dir)}
    if bench.has("joblib"):
        joblib_dir.mkdir()
        (joblib_dir / "pipeline.py").write_text(program())
        joblib_argv = [str(bench.peers), "pipeline.py"]
        first["joblib Memory"] = once(joblib_argv, joblib_dir)
        contenders.append(Contender("joblib Memory", lambda _: joblib_argv, joblib_dir))
    if bench.has("snakemake"):
        snake_dir.mkdir()
        (snake_dir / "Snakefile").write_text(snakefile())
        snakemake = str(Path(str(bench.peers)).parent / "snakemake")
        # the first run only makes the outputs to re-run against: the quicker scheduler
        first["snakemake"] = once(
            [snakemake, "--cores", str(SLOTS), "-q", "--scheduler", "greedy"], snake_dir
        )
        nothing = expect("Nothing to be done")
        contenders += [
            Contender(
                "snakemake -n (dry run)",
                lambda _: [snakemake, "-n", "-q"],
                snake_dir,
                check=nothing,
            ),
            Contender(
                "snakemake re-run",
                lambda _: [snakemake, "--cores", str(SLOTS), "-q"],
                snake_dir,
                check=nothing,
            ),
        ]
    for name, took in first.items():
        print(line(f"first run: {name}", f"{took:7.2f} s (once, not a goal)"))
    print(f"  no-op re-run, whole command, median of {bench.repeat}:", flush=True)
    figures = interleaved(contenders, bench.root, bench.repeat)
    for name, figure in figures.items():
        goal = "  (goal <= 0.15 s)" if name == "quarn" else ""
        print(line(name, seconds(figure) + goal))
    others = [name for name in figures if name != "quarn"]
    if others:
        best = min(others, key=lambda name: figures[name].wall)
        print(ratio(f"quarn / {best}", figures["quarn"], figures[best], "goal <= 0.5"))
    if w2:
        print("  W2:")
        w2_noop(bench, w2_project(bench))


def once(argv: list[str], cwd: Path) -> float:
    started = time.perf_counter()
    done = subprocess.run(argv, cwd=cwd, capture_output=True, text=True, stdin=subprocess.DEVNULL)
    took = time.perf_counter() - started
    if done.returncode != 0:
        sys.stderr.write(done.stdout[-2000:] + done.stderr[-3000:])
        raise SystemExit(f"{' '.join(argv[:3])}: exit status {done.returncode}")
    return took


# The machine --------------------------------------------------------------------------------


def file_system(path: Path) -> str:
    best, kind = "", "?"
    try:
        with open("/proc/mounts", encoding="utf-8") as mounts:
            for entry in mounts:
                fields = entry.split()
                point = fields[1]
                inside = str(path).startswith(point.rstrip("/") + "/") or str(path) == point
                if inside and len(point) > len(best):
                    best, kind = point, fields[2]
    except OSError:
        pass
    return kind


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--goal", type=int, action="append", choices=(1, 2, 3))
    parser.add_argument("--repeat", type=int, default=3, metavar="N")
    parser.add_argument("--root", metavar="DIR", help="where the temporary folder goes")
    parser.add_argument(
        "--peers-env", metavar="DIR", default=str(HERE.parent / "build" / "bench-peers"),
        help="the peers' virtual environment (default: build/bench-peers)",
    )  # fmt: skip
    args = parser.parse_args()
    goals = sorted(set(args.goal or (1, 2, 3)))
    peers, tools, notes = environment.prepare(Path(args.peers_env).resolve())
    for note in notes:
        print(f"note: {note}")
    with tempfile.TemporaryDirectory(prefix="quarn-bench-peers-", dir=args.root) as temp:
        root = Path(temp).resolve()
        bench = Bench(root, args.repeat, peers, tools)
        print(
            f"machine: {os.cpu_count()} cores, load average {measure.load():.2f} at the start; "
            f"outputs on {file_system(root)}; Python {platform.python_version()}; "
            + ", ".join(f"{t} {v}" for t, v in sorted(tools.items()))
        )
        for goal in goals:
            if goal == 1:
                goal1(bench)
            elif goal == 2:
                goal2(bench)
            else:
                goal3(bench, w2=1 not in goals)
        print(f"load average at the end: {measure.load():.2f}")


if __name__ == "__main__":
    main()
