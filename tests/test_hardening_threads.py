"""Eight threads using every entry point at once get what one thread alone gets, and no crash."""

from __future__ import annotations

import json
import sys
import threading
from pathlib import Path

import pytest
from hardening_probe import ASSET, INSPECT, WORKER

import quarn._quarn as q

THREADS = 8
ROUNDS = 25
KEYS = ["AAPL", 1, 2.5, None, [True, {"k": "\u00e9"}], 2**64]

ASSET_MODULE = """
from quarn import asset, partitions

@asset()
def raw():
    return [1, 2, 3]

@asset(name="processed", inputs={"data": raw}, partitions={"k": partitions(["a", "b"])})
def processed(data, k="a"):
    '''Doubles the data.'''
    return {"doubled": [x * 2 for x in data], "k": k, "text": "caf\u00e9"}
"""


def double(x):
    return [x, x * 2]


def workload(root: Path, module) -> list[object]:
    """Everything one thread does; returns what it saw, to compare across threads."""
    seen: list[object] = []
    for round_ in range(ROUNDS):
        marker = q.partitions(KEYS)
        seen.append(repr(marker))
        if not ASSET:
            continue
        decorator = q.asset(name=f"n{round_}", inputs={"x": "ref:x"}, partitions={"d": marker})
        wrapper = decorator(double)
        seen.append(wrapper(round_))
        seen.append(wrapper.__quarn_metadata__)
        seen.append((wrapper.__name__, wrapper.__qualname__, wrapper.__module__))
        seen.append(wrapper.__wrapped__ is double)
        seen.append(module.processed.__quarn_metadata__)
        seen.append(module.processed([round_], k="b"))
        if INSPECT:
            seen.append(q.inspect_modules([module.__name__, "quarn_threads_missing_module"]))
        if WORKER:
            out = root / f"round{round_}"
            q.materialize_asset(module.__name__, "processed", str(out), '{"data": [1, 2]}')
            result = json.loads((out / "result.json").read_text(encoding="utf-8"))
            assert result.pop("value_path") == str(out / "value.json")
            seen.append(((out / "value.json").read_text(encoding="utf-8"), result))
    return seen


@pytest.fixture
def fast_switching():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # hand the interpreter lock over as often as possible
    try:
        yield
    finally:
        sys.setswitchinterval(previous)


def test_threads_see_what_one_thread_sees(modules, tmp_path: Path, fd2, fast_switching) -> None:
    module = modules.load("quarn_threads_assets", ASSET_MODULE) if ASSET else None
    expected = workload(tmp_path / "single", module)

    barrier = threading.Barrier(THREADS)
    results: dict[int, list[object]] = {}
    failures: list[BaseException] = []

    def run(index: int) -> None:
        try:
            barrier.wait()
            results[index] = workload(tmp_path / f"thread{index}", module)
        except BaseException as failure:  # noqa: BLE001 - reported below, with its thread
            failures.append(failure)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in threads), "a thread hung"
    assert not failures, failures
    assert sorted(results) == list(range(THREADS))
    for index in range(THREADS):
        assert results[index] == expected, f"thread {index} saw something else"
    if INSPECT:
        skipped = fd2.stop().count("quarn: skipping module 'quarn_threads_missing_module'")
        assert skipped == (THREADS + 1) * ROUNDS
