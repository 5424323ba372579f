"""asset(...): validation and its order, asset references, the metadata view, the decorator."""

from __future__ import annotations

import os
import pathlib
import types

import pytest

import quarn._quarn
from quarn import AssetWrapper, asset, partitions

INPUTS_VALUES = "inputs values must be @asset-decorated functions or asset ref strings"
PARTITION_VALUES = "partition values must be partitions([...]) instances"
DECORATOR_ARITY = "asset() decorator expects exactly one argument (the function)"
METADATA_KEYS = ["kind", "name", "serializer", "inputs", "partitions"]
MARKER = partitions(["AAPL"])


INT_NOT_TEXT = "'int' object cannot be converted to 'PyString'"
LIST_NOT_DICT = "'list' object cannot be converted to 'PyDict'"


def plain(x=None):
    return x


def metadata(**declaration):
    return asset(**declaration)(plain).__quarn_metadata__


# --- validation and the decorator --------------------------------------------------------------


@pytest.mark.parametrize(
    ("call", "message"),
    [
        # (name and serializer are converted first: see test_binding.py)
        (lambda: asset(inputs=[("data", "x")]), LIST_NOT_DICT),
        (lambda: asset(inputs={1: "x"}), INT_NOT_TEXT),
        (lambda: asset(inputs={"data": 3}), INPUTS_VALUES),
        (lambda: asset(inputs={"data": plain}), INPUTS_VALUES),
        # inputs is read whole, a later bad entry included, before partitions is looked at.
        (lambda: asset(inputs={"a": "ok", "b": 5}, partitions=[1]), INPUTS_VALUES),
        (lambda: asset(partitions=["x"]), LIST_NOT_DICT),
        (lambda: asset(partitions={1: MARKER}), INT_NOT_TEXT),
        (lambda: asset(partitions={"ticker": ["AAPL"]}), PARTITION_VALUES),
        (lambda: asset(inputs={"a": "ok"}, partitions={"t": MARKER, "u": "x"}), PARTITION_VALUES),
        (lambda: asset()(), DECORATOR_ARITY),
        (lambda: asset()(plain, plain), DECORATOR_ARITY),
        (lambda: asset()(function=plain), DECORATOR_ARITY),
    ],
)
def test_declaration_errors_and_their_order(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError and str(info.value) == message


def test_decorator_object():
    decorator = asset(name="n")
    assert isinstance(decorator, types.BuiltinFunctionType)
    assert decorator.__name__ == "asset_decorator"
    assert decorator.__module__ is None and decorator.__doc__ is None
    # One decorator, any number of objects, keywords ignored: separate, equal wrappers.
    first, second, number = decorator(plain, extra=1), decorator(print), decorator(42)
    assert type(first) is AssetWrapper and first is not second
    assert (first.__wrapped__, second.__wrapped__, number.__wrapped__) == (plain, print, 42)
    assert first.__quarn_metadata__ == second.__quarn_metadata__


# --- asset references -------------------------------------------------------------------------


def test_references_are_the_resolved_path_and_the_name(modules):
    # (A path through a symbolic link: test_inspect_decorated.py.)
    linked_mod = modules.load(
        "linked_mod",
        """
        from quarn import asset

        @asset()
        def raw():
            pass

        def helper():
            pass

        class Duck:  # described by its original
            __quarn_kind__, __quarn_original__ = "asset", staticmethod(helper)

        class Bare:  # no original: described itself
            __quarn_kind__ = "asset"
        """,
    )
    linked_mod.helper.__name__ = "renamed"  # the name is read when the reference is made
    declared = {"data": linked_mod.raw, "duck": linked_mod.Duck(), "bare": linked_mod.Bare}
    where = os.path.realpath(linked_mod.__file__) + ":"
    expected = {"data": where + "raw", "duck": where + "renamed", "bare": where + "Bare"}
    assert metadata(inputs=declared)["inputs"] == expected


def test_string_references_are_kept_verbatim():
    refs = {"a": "some/where.py:raw", "b": "", "c": type("Text", (str,), {})("\u00e9 no colon")}
    inputs = metadata(inputs=refs)["inputs"]
    assert inputs == refs and type(inputs["c"]) is str


def answering(value):
    """A property giving `value`, or raising it if it is an exception."""

    def read(self):
        if isinstance(value, BaseException):
            raise value
        return value

    return property(read)


@pytest.mark.parametrize("kind", ["Asset", "asset ", b"asset", 1, None, ValueError("no")])
def test_only_the_exact_text_asset_makes_an_asset(kind):
    # Not an asset but a str: kept verbatim, the probe's exception discarded.
    marked = type("Marked", (str,), {"__quarn_kind__": answering(kind)})
    assert metadata(inputs={"x": marked("verbatim")})["inputs"] == {"x": "verbatim"}
    # Not an asset and not a str: rejected.
    holder = type("Holder", (), {"__quarn_kind__": answering(kind)})
    with pytest.raises(TypeError, match=f"^{INPUTS_VALUES}$"):
        asset(inputs={"x": holder()})


def named(name):
    """An asset class, with this file as its source, whose `__name__` gives or raises `name`."""
    return type("Meta", (type,), {"__name__": answering(name)})("Target", (), {})


def test_describing_failures_propagate_unchanged():
    namespace: dict = {}
    exec("def made():\n    pass\n", namespace)
    with pytest.raises(TypeError) as info:  # no source file
        asset(inputs={"data": asset()(namespace["made"])})
    with pytest.raises(TypeError) as host:
        pathlib.Path(None)  # type: ignore[arg-type]  # what getsourcefile's None leads to
    assert str(info.value) == str(host.value)
    failure = LookupError("name unavailable")
    with pytest.raises(LookupError) as info:
        asset(inputs={"data": asset()(named(failure))})
    assert info.value is failure
    with pytest.raises(TypeError) as info:
        asset(inputs={"data": asset()(named(5))})
    assert str(info.value) == INT_NOT_TEXT


def test_dict_storage_is_read_not_its_methods():
    def refuse(*args):
        raise AssertionError("consulted")

    guarded = type("Guarded", (dict,), {"__iter__": refuse, "items": refuse})
    # Two keys of the same text: the later entry replaces the earlier.
    distinct = type("Distinct", (str,), {"__hash__": object.__hash__, "__eq__": object.__eq__})
    inputs = guarded({"a": "first", "b": "ref", distinct("a"): "second"})
    declared = metadata(inputs=inputs, partitions=guarded(t=partitions(["x"])))
    assert list(declared["inputs"].items()) == [("a", "second"), ("b", "ref")]  # a kept its place
    assert declared["partitions"] == {"t": {"kind": "inline", "values_json": '["x"]'}}


# --- metadata ----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("declaration", "field", "expected"),
    [
        ({"name": None, "serializer": None, "inputs": None, "partitions": None}, "kind", "asset"),
        ({"inputs": {}}, "inputs", {}),
        ({"partitions": {}}, "partitions", {}),
        ({"name": ""}, "name", ""),
        ({"name": "prices"}, "name", "prices"),
        ({"serializer": "pickle"}, "serializer", "pickle"),
    ],
)
def test_metadata_fields(declaration, field, expected):
    declared = metadata(**declaration)
    assert list(declared) == METADATA_KEYS
    assert type(declared[field]) is type(expected) and declared[field] == expected
    assert all(declared[other] is None for other in METADATA_KEYS[1:] if other != field)


