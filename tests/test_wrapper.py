"""AssetWrapper as a proxy: calls, descriptor behaviour, forwarded and read-only attributes."""

from __future__ import annotations

import functools
import gc
import inspect
import threading
import traceback
import weakref

import pytest

from quarn import AssetWrapper, asset

CLASS_DOC = "The `@asset()` decorator wrapper. Stores the original function and metadata."
PROPERTIES = [
    "__quarn_metadata__",
    "__quarn_kind__",
    "__quarn_original__",
    "__name__",
    "__doc__",
    "__module__",
    "__qualname__",
    "__wrapped__",
]


def echo(*args, **kwargs):
    """Hands back what it was given, keyword order included."""
    return args, list(kwargs.items())


def wrap(function):
    return asset()(function)


# --- calls -----------------------------------------------------------------------------------

CALL_FORMS = {
    "vector": lambda w: w(1, "two", z=1, a=2, m=3),
    "star": lambda w: w(*(1, "two"), **{"z": 1, "a": 2, "m": 3}),
    "tp_call": lambda w: AssetWrapper.__call__(w, 1, "two", z=1, a=2, m=3),
}


@pytest.mark.parametrize("form", CALL_FORMS)
def test_arguments_pass_unchanged(form):
    assert CALL_FORMS[form](wrap(echo)) == ((1, "two"), [("z", 1), ("a", 2), ("m", 3)])
    assert wrap(echo)() == ((), [])


def test_result_is_the_very_object():
    token = object()
    assert wrap(lambda value, *, other=None: other or value)(token) is token
    assert wrap(lambda value, *, other=None: other or value)(1, other=token) is token


def needs(x, y):
    return x + y


@pytest.mark.parametrize("function", [needs, 5], ids=["missing-arguments", "not-callable"])
def test_call_errors_are_the_hosts_own(function):
    with pytest.raises(TypeError) as direct:
        function()
    with pytest.raises(TypeError) as wrapped:
        wrap(function)()
    assert str(wrapped.value) == str(direct.value)


def frame_names(error: BaseException) -> list[str]:
    return [frame.name for frame in traceback.extract_tb(error.__traceback__)]


def test_exceptions_pass_as_the_same_object_with_their_frames():
    failure = KeyError("boom")

    def deep():
        raise failure

    def fails(*, keyword):
        deep()

    with pytest.raises(KeyError) as direct:
        fails(keyword=1)
    names = frame_names(direct.value)
    wrapper = wrap(fails)
    for call in (lambda: wrapper(keyword=1), lambda: wrapper(*(), **{"keyword": 1})):
        failure.__traceback__ = None
        with pytest.raises(KeyError) as wrapped:
            call()
        assert wrapped.value is failure
        # The wrapper adds no frame of its own: only the calling lambda differs.
        assert frame_names(wrapped.value) == names[:1] + ["<lambda>"] + names[1:]


def test_vector_offset_users_leave_the_callers_arguments_intact():
    # Bound methods and classes prepend an argument in the caller's spare vector slot.
    class Box:
        def __init__(self, value):
            self.value = value

        def pair(self, other, *, scale=1):
            return (self.value * scale, other)

    method, make = wrap(Box(3).pair), wrap(Box)
    for i in range(100):
        assert method(i, scale=2) == (6, i)
        assert make(i).value == i


def test_recursion_through_the_module_level_name(modules):
    module = modules.load(
        "recursive_mod",
        """
        from quarn import asset

        @asset()
        def depth(n):
            return 0 if n == 0 else 1 + depth(n - 1)
        """,
    )
    assert module.depth(300) == 300


