"""Declaring, calling and reading assets over and over leaks neither references nor memory."""

from __future__ import annotations

import functools
import gc
import os
import sys
import types

import pytest

from quarn import AssetWrapper, asset, partitions

# Under the sanitizer run (make test-sanitize) ASan's quarantine keeps freed memory, so RSS
# says nothing there and LeakSanitizer does that job; fewer rounds keep that run quick.
SANITIZED = os.environ.get("QUARN_SANITIZED") == "1"
WARM_UP = 200 if SANITIZED else 2_000
ROUNDS = 2_000 if SANITIZED else 20_000
# RSS may move by a few pages as the allocators settle; 1 MiB over 20,000 rounds would
# still be caught as a leak of about 50 bytes a round, well below one declaration copy.
RSS_TOLERANCE = 1 << 20


# The eight properties; `__doc__` is served by a descriptor of its own.
PROPERTIES = [
    name
    for name, value in vars(AssetWrapper).items()
    if isinstance(value, types.GetSetDescriptorType) or name == "__doc__"
]


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

    declared: dict = {}

    @property
    def __quarn_kind__(self):
        Growing.declared["late"] = "x"
        return None


def exercise(upstream, marker, nameless, raising) -> None:
    wrapper = asset()(target)
    wrapper(1)
    wrapper(1, b=2)
    wrapper(*(1,), **{"b": 2})
    for name in PROPERTIES:
        getattr(wrapper, name)
    full = asset(
        name="n", serializer="s", inputs={"up": upstream, "s": "ref"}, partitions={"t": marker}
    )(target)
    _ = full.__quarn_metadata__
    # Error paths.
    for kwargs in (
        {"inputs": {"x": 3}},
        {"inputs": {"ok": "r"}, "partitions": {"t": [1]}},
        {"name": 1},
        {"inputs": [1]},
    ):
        try:
            asset(**kwargs)
        except TypeError:
            pass
    try:
        asset()()
    except TypeError:
        pass
    try:
        raising()
    except ValueError:
        pass
    try:
        _ = nameless.__name__
    except AttributeError:
        pass
    Growing.declared = {"a": Growing("r")}
    try:
        asset(inputs=Growing.declared)
    except BaseException as panic:  # noqa: BLE001 - the PanicException
        assert type(panic).__name__ == "PanicException"


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads RSS from /proc")
def test_repeated_use_does_not_leak():
    upstream = asset()(target)
    marker = partitions(["AAPL", 1, None])
    nameless = asset()(functools.partial(target, 1))
    raising = asset()(failing)
    watched = (target, upstream, marker, failing, Growing)

    for _ in range(WARM_UP):
        exercise(upstream, marker, nameless, raising)
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    before = rss_bytes()

    for _ in range(ROUNDS):
        exercise(upstream, marker, nameless, raising)
    gc.collect()

    assert [sys.getrefcount(obj) for obj in watched] == counts
    grown = rss_bytes() - before
    assert SANITIZED or grown < RSS_TOLERANCE, f"RSS grew by {grown} bytes over {ROUNDS} rounds"
