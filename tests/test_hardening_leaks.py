"""Every entry point, on success and failure paths, leaves reference counts and memory as found."""

from __future__ import annotations

import gc
import os
import sys
from collections.abc import Callable
from pathlib import Path
from typing import NamedTuple

import pytest

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
    action: Callable[[], object]
    watched: tuple = ()
    # Entry points that import modules or write files run fewer rounds to keep the suite quick.
    divisor: int = 1


def assert_steady(case: Case) -> None:
    for _ in range(WARMUP // case.divisor):
        case.action()
    gc.collect()
    refs = [sys.getrefcount(o) for o in case.watched]
    blocks, rss = sys.getallocatedblocks(), rss_bytes()
    for _ in range(max(ITERATIONS // case.divisor, 50)):
        case.action()
    gc.collect()
    assert [sys.getrefcount(o) for o in case.watched] == refs, "reference counts changed"
    if not SANITIZED:  # ASan's quarantine holds freed memory; LeakSanitizer checks instead
        assert sys.getallocatedblocks() - blocks < BLOCKS_TOLERANCE, "allocated blocks grew"
        assert rss_bytes() - rss < RSS_TOLERANCE, "resident memory grew"


def fails(kind: type[BaseException], *calls: Callable[[], object]) -> Callable[[], None]:
    """An action making each call and requiring each to raise `kind`."""

    def action() -> None:
        for call in calls:
            try:
                call()
            except kind:
                continue
            raise AssertionError(f"{call} did not raise")

    return action


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
    failing_runs = [("quarn_leak_assets", "fails"), ("quarn_leak_missing", "raw")]
    return {
        "partitions": Case(lambda: (q.partitions(keys), q.partitions(values=[])), (keys, *keys)),
        "Partitions repr": Case(lambda: repr(marker), (marker,)),
        "partitions rejected values": Case(
            fails(ValueError, *[lambda v=v: q.partitions([1, v]) for v in (float("nan"), "\ud800")])
        ),
        "partitions type errors": Case(
            fails(
                TypeError,
                lambda: q.partitions(tuple(keys)),
                lambda: q.partitions([1, {2}]),  # from the host encoder
                q.partitions,
                lambda: q.partitions(keys, x=1),
                type(marker),
            ),
            (keys, marker),
        ),
        "asset": Case(lambda: (q.asset(), q.asset(**declaration)), (upstream,)),
        "asset type errors": Case(
            fails(
                TypeError,
                lambda: q.asset(function),
                lambda: q.asset(name=1),
                lambda: q.asset(inputs=[1]),
                lambda: q.asset(inputs={"x": 3}),
                lambda: q.asset(inputs={1: "r"}),
                lambda: q.asset(partitions={"d": ["a"]}),
            ),
            (function,),
        ),
        # A fresh function each time: the wrapper and the function it holds are destroyed.
        "decorator": Case(lambda: (decorator(function), decorator(lambda: None)), (decorator,)),
        "decorator type errors": Case(
            fails(TypeError, lambda: decorator(function, function), lambda: decorator(f=function)),
            (decorator, function),
        ),
        "wrapper call": Case(
            lambda: (wrapper(arg, b=arg, c=arg), holder(arg, k=arg)), (wrapper, arg, result)
        ),
        "wrapper call errors": Case(
            fails((ValueError, TypeError), lambda: raising_wrapper("x"), nameless, wrapper),
            (raising_wrapper, nameless, wrapper),
        ),
        "wrapper properties": Case(
            lambda: [getattr(wrapper, p) for p in properties], (wrapper, function, marker)
        ),
        "wrapper property errors": Case(
            fails(
                AttributeError,
                lambda: nameless.__name__,
                lambda: setattr(wrapper, "__name__", "x"),
            ),
            (nameless, wrapper),
        ),
        "wrapper read through an instance": Case(lambda: owner.attribute, (wrapper, owner)),
        "wrapper destruction runs a finalizer": Case(destroy_finalized),
        "inspect_modules": Case(lambda: q.inspect_modules(names), (names,), divisor=20),
        "materialize_asset": Case(
            lambda: (
                q.materialize_asset("quarn_leak_assets", "raw", out),
                q.materialize_asset("quarn_leak_assets", "processed", out, '{"data": [1, 2]}'),
            ),
            divisor=20,
        ),
        "materialize_asset failures": Case(
            fails(
                SystemExit,
                *[lambda r=r: q.materialize_asset(*r, out) for r in failing_runs],
                lambda: q.materialize_asset("quarn_leak_assets", "raw", out, "{"),
            ),
            divisor=20,
        ),
        "discovery and worker type errors": Case(
            fails(
                TypeError,
                lambda: q.inspect_modules("quarn_leak_assets"),
                lambda: q.materialize_asset(1, "raw", out),
            )
        ),
    }


@pytest.mark.parametrize("name", list(cases("")))
def test_entry_point_does_not_leak(name: str, modules, tmp_path: Path) -> None:
    modules.write("quarn_leak_assets", ASSET_MODULE)
    assert_steady(cases(str(tmp_path / "out"))[name])


def test_the_loop_notices_leaks() -> None:
    """One leaked reference, or one leaked object, per call must fail the loop."""
    kept: list[object] = []
    watched = object()
    with pytest.raises(AssertionError, match="reference counts"):
        assert_steady(Case(lambda: kept.append(watched), (watched,)))
    if not SANITIZED:  # memory is LeakSanitizer's job in the sanitizer run
        with pytest.raises(AssertionError, match="allocated blocks grew"):
            assert_steady(Case(lambda: kept.append(object())))
