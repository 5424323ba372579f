"""Every entry point, on success and failure paths, leaves reference counts and memory as found."""

from __future__ import annotations

import gc
import os
import sys
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path

import pytest
from hardening_probe import ASSET, INSPECT, WORKER

import quarn._quarn as q

SANITIZED = os.environ.get("QUARN_SANITIZED") == "1"
# The sanitizer run is several times slower per call and checks leaks its own way, so it
# asks for fewer rounds; QUARN_LEAK_ITERATIONS overrides both.
ITERATIONS = int(os.environ.get("QUARN_LEAK_ITERATIONS", "2000" if SANITIZED else "20000"))
WARMUP = 200
# Tolerances after the warm-up: RSS may move by allocator noise, and a few blocks may come
# from caches the interpreter fills lazily. A leak of one small object per call over 20,000
# calls is 20,000 blocks and about 1 MiB, so both bounds catch it.
RSS_TOLERANCE = 2 * 1024 * 1024
BLOCKS_TOLERANCE = 500
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


@dataclass
class Case:
    action: Callable[[], object]
    watched: list[object] = field(default_factory=list)
    # Entry points that import modules or write files run fewer rounds to keep the suite quick.
    divisor: int = 1


def raises(kind: type[BaseException], call: Callable[[], object]) -> Callable[[], None]:
    def action() -> None:
        try:
            call()
        except kind:
            return
        raise AssertionError(f"expected {kind.__name__}")

    return action