def test_inputs_and_partitions_keep_the_declared_order():
    # Neither sorted nor reversed: the order the user wrote, the same in every process.
    names = ["p7", "b", "p10", "a", "zeta", "p1", "mid", "c"]
    declared = metadata(
        inputs={name: f"{name}.py:f" for name in names}, partitions=dict.fromkeys(names, MARKER)
    )
    assert list(declared["inputs"]) == names and list(declared["partitions"]) == names


def test_metadata_is_a_fresh_copy_on_every_read():
    inputs = {"a": "ref"}
    wrapper = asset(inputs=inputs, partitions={"d": partitions([7])})(plain)
    inputs["late"] = "x"  # the declaration was copied from the caller's dict
    first, second = wrapper.__quarn_metadata__, wrapper.__quarn_metadata__
    assert first == second and first is not second
    assert first["inputs"] == {"a": "ref"}
    first["inputs"]["a"] = "changed"
    first["partitions"]["d"]["values_json"] = "[]"
    assert wrapper.__quarn_metadata__ == second


# --- internal failures ------------------------------------------------------------------------


def changing_dict(change):
    """An inputs dict whose one value's probe applies `change` to the dict."""
    declared: dict = {}
    changing = type("Changing", (str,), {"__quarn_kind__": property(lambda _: change(declared))})
    declared["a"] = changing("r")
    return declared


def panic_from(call) -> BaseException:
    with pytest.raises(BaseException) as info:
        call()
    assert not isinstance(info.value, Exception)  # a handler for Exception would miss it
    return info.value


@pytest.mark.parametrize(
    ("change", "message"),
    [
        (lambda d: d.update(late="x"), "dictionary changed size during iteration"),
        # Same size, a new key in a later slot (`update` into an emptied dict would swap tables).
        (
            lambda d: (d.pop("a"), d.__setitem__("b", "x")),
            "dictionary keys changed during iteration",
        ),
    ],
)
def test_dict_changed_while_read_is_a_panic_resumed_when_raised_back(capfd, change, message):
    panic = panic_from(lambda: asset(inputs=changing_dict(change)))
    assert panic.args == (message,) and type(panic).__name__ == "PanicException"
    assert type(panic).__bases__ == (BaseException,)
    assert type(panic).__module__ not in ("_quarn", "quarn._quarn")
    assert not hasattr(quarn._quarn, "PanicException")

    def rethrow(*args, **kwargs):
        raise panic

    # Raised back by a called function, or met by a probe (which discards other exceptions).
    probe = type("Probe", (), {"__quarn_kind__": property(rethrow)})()
    for call in (lambda: asset()(rethrow)(1, k=2), lambda: asset(inputs={"x": probe})):
        resumed = panic_from(call)
        assert type(resumed) is type(panic) and resumed is not panic and str(resumed) == message
    diagnostics = capfd.readouterr().err
    assert message in diagnostics and "Python stack trace below:" in diagnostics
