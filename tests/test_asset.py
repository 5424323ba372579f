"""asset(...): validation and its order, asset references, the metadata view, the decorator."""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys
import types

import pytest

import quarn._quarn
from quarn import AssetWrapper, asset, partitions

INPUTS_VALUES = "inputs values must be @asset-decorated functions or asset ref strings"
PARTITION_VALUES = "partition values must be partitions([...]) instances"
DECORATOR_ARITY = "asset() decorator expects exactly one argument (the function)"
NO_POSITIONAL = "asset() takes 0 positional arguments but 1 was given"
METADATA_KEYS = ["kind", "name", "serializer", "inputs", "partitions"]
MARKER = partitions(["AAPL"])


def cannot_convert(obj: object, expected: str) -> str:
    return f"'{type(obj).__qualname__}' object cannot be converted to '{expected}'"


INT_NOT_TEXT = cannot_convert(1, "PyString")


def plain(x=None):
    return x


def metadata(**declaration):
    return asset(**declaration)(plain).__quarn_metadata__


# --- validation ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        (("x",), {}, NO_POSITIONAL),
        ((plain,), {}, NO_POSITIONAL),
        ((), {"nam": "x"}, "asset() got an unexpected keyword argument 'nam'"),
        # name, then serializer, with their argument prefix, before the dicts are looked at.
        (
            (),
            {"name": 1, "serializer": 2, "inputs": []},
            "argument 'name': " + cannot_convert(1, "PyString"),
        ),
        (
            (),
            {"serializer": b"x", "inputs": []},
            "argument 'serializer': " + cannot_convert(b"", "PyString"),
        ),
        ((), {"inputs": [("data", "x")]}, cannot_convert([], "PyDict")),
        ((), {"inputs": {1: "x"}}, INT_NOT_TEXT),
        ((), {"inputs": {"data": 3}}, INPUTS_VALUES),
        ((), {"inputs": {"data": plain}}, INPUTS_VALUES),
        ((), {"inputs": {"data": None}}, INPUTS_VALUES),
        # inputs is read whole, a later bad entry included, before partitions is looked at.
        ((), {"inputs": {"a": 1}, "partitions": {"b": 2}}, INPUTS_VALUES),
        ((), {"inputs": {"a": "ok", "b": 5}, "partitions": [1]}, INPUTS_VALUES),
        ((), {"partitions": ["x"]}, cannot_convert([], "PyDict")),
        ((), {"partitions": {1: MARKER}}, INT_NOT_TEXT),
        ((), {"partitions": {"ticker": ["AAPL"]}}, PARTITION_VALUES),
        ((), {"inputs": {"a": "ok"}, "partitions": {"t": MARKER, "u": "AAPL"}}, PARTITION_VALUES),
    ],
)
def test_declaration_errors_and_their_order(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        asset(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.parametrize(
    ("args", "kwargs"), [((), {}), ((plain, plain), {}), ((), {"function": plain})]
)
def test_decorator_takes_exactly_one_positional_argument(args, kwargs):
    with pytest.raises(TypeError) as info:
        asset()(*args, **kwargs)
    assert str(info.value) == DECORATOR_ARITY


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


# --- asset references -----------------------------------------------------------------------


def test_reference_is_resolved_path_and_name(tmp_path, monkeypatch):
    real = tmp_path / "real"
    real.mkdir()
    source = "from quarn import asset\n\n@asset()\ndef raw():\n    return 1\n"
    (real / "linked_mod.py").write_text(source, encoding="utf-8")
    link = tmp_path / "link"
    link.symlink_to(real, target_is_directory=True)
    monkeypatch.syspath_prepend(str(link))
    monkeypatch.delitem(sys.modules, "linked_mod", raising=False)
    import linked_mod

    try:
        assert linked_mod.__file__.startswith(str(link))  # imported through the link
        expected = os.path.realpath(real / "linked_mod.py") + ":raw"
        assert metadata(inputs={"data": linked_mod.raw})["inputs"] == {"data": expected}
    finally:
        del sys.modules["linked_mod"]


def test_reference_describes_the_original_or_the_value(modules):
    path = modules.write(
        "duck_mod",
        """
        def helper():
            pass

        class Duck:
            __quarn_kind__ = "asset"
            __quarn_original__ = staticmethod(helper)

        class Bare:
            __quarn_kind__ = "asset"
        """,
    )
    import duck_mod

    duck_mod.helper.__name__ = "renamed"  # the name is read when the reference is made
    where = os.path.realpath(path)
    inputs = metadata(inputs={"duck": duck_mod.Duck(), "bare": duck_mod.Bare})["inputs"]
    assert inputs == {"duck": where + ":renamed", "bare": where + ":Bare"}


def test_string_references_are_kept_verbatim():
    class Text(str):
        pass

    refs = {"a": "some/where.py:raw", "b": "", "c": Text("\u00e9 no colon")}
    inputs = metadata(inputs=refs)["inputs"]
    assert inputs == refs and type(inputs["c"]) is str


class Marked(str):
    """A str whose `__quarn_kind__` is the class attribute `kind`, raised if an exception."""

    kind: object = None

    @property
    def __quarn_kind__(self):
        if isinstance(self.kind, BaseException):
            raise self.kind
        return self.kind


@pytest.mark.parametrize("kind", ["Asset", "asset ", b"asset", 1, None, ValueError("no")])
def test_only_the_exact_text_asset_makes_an_asset(kind):
    marked = type("Marked", (Marked,), {"kind": kind})
    # Not an asset but a str: kept verbatim, the probe's exception discarded.
    assert metadata(inputs={"x": marked("verbatim")})["inputs"] == {"x": "verbatim"}
    # Not an asset and not a str: rejected.
    holder = type("Holder", (), {"kind": kind, "__quarn_kind__": Marked.__quarn_kind__})
    with pytest.raises(TypeError) as info:
        asset(inputs={"x": holder()})
    assert str(info.value) == INPUTS_VALUES


def test_describing_failures_propagate_unchanged(modules):
    namespace: dict = {}
    exec("def made():\n    pass\n", namespace)
    with pytest.raises(TypeError) as info:
        asset(inputs={"data": asset()(namespace["made"])})
    with pytest.raises(TypeError) as host:
        pathlib.Path(None)  # type: ignore[arg-type]  # what getsourcefile's None leads to
    assert str(info.value) == str(host.value)

    module = modules.load(
        "meta_mod",
        """
        class Meta(type):
            name = None

            @property
            def __name__(cls):
                if isinstance(Meta.name, BaseException):
                    raise Meta.name
                return Meta.name

        class Target(metaclass=Meta):
            __quarn_kind__ = "asset"
        """,
    )
    module.Meta.name = failure = LookupError("name unavailable")
    with pytest.raises(LookupError) as info:
        asset(inputs={"data": module.Target})
    assert info.value is failure
    module.Meta.name = 5
    with pytest.raises(TypeError) as info:
        asset(inputs={"data": module.Target})
    assert str(info.value) == cannot_convert(5, "PyString")


# --- dict reading ----------------------------------------------------------------------------


def test_dict_storage_is_read_not_its_methods():
    class Guarded(dict):
        def __iter__(self):
            raise AssertionError("iterated")

        def items(self):
            raise AssertionError("items")

    class Distinct(str):
        __hash__ = object.__hash__

        def __eq__(self, other):
            return self is other

    # Two keys of the same text: the later entry replaces the earlier.
    inputs = Guarded({"a": "first", Distinct("a"): "second"})
    declared = metadata(inputs=inputs, partitions=Guarded(t=partitions(["x"])))
    assert declared["inputs"] == {"a": "second"}
    assert declared["partitions"] == {"t": {"kind": "inline", "values_json": '["x"]'}}


# --- metadata --------------------------------------------------------------------------------


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


def compact(values):
    return json.dumps(values, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


@pytest.mark.parametrize(
    ("values", "text"),
    [
        ([], "[]"),
        (["AAPL", "MSFT", "AAPL"], compact(["AAPL", "MSFT", "AAPL"])),
        ([1, True, None, 2.5, -3], "[1,true,null,2.5,-3]"),
        ([1e-05, 100.0, 1e16], "[0.00001,100.0,1e+16]"),
        ([(1, 2), {"b": 1, "a": 2}, {1: "x"}], '[[1,2],{"a":2,"b":1},{"1":"x"}]'),
        (["\u00e9\x1f"], '["\u00e9\\u001f"]'),
    ],
)
def test_values_json(values, text):
    spec = metadata(partitions={"d": partitions(values)})["partitions"]["d"]
    assert list(spec) == ["kind", "values_json"]
    assert spec == {"kind": "inline", "values_json": text}


def test_metadata_is_a_fresh_copy_on_every_read():
    inputs = {f"p{i}": f"ref{i}" for i in range(20)}
    dimensions = {f"d{i}": partitions([i]) for i in range(20)}
    wrapper = asset(inputs=inputs, partitions=dimensions)(plain)
    inputs["late"] = "x"  # the declaration was copied from the caller's dict
    first, second = wrapper.__quarn_metadata__, wrapper.__quarn_metadata__
    assert first["inputs"] == {f"p{i}": f"ref{i}" for i in range(20)}
    assert first["partitions"] == {
        f"d{i}": {"kind": "inline", "values_json": f"[{i}]"} for i in range(20)
    }
    assert first == second and first is not second
    first["inputs"]["p0"] = "changed"
    first["partitions"]["d0"]["values_json"] = "[]"
    assert wrapper.__quarn_metadata__ == second


def test_map_order_differs_between_processes():
    # The maps are hash maps seeded per process; an unseeded hash would give one order always.
    script = (
        "from quarn import asset\n"
        "inputs = {f'k{i}': 'r' for i in range(32)}\n"
        "print(','.join(asset(inputs=inputs)(len).__quarn_metadata__['inputs']))\n"
    )
    run = [sys.executable, "-c", script]
    orders = [subprocess.run(run, capture_output=True, text=True, check=True).stdout.strip()]
    orders += [subprocess.run(run, capture_output=True, text=True, check=True).stdout.strip()]
    assert all(sorted(order.split(",")) == sorted(f"k{i}" for i in range(32)) for order in orders)
    assert orders[0] != orders[1]


# --- internal failures -----------------------------------------------------------------------


def changing_dict(change):
    """An inputs dict whose one value's probe applies `change` to the dict once."""
    declared: dict = {}

    class Changing(str):
        @property
        def __quarn_kind__(self):
            change(declared)
            return None

    declared["a"] = Changing("r")
    return declared


def grow(declared):
    declared["late"] = "x"


def swap(declared):
    del declared["a"]
    declared["b"] = "x"


def panic_from(declared) -> BaseException:
    try:
        asset(inputs=declared)
    except Exception as error:  # noqa: BLE001 - a PanicException must not land here
        pytest.fail(f"caught as Exception: {error!r}")
    except BaseException as error:  # noqa: BLE001
        return error
    pytest.fail("no exception")


@pytest.mark.parametrize(
    ("change", "message"),
    [
        (grow, "dictionary changed size during iteration"),
        (swap, "dictionary keys changed during iteration"),
    ],
)
def test_dict_changed_while_read_is_a_panic(capfd, change, message):
    panic = panic_from(changing_dict(change))
    assert panic.args == (message,)
    assert type(panic).__name__ == "PanicException"
    assert type(panic).__bases__ == (BaseException,)
    assert type(panic).__module__ not in ("_quarn", "quarn._quarn")
    assert not hasattr(quarn._quarn, "PanicException")
    with pytest.raises(ImportError):
        exec("from quarn._quarn import PanicException", {})
    assert message in capfd.readouterr().err  # the diagnostic


def test_panic_raised_back_into_the_module_is_resumed(capfd):
    panic = panic_from(changing_dict(grow))

    def rethrow(*args, **kwargs):
        raise panic

    with pytest.raises(BaseException) as called:
        asset()(rethrow)(1, k=2)
    # A probe discards the exceptions it meets, but never a PanicException.
    with pytest.raises(BaseException) as probed:
        asset(inputs={"x": type("Probe", (), {"__quarn_kind__": property(rethrow)})()})
    for resumed in (called.value, probed.value):
        assert type(resumed) is type(panic) and resumed is not panic
        assert str(resumed) == str(panic)
    assert "Python stack trace below:" in capfd.readouterr().err
