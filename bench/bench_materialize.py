"""Times `quarn.materialize(..., isolation="none")` of a 50-job pipeline against the jobs' own
work: each function called directly in this process, plus writing each value as a job stores
it (its JSON file and a record beside it, not synced: the run's syncs count against it). The
run's goal: under 2x that. Then the run again, with nothing to do.

python bench/bench_materialize.py
"""

from __future__ import annotations

import importlib
import json
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

import quarn
from quarn.runner.store import serializers

REPEATS = 5
KEYS = 12  # four partitioned assets of 12 jobs, two fan-ins: 50 jobs
WORK = 150_000  # loop turns of each job: some milliseconds of work

PIPELINE = f"""
from quarn import asset, partitions

KEYS = partitions(list(range({KEYS})))


def work():
    total = 0
    for i in range({WORK}):
        total += i
    return total


@asset(partitions={{"k": KEYS}})
def raw(k):
    work()
    return [k * 0.5 + i for i in range(500)]


@asset(partitions={{"k": KEYS}}, inputs={{"r": raw}})
def clean(k, r):
    work()
    return [v + 1 for v in r]


@asset(partitions={{"k": KEYS}}, inputs={{"c": clean}})
def scored(k, c):
    work()
    return [v * 2 for v in c]


@asset(partitions={{"k": KEYS}}, inputs={{"s": scored}})
def ranked(k, s):
    work()
    return sorted(s, reverse=True)


@asset(inputs={{"r": ranked}})
def summary(r):
    work()
    return {{m: sum(v) for m, v in r.items()}}


@asset(inputs={{"s": summary}})
def report(s):
    work()
    return {{"total": sum(s.values()), "keys": len(s)}}
"""


def store(value: object, folder: Path) -> None:
    """What storing one value takes: its JSON file and a record beside it."""
    folder.mkdir()
    serializers.get("json").dump(value, str(folder / "value.json"))
    (folder / "result.json").write_text('{"ok":true}', encoding="utf-8")


def own_time(module: object, scratch: Path) -> tuple[float, float]:
    """The functions' own time, called directly upstream first, and the time of storing
    their values."""
    calls, writes = 0.0, 0.0
    written = 0

    def call(name: str, **kwargs: object) -> object:
        nonlocal calls, writes, written
        function = getattr(module, name).__wrapped__
        started = time.perf_counter()
        value = function(**kwargs)
        calls += time.perf_counter() - started
        started = time.perf_counter()
        store(value, scratch / f"{written}")
        writes += time.perf_counter() - started
        written += 1
        return value

    ranked = {}
    for k in range(KEYS):
        r = call("raw", k=k)
        c = call("clean", k=k, r=r)
        s = call("scored", k=k, c=c)
        ranked[json.dumps(k)] = call("ranked", k=k, s=s)
    call("report", s=call("summary", r=ranked))
    return calls, writes


def main() -> None:
    with tempfile.TemporaryDirectory(prefix="quarn-bench-materialize-") as temp:
        root = Path(temp)
        (root / "bench_pipeline.py").write_text(PIPELINE, encoding="utf-8")
        sys.path.insert(0, str(root))
        module = importlib.import_module("bench_pipeline")
        own = []
        for attempt in range(REPEATS):
            (root / f"scratch{attempt}").mkdir()
            own.append(own_time(module, root / f"scratch{attempt}"))
        calls, writes = (statistics.median(t[i] for t in own) for i in range(2))
        del sys.modules["bench_pipeline"]
        sys.path.remove(str(root))
        full, again = [], []
        for attempt in range(REPEATS):
            out = root / f"out{attempt}"
            started = time.perf_counter()
            result = quarn.materialize("bench_pipeline", path=root, out=out, isolation="none")
            full.append(time.perf_counter() - started)
            assert result.ok and len(result.ran) == 50, result.failed
            started = time.perf_counter()
            result = quarn.materialize("bench_pipeline", path=root, out=out, isolation="none")
            again.append(time.perf_counter() - started)
            assert result.ran == ()
    run = statistics.median(full)
    base = calls + writes
    print(f"pipeline: 50 jobs; load average {os.getloadavg()[0]:.2f}; medians of {REPEATS}")
    print(
        f"the jobs' own work:   {calls * 1000:7.1f} ms, storing their values {writes * 1000:.1f} ms"
    )
    print(
        f"materialize, none:    {run * 1000:7.1f} ms = {run / base:.2f}x the work and the "
        f"writes (goal < 2x); {(run - base) / 50 * 1000:.1f} ms a job beside them"
    )
    print(f"again, nothing to do: {statistics.median(again) * 1000:7.1f} ms")


if __name__ == "__main__":
    main()
