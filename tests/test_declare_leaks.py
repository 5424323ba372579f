"""Declaring, calling and reading assets over and over leaks neither references nor memory."""

from __future__ import annotations

import contextlib
import functools
import gc
import os
import sys

import pytest

from quarn import asset, partitions

# Under the sanitizer run (make test-sanitize) ASan's quarantine keeps freed memory, so RSS
# says nothing there and LeakSanitizer does that job; fewer rounds keep that run quick.
SANITIZED = os.environ.get("QUARN_SANITIZED") == "1"
WARM_UP = 200 if SANITIZED else 2_000
ROUNDS = 2_000 if SANITIZED else 20_000
# RSS may move by a few pages as the allocators settle; 1 MiB over 20,000 rounds would
# still be caught as a leak of about 50 bytes a round, well below one declaration copy.
RSS_TOLERANCE = 1 << 20
PROPERTIES = (
    "__quarn_metadata__ __quarn_kind__ __quarn_original__ __name__ __doc__ __module__ "
    "__qualname__ __wrapped__"
).split()


def rss_bytes() -> int:
    with open("/proc/self/statm", encoding="ascii") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def target(a, b=None):
    """Docstring."""
    return a


def failing():
    raise ValueError("expected")


class Growing(str):
    """An inputs value whose probe grows the dict being read: an internal failure."""

    __quarn_kind__ = property(lambda self: DECLARED.update(late="x"))


DECLARED: dict = {}


def panic() -> None:
    DECLARED.clear()
    DECLARED["a"] = Growing("r")
    asset(inputs=DECLARED)


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads RSS from /proc")
def test_repeated_use_does_not_leak():
    upstream, marker = asset()(target), partitions(["AAPL", 1, None])
    nameless, raising = asset()(functools.partial(target, 1)), asset()(failing)
    with pytest.raises(BaseException) as info:
        panic()
    errors = (TypeError, ValueError, AttributeError, type(info.value))  # the last: the panic
    failing_calls = [
        lambda: asset(inputs={"x": 3}),
        lambda: asset(inputs={"ok": "r"}, partitions={"t": [1]}),
        lambda: asset(name=1),
        lambda: asset(inputs=[1]),
        lambda: asset()(),
        raising,
        lambda: nameless.__name__,
        panic,
    ]

    def exercise() -> None:
        wrapper = asset()(target)
        wrapper(1), wrapper(1, b=2), wrapper(*(1,), **{"b": 2})
        _ = [getattr(wrapper, name) for name in PROPERTIES]
        inputs, dimensions = {"up": upstream, "s": "ref"}, {"t": marker}
        full = asset(name="n", serializer="s", inputs=inputs, partitions=dimensions)(target)
        _ = full.__quarn_metadata__
        for call in failing_calls:
            with contextlib.suppress(*errors):
                call()

    watched = (target, upstream, marker, failing, Growing)
    for _ in range(WARM_UP):
        exercise()
    gc.collect()
    counts, before = [sys.getrefcount(obj) for obj in watched], rss_bytes()
    for _ in range(ROUNDS):
        exercise()
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == counts
    grown = rss_bytes() - before
    assert SANITIZED or grown < RSS_TOLERANCE, f"RSS grew by {grown} bytes over {ROUNDS} rounds"


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads RSS from /proc")
def test_cycles_through_a_wrapper_are_collected():
    """A function that refers to its own wrapper makes a cycle that only the collector can free:
    the wrappers and functions of finished declarations go, and their memory with them."""

    def declare_cycle() -> None:
        def function():
            return wrapper

        wrapper = asset()(function)

    for _ in range(WARM_UP):
        declare_cycle()
    gc.collect()
    objects, before = len(gc.get_objects()), rss_bytes()
    for _ in range(ROUNDS):
        declare_cycle()
    gc.collect()
    assert len(gc.get_objects()) - objects < 100, "objects of collected cycles are still alive"
    grown = rss_bytes() - before
    assert SANITIZED or grown < RSS_TOLERANCE, f"RSS grew by {grown} bytes over {ROUNDS} rounds"
