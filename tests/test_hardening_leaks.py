"""Every entry point, on success and failure paths, leaves reference counts and memory as found."""

from __future__ import annotations

import gc
import os
import sys
from collections.abc import Callable
from pathlib import Path
from typing import NamedTuple

import pytest
from discovery_model import FAILING_METADATA, PIPELINE, changed_while_read

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


def rss_bytes() -> int:
    with open("/proc/self/statm", encoding="ascii") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Case(NamedTuple):
    calls: tuple[Callable[[], object], ...]  # each must succeed
    failing: tuple[Callable[[], object], ...] = ()  # each must raise
    watched: tuple = ()
    # Entry points that import modules or write files run fewer rounds to keep the suite quick.
    divisor: int = 1

    def run(self) -> None:
        for call in self.calls:
            call()
        for call in self.failing:
            try:
                call()
            except BaseException:  # noqa: BLE001 - the panic of an internal failure included
                continue
            raise AssertionError(f"{call} did not raise")


def assert_steady(case: Case) -> None:
    for _ in range(WARMUP // case.divisor):
        case.run()
    gc.collect()
    refs = [sys.getrefcount(o) for o in case.watched]
    objects, blocks, rss = len(gc.get_objects()), sys.getallocatedblocks(), rss_bytes()
    for _ in range(max(ITERATIONS // case.divisor, 50)):
        case.run()
    gc.collect()
    assert [sys.getrefcount(o) for o in case.watched] == refs, "reference counts changed"
    assert len(gc.get_objects()) - objects < 100, "objects outlived the collection"
    if not SANITIZED:  # ASan's quarantine holds freed memory; LeakSanitizer checks instead
        assert sys.getallocatedblocks() - blocks < BLOCKS_TOLERANCE, "allocated blocks grew"
        assert rss_bytes() - rss < RSS_TOLERANCE, "resident memory grew"


class Finalized:
    """A wrapped object whose finalizer runs Python code while the wrapper is destroyed."""

    finalized = 0

    def __del__(self) -> None:
        [str(i) for i in range(3)]  # allocate and free Python objects inside the finalizer
        Finalized.finalized += 1


def destroy_finalized() -> None:
    before = Finalized.finalized
    q.asset()(Finalized())
    assert Finalized.finalized == before + 1, "the finalizer did not run at destruction"


def declare_cycle() -> None:
    """A function that refers to its own wrapper: a cycle only the collector can free."""

    def function():
        return wrapper

    wrapper = q.asset()(function)


def cases(out: str) -> dict[str, Case]:
    """Every entry point; those of discovery and the worker use the module above and `out`."""
    keys = [1, -5, 2**64, "x\u00e9\U0001f600", None, True, 2.5, [1, [2]], {"k": ("a", 1)}]
    marker = q.partitions(keys)

    def function(a, b=2, *, c=3):
        """Doc."""
        return (a, b, c)

    upstream, arg, result = q.asset()(function), object(), object()
    declaration = {"name": "n", "serializer": "s", "inputs": {"x": upstream, "y": "ref:y"}}
    decorator = q.asset(**declaration, partitions={"d": marker})
    wrapper, holder = decorator(function), q.asset()(lambda *args, **kwargs: result)
    # int("x") raises a fresh exception each time: one re-raised object grows its traceback.
    nameless, raising_wrapper = q.asset()(42), q.asset()(int)
    owner = type("Owner", (), {"attribute": wrapper})()
    quarn, forwarded = "metadata kind original", "name doc module qualname wrapped"
    properties = [f"__quarn_{p}__" for p in quarn.split()] + [f"__{p}__" for p in forwarded.split()]
    names = ["quarn_leak_assets", "quarn_leak_missing_module"]
    materialize = q.materialize_asset
    return {
        "partitions": Case(
            (lambda: q.partitions(keys), lambda: q.partitions(values=[]), lambda: repr(marker)),
            (
                lambda: q.partitions(tuple(keys)),
                lambda: q.partitions([1, {2}]),  # from the host encoder
                lambda: q.partitions([1, float("nan")]),
                lambda: q.partitions(["\ud800"]),
                lambda: q.partitions(keys, x=1),
                type(marker),
            ),
            (keys, *keys, marker),
        ),
        "asset": Case(
            (q.asset, lambda: q.asset(**declaration)),
            (
                lambda: q.asset(function),
                lambda: q.asset(name=1),
                lambda: q.asset(inputs=[1]),
                lambda: q.asset(inputs={"x": 3}),
                lambda: q.asset(inputs={1: "r"}),
                lambda: q.asset(partitions={"d": ["a"]}),
                changed_while_read,
            ),
            (upstream, function),
        ),
        # A fresh function each time: the wrapper and the function it holds are destroyed.
        "decorator": Case(
            (lambda: decorator(function), lambda: decorator(lambda: None)),
            (lambda: decorator(function, function), lambda: decorator(f=function)),
            (decorator, function),
        ),
        "wrapper call": Case(
            (lambda: wrapper(arg, b=arg, c=arg), lambda: holder(arg, k=arg)),
            (lambda: raising_wrapper("x"), nameless, wrapper),
            (wrapper, arg, result, raising_wrapper, nameless),
        ),
        "wrapper properties": Case(
            (lambda: owner.attribute, *(lambda p=p: getattr(wrapper, p) for p in properties)),
            (lambda: nameless.__name__, lambda: setattr(wrapper, "__name__", "x")),
            (wrapper, function, marker, nameless, owner),
        ),
        "wrapper destruction and cycles": Case((destroy_finalized, declare_cycle)),
        "inspect_modules": Case(
            (lambda: q.inspect_modules(names),),
            (
                lambda: q.inspect_modules("quarn_leak_assets"),
                lambda: q.inspect_modules(["qh_metadata"]),  # the failing metadata
            ),
            (names,),
            divisor=20,
        ),
        "materialize_asset": Case(
            (
                lambda: materialize("quarn_leak_assets", "raw", out),
                lambda: materialize("quarn_leak_assets", "processed", out, '{"data": [1, 2]}'),
            ),
            (
                lambda: materialize("quarn_leak_assets", "fails", out),
                lambda: materialize("quarn_leak_missing", "raw", out),
                lambda: materialize("quarn_leak_assets", "raw", out, "{"),
                lambda: materialize(1, "raw", out),
            ),
            divisor=20,
        ),
    }


@pytest.mark.parametrize("name", list(cases("")))
def test_entry_point_does_not_leak(name: str, modules, tmp_path: Path) -> None:
    modules.write("quarn_leak_assets", PIPELINE)
    modules.write("qh_metadata", FAILING_METADATA)
    assert_steady(cases(str(tmp_path / "out"))[name])


def test_the_loop_notices_leaks() -> None:
    """One leaked reference, or one leaked object, per call must fail the loop."""
    kept: list[object] = []
    watched = object()
    with pytest.raises(AssertionError, match="reference counts"):
        assert_steady(Case((lambda: kept.append(watched),), watched=(watched,)))
    if not SANITIZED:  # memory is LeakSanitizer's job in the sanitizer run
        with pytest.raises(AssertionError, match="allocated blocks grew"):
            assert_steady(Case((lambda: kept.append(object()),)))
