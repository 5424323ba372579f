"""AssetWrapper as a proxy: calls, descriptor behaviour, forwarded and read-only attributes."""

from __future__ import annotations

import functools
import inspect
import subprocess
import sys
import traceback

import pytest

from quarn import AssetWrapper, asset

PROPERTIES = (
    "__quarn_metadata__ __quarn_kind__ __quarn_original__ __name__ __doc__ __module__ "
    "__qualname__ __wrapped__"
).split()
FORWARDED = ["__name__", "__qualname__", "__module__", "__doc__"]


def echo(*args, **kwargs):
    """Hands back what it was given, keyword order included."""
    return args, list(kwargs.items())


def wrap(function):
    return asset()(function)


# --- calls -----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "call",
    [
        lambda w: w(1, "two", z=1, a=2, m=3),
        lambda w: w(*(1, "two"), **{"z": 1, "a": 2, "m": 3}),
        lambda w: AssetWrapper.__call__(w, 1, "two", z=1, a=2, m=3),
    ],
    ids=["vector", "star", "tp_call"],
)
def test_arguments_and_result_pass_unchanged(call):
    assert call(wrap(echo)) == ((1, "two"), [("z", 1), ("a", 2), ("m", 3)])
    assert wrap(echo)() == ((), [])
    token = object()
    assert call(wrap(lambda *args, **kwargs: token)) is token


@pytest.mark.parametrize("function", [lambda x, y: x, 5], ids=["missing-arguments", "not-callable"])
def test_call_errors_are_the_hosts_own(function):
    with pytest.raises(TypeError) as direct:
        function()
    with pytest.raises(TypeError) as wrapped:
        wrap(function)()
    assert str(wrapped.value) == str(direct.value)


def test_exceptions_pass_as_the_same_object_with_their_frames():
    failure = KeyError("boom")

    def fails(*, keyword):
        raise failure

    wrapper = wrap(fails)
    for call in (lambda: wrapper(keyword=1), lambda: wrapper(*(), **{"keyword": 1})):
        failure.__traceback__ = None
        with pytest.raises(KeyError) as info:
            call()
        assert info.value is failure
        # This test, the calling lambda, the function: the wrapper adds no frame of its own.
        frames = traceback.extract_tb(failure.__traceback__)
        assert [frame.name for frame in frames][1:] == ["<lambda>", "fails"]


def test_bound_methods_and_classes_leave_the_callers_arguments_intact():
    # Both prepend an argument in the caller's spare vector slot.
    class Box:
        def __init__(self, value):
            self.value = value

        def pair(self, other, *, scale=1):
            return (self.value * scale, other)

    method, make = wrap(Box(3).pair), wrap(Box)
    assert all(method(i, scale=2) == (6, i) and make(i).value == i for i in range(100))


def test_recursion_through_the_module_level_name():
    namespace = {"asset": asset}
    exec("@asset()\ndef depth(n):\n    return 0 if n == 0 else 1 + depth(n - 1)\n", namespace)
    assert type(namespace["depth"]) is AssetWrapper and namespace["depth"](300) == 300


DEEP_NESTING = """
from quarn import asset

def function():
    return "called"

wrapper = function
for _ in range(200_000):
    wrapper = asset()(wrapper)
try:
    wrapper()
except RecursionError:
    print("RecursionError")
print(asset()(asset()(function))())
del wrapper
print("deleted")
"""


def test_deep_nesting_is_a_recursion_error_and_deletes_without_recursing():
    """Calling 200,000 nested wrappers and deleting them, in a process of its own: each would
    overflow the C stack if it recursed once per level."""
    command = [sys.executable, "-c", DEEP_NESTING]
    result = subprocess.run(command, capture_output=True, text=True, timeout=300, check=False)
    assert (result.returncode, result.stdout, result.stderr) == (
        0,
        "RecursionError\ncalled\ndeleted\n",
        "",
    )


# --- descriptor behaviour and attributes -----------------------------------------------------


def test_identity_introspection_and_live_forwarding():
    def target(a, b=2, *args, c, **kwargs) -> int:
        return 0

    wrapper = wrap(target)
    holder = type("Holder", (), {"member": wrapper})
    assert holder().member is wrapper and holder.member is wrapper  # not bound to an instance
    assert wrapper.__wrapped__ is target and wrapper.__quarn_original__ is target
    assert wrapper.__quarn_kind__ == "asset" and inspect.unwrap(wrapper) is target
    assert inspect.signature(wrapper) == inspect.signature(target)
    assert callable(wrapper) and not inspect.isfunction(wrapper) and wrapper != wrap(target)
    assert [getattr(wrapper, name) for name in FORWARDED] == [
        getattr(target, name) for name in FORWARDED
    ]
    renamed = ["renamed", "Outer.renamed", "elsewhere", "Now documented."]
    for name, value in zip(FORWARDED, renamed, strict=True):
        setattr(target, name, value)
    assert [getattr(wrapper, name) for name in FORWARDED] == renamed  # read at each access


def test_failed_attribute_reads_propagate_unchanged():
    wrapper = wrap(functools.partial(echo, 1))
    for name in ("__name__", "__qualname__"):
        with pytest.raises(AttributeError):
            getattr(wrapper, name)
    failure = RuntimeError("no name today")

    class Odd:
        @property
        def __name__(self):
            raise failure

    with pytest.raises(RuntimeError) as info:
        _ = wrap(Odd()).__name__
    assert info.value is failure


def test_the_eight_properties_in_order_read_only_and_nothing_else():
    assert [name for name in vars(AssetWrapper) if name in PROPERTIES] == PROPERTIES
    wrapper = wrap(echo)
    for name in PROPERTIES:
        before = getattr(wrapper, name)
        with pytest.raises(AttributeError):
            setattr(wrapper, name, "x")
        with pytest.raises(AttributeError):
            delattr(wrapper, name)
        assert getattr(wrapper, name) == before
    for name in ("anything", "__defaults__"):  # no fallback to the function's attributes
        with pytest.raises(AttributeError):
            getattr(wrapper, name)
    assert repr(wrapper).startswith("<builtins.AssetWrapper object at 0x")
