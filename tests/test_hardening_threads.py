"""Eight threads using every entry point at once get what one thread alone gets, and no crash."""

from __future__ import annotations

import json
import sys
import threading
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from discovery_model import PIPELINE

import quarn._quarn as q

THREADS = 8
ROUNDS = 25
KEYS = ["AAPL", 1, 2.5, None, [True, {"k": "\u00e9"}], 2**64]
MISSING = "quarn_threads_missing_module"


def double(x):
    return [x, x * 2]


def workload(root: Path, module) -> list[object]:
    """Everything one thread does; returns what it saw, to compare across threads."""
    seen: list[object] = []
    for round_ in range(ROUNDS):
        marker = q.partitions(KEYS)
        decorator = q.asset(name=f"n{round_}", inputs={"x": "ref:x"}, partitions={"d": marker})
        wrapper = decorator(double)
        seen += [repr(marker), wrapper(round_), wrapper.__quarn_metadata__, wrapper.__qualname__]
        seen += [wrapper.__name__, wrapper.__module__, wrapper.__wrapped__ is double]
        seen += [module.processed.__quarn_metadata__, module.processed([round_], k="b")]
        seen.append(q.inspect_modules([module.__name__, MISSING]))
        out = root / f"round{round_}"
        q.materialize_asset(module.__name__, "processed", str(out), '{"data": [1, 2]}')
        result = json.loads((out / "result.json").read_text(encoding="utf-8"))
        assert result.pop("value_path") == str(out / "value.json")
        seen.append(((out / "value.json").read_text(encoding="utf-8"), result))
    return seen


def test_threads_see_what_one_thread_sees(modules, tmp_path: Path, capfd) -> None:
    module = modules.load("quarn_threads_assets", PIPELINE)
    expected = workload(tmp_path / "single", module)
    barrier = threading.Barrier(THREADS, timeout=60)

    def run(index: int) -> list[object]:
        barrier.wait()  # all threads start together
        return workload(tmp_path / f"thread{index}", module)

    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # hand the interpreter lock over as often as possible
    try:
        with ThreadPoolExecutor(THREADS) as pool:
            results = list(pool.map(run, range(THREADS)))
    finally:
        sys.setswitchinterval(previous)
    for index, result in enumerate(results):
        assert result == expected, f"thread {index} saw something else"
    skipped = capfd.readouterr().err.count(f"quarn: skipping module '{MISSING}'")
    assert skipped == (THREADS + 1) * ROUNDS