def test_calls_from_eight_threads_at_once():
    def work(thread, step, *, scale):
        return thread * 10_000 + step * scale

    wrapper = wrap(work)
    start = threading.Barrier(8)
    failures: list[str] = []

    def run(thread):
        start.wait()
        for step in range(2000):
            result = wrapper(thread, step, scale=1)
            if result != thread * 10_000 + step:
                failures.append(f"{thread}/{step}: {result}")
            if step % 100 == 0:
                _ = wrapper.__quarn_metadata__, wrapper.__name__

    threads = [threading.Thread(target=run, args=(t,)) for t in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


# --- descriptor behaviour and attributes -----------------------------------------------------


def test_class_attribute_is_not_bound():
    wrapper = wrap(echo)

    class Holder:
        member = wrapper

    assert Holder().member is wrapper and Holder.member is wrapper
    assert Holder().member(1) == ((1,), [])  # no instance passed
    assert inspect.ismethoddescriptor(wrapper)


def test_identity_and_introspection():
    def target(a, b=2, *args, c, **kwargs) -> int:
        return 0

    wrapper = wrap(target)
    assert wrapper.__wrapped__ is target and wrapper.__quarn_original__ is target
    assert wrapper.__quarn_kind__ == "asset"
    assert inspect.unwrap(wrapper) is target
    assert inspect.signature(wrapper) == inspect.signature(target)
    assert callable(wrapper) and not inspect.isfunction(wrapper)
    assert wrapper != wrap(target)


def test_forwarded_attributes_are_read_live():
    def target():
        pass

    wrapper = wrap(target)
    assert (wrapper.__name__, wrapper.__qualname__, wrapper.__module__) == (
        target.__name__,
        target.__qualname__,
        target.__module__,
    )
    assert wrapper.__doc__ is None
    target.__name__ = "renamed"
    target.__qualname__ = "Outer.renamed"
    target.__module__ = "elsewhere"
    target.__doc__ = "Now documented."
    assert (wrapper.__name__, wrapper.__qualname__) == ("renamed", "Outer.renamed")
    assert (wrapper.__module__, wrapper.__doc__) == ("elsewhere", "Now documented.")


def test_partial_without_name():
    inner = functools.partial(echo, 1)
    wrapper = wrap(inner)
    for name in ("__name__", "__qualname__"):
        with pytest.raises(AttributeError):
            getattr(wrapper, name)
    assert wrapper.__wrapped__ is inner
    assert wrapper.__doc__ == inner.__doc__
    assert wrapper(2) == ((1, 2), [])


def test_attribute_read_failure_propagates_unchanged():
    failure = RuntimeError("no name today")

    class Odd:
        @property
        def __name__(self):
            raise failure

    with pytest.raises(RuntimeError) as info:
        _ = wrap(Odd()).__name__
    assert info.value is failure


def test_doc_on_class_and_instance():
    def documented():
        """Function docstring."""

    assert AssetWrapper.__doc__ == CLASS_DOC
    assert wrap(documented).__doc__ == "Function docstring."
    descriptor = AssetWrapper.__dict__["__doc__"]
    assert descriptor.__get__(None, AssetWrapper) == CLASS_DOC
    with pytest.raises(TypeError):
        descriptor.__get__(5, int)


@pytest.mark.parametrize("name", PROPERTIES)
def test_properties_are_read_only(name):
    wrapper = wrap(echo)
    before = getattr(wrapper, name)
    with pytest.raises(AttributeError):
        setattr(wrapper, name, "x")
    with pytest.raises(AttributeError):
        delattr(wrapper, name)
    assert getattr(wrapper, name) == before


def test_class_and_instances():
    assert [name for name in vars(AssetWrapper) if name in PROPERTIES] == PROPERTIES
    wrapper = wrap(echo)
    for name in ("anything", "__defaults__", "__dict__"):
        with pytest.raises(AttributeError):
            getattr(wrapper, name)
    with pytest.raises(AttributeError):
        wrapper.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(wrapper)
    assert not gc.is_tracked(wrapper)
    assert repr(wrapper).startswith("<builtins.AssetWrapper object at 0x")


def test_function_released_with_the_wrapper():
    def target():
        pass

    alive = weakref.ref(target)
    wrapper = wrap(target)
    del target
    assert alive() is not None
    del wrapper
    assert alive() is None