def assert_steady(case: Case) -> None:
    rounds = max(ITERATIONS // case.divisor, 50)
    for _ in range(WARMUP // case.divisor or 1):
        case.action()
    gc.collect()
    refs_before = [sys.getrefcount(obj) for obj in case.watched]
    blocks_before = sys.getallocatedblocks()
    rss_before = rss_bytes()
    for _ in range(rounds):
        case.action()
    gc.collect()
    refs_after = [sys.getrefcount(obj) for obj in case.watched]
    blocks_after = sys.getallocatedblocks()
    rss_after = rss_bytes()
    assert refs_after == refs_before, "reference counts changed"
    if not SANITIZED:  # ASan's quarantine holds freed memory; LeakSanitizer checks instead
        assert blocks_after - blocks_before < BLOCKS_TOLERANCE, "allocated blocks grew"
        assert rss_after - rss_before < RSS_TOLERANCE, "resident memory grew"


# ---- partitions and Partitions ---------------------------------------------------------------


class Unencodable:
    pass


PARTITION_KEYS = [1, -5, 2**64, "x\u00e9\U0001f600", None, True, 2.5, [1, [2]], {"k": ("a", 1)}]


def partitions_cases() -> dict[str, Case]:
    keys = list(PARTITION_KEYS)
    marker = q.partitions(keys)
    bad = Unencodable()
    nan_list = [1, float("nan")]
    return {
        "partitions": Case(lambda: q.partitions(keys), [keys, *keys[:4]]),
        "partitions by keyword": Case(lambda: q.partitions(values=keys), [keys]),
        "partitions empty": Case(lambda: q.partitions([]), []),
        "partitions repr": Case(lambda: repr(marker), [marker]),
        "Partitions destruction": Case(lambda: q.partitions(keys).__class__, [keys]),
        "partitions not a list": Case(raises(TypeError, lambda: q.partitions(tuple(keys))), [keys]),
        "partitions invalid value": Case(
            raises(ValueError, lambda: q.partitions(nan_list)), [nan_list]
        ),
        "partitions lone surrogate": Case(raises(ValueError, lambda: q.partitions(["\ud800"])), []),
        "partitions encoder error": Case(raises(TypeError, lambda: q.partitions([1, bad])), [bad]),
        "partitions missing argument": Case(raises(TypeError, lambda: q.partitions()), []),
        "partitions unexpected keyword": Case(
            raises(TypeError, lambda: q.partitions(keys, x=1)), [keys]
        ),
        "Partitions constructor": Case(raises(TypeError, lambda: type(marker)()), [marker]),
    }


# ---- asset, the decorator and AssetWrapper ---------------------------------------------------


class Finalized:
    """A decorated "function" whose finalizer runs Python code while the wrapper is destroyed."""

    finalized = 0

    def __call__(self) -> int:
        return 1

    def __del__(self) -> None:
        Finalized.finalized += 1
        [str(i) for i in range(3)]  # allocate and free Python objects inside the finalizer


def asset_cases() -> dict[str, Case]:
    if not ASSET:
        return {}

    def function(a, b=2, *, c=3):
        """Doc."""
        return (a, b, c)

    result_holder = object()

    def returns_holder(*args, **kwargs):
        return result_holder

    class Boom(Exception):
        pass

    def raising():
        # A fresh exception each time: re-raising one object would grow its traceback chain.
        raise Boom("boom")

    marker = q.partitions(["a", "b"])
    upstream = q.asset()(function)
    declaration = {"name": "n", "serializer": "s", "inputs": {"x": upstream, "y": "ref:y"}}
    declaration["partitions"] = {"d": marker}
    decorator = q.asset(**declaration)
    wrapper = decorator(function)
    holder_wrapper = q.asset()(returns_holder)
    raising_wrapper = q.asset()(raising)
    nameless = q.asset()(42)
    arg = object()

    def read_all_properties() -> None:
        for name in ("__quarn_metadata__", "__quarn_kind__", "__quarn_original__", "__name__"):
            getattr(wrapper, name)
        for name in ("__doc__", "__module__", "__qualname__", "__wrapped__"):
            getattr(wrapper, name)

    class Owner:
        attribute = wrapper

    owner = Owner()

    def destroy_finalized() -> None:
        q.asset()(Finalized())

    def check_finalizers() -> None:
        before = Finalized.finalized
        destroy_finalized()
        assert Finalized.finalized == before + 1, "the finalizer did not run at destruction"

    return {
        "asset with every field": Case(lambda: q.asset(**declaration), [marker, upstream]),
        "asset no arguments": Case(lambda: q.asset(), []),
        "asset positional argument": Case(raises(TypeError, lambda: q.asset(function)), [function]),
        "asset name not str": Case(raises(TypeError, lambda: q.asset(name=1)), []),
        "asset inputs not dict": Case(raises(TypeError, lambda: q.asset(inputs=[1])), []),
        "asset bad input value": Case(raises(TypeError, lambda: q.asset(inputs={"x": 3})), []),
        "asset bad input key": Case(raises(TypeError, lambda: q.asset(inputs={1: "r"})), []),
        "asset bad partition value": Case(
            raises(TypeError, lambda: q.asset(partitions={"d": ["a"]})), []
        ),
        "decorator call": Case(lambda: decorator(function), [decorator, function]),
        "decorator two arguments": Case(
            raises(TypeError, lambda: decorator(function, function)), [decorator, function]
        ),
        "decorator by keyword": Case(
            raises(TypeError, lambda: decorator(function=function)), [decorator, function]
        ),
        "wrapper call": Case(lambda: wrapper(arg, b=arg, c=arg), [wrapper, function, arg]),
        "wrapper call returns object": Case(
            lambda: holder_wrapper(arg, k=arg), [holder_wrapper, result_holder, arg]
        ),
        "wrapper call raises": Case(raises(Boom, raising_wrapper), [raising_wrapper, Boom]),
        "wrapper call not callable": Case(raises(TypeError, nameless), [nameless]),
        "wrapper call bad arguments": Case(raises(TypeError, lambda: wrapper()), [wrapper]),
        "wrapper properties": Case(read_all_properties, [wrapper, function, marker]),
        "wrapper property raises": Case(
            raises(AttributeError, lambda: nameless.__name__), [nameless]
        ),
        "wrapper property assignment": Case(
            raises(AttributeError, lambda: setattr(wrapper, "__name__", "x")), [wrapper]
        ),
        "wrapper descriptor get": Case(lambda: owner.attribute, [wrapper, owner]),
        "wrapper destruction": Case(lambda: decorator(lambda: None), [decorator]),
        "wrapper destruction runs a finalizer": Case(check_finalizers, []),
    }


# ---- inspect_modules and materialize_asset ---------------------------------------------------

ASSET_MODULE = """
from quarn import asset, partitions

@asset()
def raw():
    return [1, 2, 3]

@asset(inputs={"data": raw}, partitions={"k": partitions(["a", 1])})
def processed(data, k="a"):
    return {"doubled": [x * 2 for x in data], "k": k}

@asset()
def fails():
    raise ValueError("no data")
"""


def discovery_cases(modules, tmp_path: Path) -> dict[str, Case]:
    cases: dict[str, Case] = {}
    if not ASSET:
        return cases
    modules.write("quarn_leak_assets", ASSET_MODULE)
    names = ["quarn_leak_assets"]
    if INSPECT:
        cases["inspect_modules"] = Case(lambda: q.inspect_modules(names), [names], divisor=20)
        skipping = ["quarn_leak_assets", "quarn_leak_missing_module"]
        cases["inspect_modules skipping a module"] = Case(
            lambda: q.inspect_modules(skipping), [skipping], divisor=20
        )
        cases["inspect_modules not a list"] = Case(
            raises(TypeError, lambda: q.inspect_modules("quarn_leak_assets")), []
        )
    if WORKER:
        out = str(tmp_path / "out")
        kwargs = '{"data": [1, 2]}'
        cases["materialize_asset"] = Case(
            lambda: q.materialize_asset("quarn_leak_assets", "raw", out), [], divisor=20
        )
        cases["materialize_asset with inputs"] = Case(
            lambda: q.materialize_asset("quarn_leak_assets", "processed", out, kwargs),
            [kwargs],
            divisor=20,
        )
        cases["materialize_asset failing asset"] = Case(
            raises(SystemExit, lambda: q.materialize_asset("quarn_leak_assets", "fails", out)),
            [],
            divisor=20,
        )
        cases["materialize_asset missing module"] = Case(
            raises(SystemExit, lambda: q.materialize_asset("quarn_leak_missing", "raw", out)),
            [],
            divisor=20,
        )
        cases["materialize_asset bad input JSON"] = Case(
            raises(SystemExit, lambda: q.materialize_asset("quarn_leak_assets", "raw", out, "{")),
            [],
            divisor=20,
        )
        cases["materialize_asset bad argument"] = Case(
            raises(TypeError, lambda: q.materialize_asset(1, "raw", out)), []
        )
    return cases


# ---- the tests -------------------------------------------------------------------------------

PARTITION_CASES = list(partitions_cases())
ASSET_CASES = list(asset_cases())


@pytest.mark.parametrize("name", PARTITION_CASES)
def test_partitions_entry_points_do_not_leak(name: str) -> None:
    assert_steady(partitions_cases()[name])


@pytest.mark.skipif(not ASSET, reason="asset() is not implemented yet")
@pytest.mark.parametrize("name", ASSET_CASES or ["none"])
def test_declaration_entry_points_do_not_leak(name: str) -> None:
    assert_steady(asset_cases()[name])


@pytest.mark.skipif(not (ASSET and (INSPECT or WORKER)), reason="discovery/worker not there yet")
def test_discovery_and_worker_entry_points_do_not_leak(modules, tmp_path: Path, fd2) -> None:
    cases = discovery_cases(modules, tmp_path)
    for name, case in cases.items():
        try:
            assert_steady(case)
        except AssertionError as failure:
            raise AssertionError(f"{name}: {failure}") from None


def test_the_check_sees_a_leaked_reference() -> None:
    """The loop must notice one leaked reference per call, or its silence proves nothing."""
    kept: list[object] = []
    watched = object()
    with pytest.raises(AssertionError, match="reference counts"):
        assert_steady(Case(lambda: kept.append(watched), [watched]))
    kept.clear()


@pytest.mark.skipif(SANITIZED, reason="memory is LeakSanitizer's job in the sanitizer run")
def test_the_check_sees_leaked_memory() -> None:
    kept: list[object] = []
    with pytest.raises(AssertionError, match="allocated blocks grew"):
        assert_steady(Case(lambda: kept.append(object())))
    kept.clear()
