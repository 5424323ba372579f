"""asset(...): validation and its order, asset references, the metadata view, the decorator."""

from __future__ import annotations

import inspect
import json
import os
import pathlib
import subprocess
import sys
import textwrap
import types

import pytest
import quarn._quarn
from quarn import AssetWrapper, asset, partitions

INPUTS_VALUES = "inputs values must be @asset-decorated functions or asset ref strings"
PARTITION_VALUES = "partition values must be partitions([...]) instances"
DECORATOR_ARITY = "asset() decorator expects exactly one argument (the function)"
METADATA_KEYS = ["kind", "name", "serializer", "inputs", "partitions"]


def cannot_convert(obj: object, expected: str) -> str:
    return f"'{type(obj).__qualname__}' object cannot be converted to '{expected}'"


def plain(x=None):
    return x


@pytest.fixture
def upstream(modules):
    """A module holding one asset, `raw`, with the reference it must get."""
    path = modules.write(
        "upstream_mod",
        """
        from quarn import asset

        @asset()
        def raw():
            return [1, 2, 3]
        """,
    )
    module = __import__("upstream_mod")
    return module.raw, os.path.realpath(path) + ":raw"


# --- validation ------------------------------------------------------------------------------

MARKER = partitions(["AAPL"])
TAKES_NO_POSITIONAL = "asset() takes 0 positional arguments but 1 was given"

VALIDATION_CASES = [
    # Binding comes first; the parameters are keyword-only.
    pytest.param(
        ("x",), {}, "asset() takes 0 positional arguments but 1 was given", id="positional"
    ),
    pytest.param((plain,), {}, "asset() takes 0 positional arguments but 1 was given", id="bare"),
    pytest.param((), {"nam": "x"}, "asset() got an unexpected keyword argument 'nam'", id="nam"),
    # name, then serializer, each with its argument prefix; name wins over everything after.
    pytest.param(
        (),
        {"name": 1, "serializer": 2, "inputs": [], "partitions": []},
        "argument 'name': " + cannot_convert(1, "PyString"),
        id="name-first",
    ),
    pytest.param(
        (),
        {"serializer": b"x", "inputs": [], "partitions": []},
        "argument 'serializer': " + cannot_convert(b"x", "PyString"),
        id="serializer-before-dicts",
    ),
    # inputs, without an argument prefix.
    pytest.param((), {"inputs": [("data", "x")]}, cannot_convert([], "PyDict"), id="inputs-list"),
    pytest.param((), {"inputs": {1: "x"}}, cannot_convert(1, "PyString"), id="inputs-key"),
    pytest.param((), {"inputs": {"data": 3}}, INPUTS_VALUES, id="inputs-int"),
    pytest.param((), {"inputs": {"data": plain}}, INPUTS_VALUES, id="inputs-plain-function"),
    pytest.param((), {"inputs": {"data": b"x"}}, INPUTS_VALUES, id="inputs-bytes"),
    pytest.param((), {"inputs": {"data": None}}, INPUTS_VALUES, id="inputs-none-value"),
    # inputs is read whole, a later bad entry included, before partitions is looked at.
    pytest.param(
        (),
        {"inputs": {"a": 1}, "partitions": {"b": 2}},
        INPUTS_VALUES,
        id="inputs-before-partitions",
    ),
    pytest.param(
        (),
        {"inputs": {"a": "ok", "b": 5}, "partitions": [1]},
        INPUTS_VALUES,
        id="whole-inputs-before-partitions",
    ),
    pytest.param((), {"partitions": ["x"]}, cannot_convert([], "PyDict"), id="partitions-list"),
    pytest.param(
        (), {"partitions": {1: MARKER}}, cannot_convert(1, "PyString"), id="partitions-key"
    ),
    pytest.param(
        (), {"partitions": {"ticker": ["AAPL"]}}, PARTITION_VALUES, id="partitions-list-value"
    ),
    pytest.param(
        (),
        {"inputs": {"a": "ok"}, "partitions": {"t": MARKER, "u": "AAPL"}},
        PARTITION_VALUES,
        id="partitions-second-value",
    ),
]


@pytest.mark.parametrize(("args", "kwargs", "message"), VALIDATION_CASES)
def test_declaration_errors_and_their_order(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        asset(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [((), {}), ((plain, plain), {}), ((), {"function": plain}), ((), {"f": plain, "g": plain})],
    ids=["none", "two", "by-keyword", "only-keywords"],
)
def test_decorator_takes_exactly_one_positional_argument(args, kwargs):
    with pytest.raises(TypeError) as info:
        asset()(*args, **kwargs)
    assert str(info.value) == DECORATOR_ARITY


def test_decorator_ignores_keywords_and_accepts_any_object():
    wrapper = asset()(plain, extra=1)
    assert wrapper.__wrapped__ is plain
    number = asset()(42)
    assert number.__quarn_original__ == 42
    with pytest.raises(TypeError) as info:
        number()
    not_callable: object = 42
    with pytest.raises(TypeError) as direct:
        not_callable()  # type: ignore[operator]
    assert str(info.value) == str(direct.value)


def test_decorator_object():
    decorator = asset(name="n")
    assert isinstance(decorator, types.BuiltinFunctionType)
    assert decorator.__name__ == "asset_decorator"
    assert decorator.__module__ is None
    assert decorator.__doc__ is None
    # One decorator, any number of functions: equal declarations, separate wrappers.
    first, second = decorator(plain), decorator(print)
    assert type(first) is AssetWrapper and first is not second
    assert first.__wrapped__ is plain and second.__wrapped__ is print
    assert first.__quarn_metadata__ == second.__quarn_metadata__


def test_none_arguments_are_absent():
    explicit = asset(name=None, serializer=None, inputs=None, partitions=None)(plain)
    assert explicit.__quarn_metadata__ == asset()(plain).__quarn_metadata__


# --- asset references -----------------------------------------------------------------------


def test_reference_is_resolved_path_and_name(upstream):
    raw, reference = upstream
    wrapper = asset(inputs={"data": raw})(plain)
    assert wrapper.__quarn_metadata__["inputs"] == {"data": reference}


def test_reference_resolves_symbolic_links(tmp_path, monkeypatch):
    real = tmp_path / "real"
    real.mkdir()
    (real / "linked_mod.py").write_text(
        "from quarn import asset\n\n@asset()\ndef raw():\n    return 1\n", encoding="utf-8"
    )
    link = tmp_path / "link"
    link.symlink_to(real, target_is_directory=True)
    monkeypatch.syspath_prepend(str(link))
    monkeypatch.delitem(sys.modules, "linked_mod", raising=False)
    import linked_mod

    try:
        assert linked_mod.__file__.startswith(str(link))  # imported through the link
        wrapper = asset(inputs={"data": linked_mod.raw})(plain)
        expected = os.path.realpath(real / "linked_mod.py") + ":raw"
        assert wrapper.__quarn_metadata__["inputs"]["data"] == expected
    finally:
        del sys.modules["linked_mod"]


def test_reference_uses_the_original_and_its_current_name(modules):
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

    where = os.path.realpath(path)
    duck_mod.helper.__name__ = "renamed"
    wrapper = asset(inputs={"duck": duck_mod.Duck(), "bare": duck_mod.Bare})(plain)
    # Without __quarn_original__ the value itself is described.
    assert wrapper.__quarn_metadata__["inputs"] == {
        "duck": where + ":renamed",
        "bare": where + ":Bare",
    }


@pytest.mark.parametrize(
    "ref", ["some/where.py:raw", "", "no colon at all", "\u00e9\u4e2d"], ids=repr
)
def test_string_references_are_kept_verbatim(ref):
    class Text(str):
        pass

    wrapper = asset(inputs={"a": ref, "b": Text(ref)})(plain)
    inputs = wrapper.__quarn_metadata__["inputs"]
    assert inputs == {"a": ref, "b": ref}
    assert type(inputs["b"]) is str


class Kind:
    """An object whose `__quarn_kind__` is `kind`, or raises it when it is an exception."""

    def __init__(self, kind):
        self.kind = kind

    @property
    def __quarn_kind__(self):
        if isinstance(self.kind, BaseException):
            raise self.kind
        return self.kind


class KindText(str):
    """A str whose `__quarn_kind__` is given by the class attribute `kind`."""

    kind: object = None

    @property
    def __quarn_kind__(self):
        if isinstance(self.kind, BaseException):
            raise self.kind
        return self.kind


@pytest.mark.parametrize(
    "kind", ["Asset", "asset ", "", b"asset", 1, None, ValueError("no"), AttributeError("no")]
)
def test_only_the_exact_text_asset_makes_an_asset(kind):
    # Not an asset and not a str: rejected, whatever the probe did.
    with pytest.raises(TypeError) as info:
        asset(inputs={"x": Kind(kind)})
    assert str(info.value) == INPUTS_VALUES
    # Not an asset but a str: kept verbatim, the probe's exception discarded.
    text = type("Text", (KindText,), {"kind": kind})("verbatim")
    assert asset(inputs={"x": text})(plain).__quarn_metadata__["inputs"] == {"x": "verbatim"}


def test_a_str_subclass_marked_as_asset_is_an_asset():
    text = type("Text", (KindText,), {"kind": "asset"})("not used")
    # Described like any asset: `getsourcefile` of a str instance is the host's TypeError.
    with pytest.raises(TypeError) as info:
        asset(inputs={"x": text})
    with pytest.raises(TypeError) as host:
        inspect.getsourcefile(text)  # type: ignore[arg-type]
    assert str(info.value) == str(host.value)


def test_function_without_source_file_propagates_host_error():
    namespace: dict = {}
    exec("def made():\n    pass\n", namespace)
    wrapper = asset()(namespace["made"])
    with pytest.raises(TypeError) as info:
        asset(inputs={"data": wrapper})
    with pytest.raises(TypeError) as host:
        pathlib.Path(None)  # type: ignore[arg-type]  # what getsourcefile's None leads to
    assert str(info.value) == str(host.value)


def test_failures_while_describing_propagate_unchanged(modules):
    failure = LookupError("name unavailable")
    module = modules.load(
        "meta_mod",
        """
        class Meta(type):
            failure = None
            name = None

            @property
            def __name__(cls):
                if Meta.failure is not None:
                    raise Meta.failure
                return Meta.name

        class Target(metaclass=Meta):
            __quarn_kind__ = "asset"
        """,
    )
    module.Meta.failure = failure
    with pytest.raises(LookupError) as info:
        asset(inputs={"data": module.Target})
    assert info.value is failure
    module.Meta.failure = None
    module.Meta.name = 5
    with pytest.raises(TypeError) as info:
        asset(inputs={"data": module.Target})
    assert str(info.value) == cannot_convert(5, "PyString")


# --- dict reading ----------------------------------------------------------------------------


def test_dict_subclass_iteration_methods_are_not_consulted():
    class Guarded(dict):
        def __iter__(self):
            raise AssertionError("iterated")

        def items(self):
            raise AssertionError("items")

        def keys(self):
            raise AssertionError("keys")

    marker = partitions(["x"])
    wrapper = asset(inputs=Guarded(a="r"), partitions=Guarded(t=marker))(plain)
    metadata = wrapper.__quarn_metadata__
    assert metadata["inputs"] == {"a": "r"}
    assert metadata["partitions"] == {"t": {"kind": "inline", "values_json": '["x"]'}}


def test_later_key_with_same_text_replaces_earlier():
    class Distinct(str):
        __hash__ = object.__hash__

        def __eq__(self, other):
            return self is other

    declared = {"a": "first", Distinct("a"): "second"}
    assert len(declared) == 2
    assert asset(inputs=declared)(plain).__quarn_metadata__["inputs"] == {"a": "second"}


# --- metadata --------------------------------------------------------------------------------


def test_metadata_of_an_empty_declaration():
    metadata = asset()(plain).__quarn_metadata__
    assert list(metadata) == METADATA_KEYS
    assert metadata == dict.fromkeys(METADATA_KEYS) | {"kind": "asset"}


@pytest.mark.parametrize(
    ("kwargs", "field", "expected"),
    [
        ({"inputs": {}}, "inputs", {}),
        ({"partitions": {}}, "partitions", {}),
        ({"name": ""}, "name", ""),
        ({"name": "prices"}, "name", "prices"),
        ({"serializer": ""}, "serializer", ""),
        ({"serializer": "pickle"}, "serializer", "pickle"),
    ],
)
def test_metadata_fields(kwargs, field, expected):
    metadata = asset(**kwargs)(plain).__quarn_metadata__
    assert list(metadata) == METADATA_KEYS
    assert type(metadata[field]) is type(expected)
    assert metadata[field] == expected
    assert all(metadata[other] is None for other in METADATA_KEYS[1:] if other != field)


def compact(values):
    return json.dumps(values, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


@pytest.mark.parametrize(
    ("values", "text"),
    [
        ([], "[]"),
        (["AAPL", "MSFT"], compact(["AAPL", "MSFT"])),
        ([1, True, None], "[1,true,null]"),
        (["a", "a"], '["a","a"]'),
        ([2.5, -3, 0], compact([2.5, -3, 0])),
        ([1e-05, 100.0, 1e16], "[0.00001,100.0,1e+16]"),
        ([(1, 2), {"b": 1, "a": 2}], '[[1,2],{"a":2,"b":1}]'),
        ([{1: "x"}], '[{"1":"x"}]'),
        (["\u00e9\x1f"], '["\u00e9\\u001f"]'),
    ],
)
def test_values_json(values, text):
    metadata = asset(name="p", partitions={"d": partitions(values)})(plain).__quarn_metadata__
    spec = metadata["partitions"]["d"]
    assert list(spec) == ["kind", "values_json"]
    assert spec == {"kind": "inline", "values_json": text}


def test_several_inputs_and_dimensions(upstream):
    raw, reference = upstream
    inputs = {f"p{i}": f"ref{i}" for i in range(20)} | {"up": raw}
    dimensions = {f"d{i}": partitions([i]) for i in range(20)}
    metadata = asset(inputs=inputs, partitions=dimensions)(plain).__quarn_metadata__
    assert metadata["inputs"] == {f"p{i}": f"ref{i}" for i in range(20)} | {"up": reference}
    assert metadata["partitions"] == {
        f"d{i}": {"kind": "inline", "values_json": f"[{i}]"} for i in range(20)
    }


def test_metadata_is_fresh_on_every_read():
    wrapper = asset(inputs={"a": "r"}, partitions={"t": partitions([1])})(plain)
    first, second = wrapper.__quarn_metadata__, wrapper.__quarn_metadata__
    assert first == second and first is not second
    first["inputs"]["a"] = "changed"
    first["partitions"]["t"]["values_json"] = "[]"
    del first["name"]
    assert wrapper.__quarn_metadata__ == second
    assert second["inputs"] == {"a": "r"}


def test_declaration_is_copied_from_the_callers_dicts():
    inputs = {"a": "r"}
    wrapper = asset(inputs=inputs)(plain)
    inputs["b"] = "s"
    assert wrapper.__quarn_metadata__["inputs"] == {"a": "r"}


def test_map_order_differs_between_processes():
    # The maps are hash maps seeded per process; an unseeded hash would give one order always.
    script = textwrap.dedent(
        """
        from quarn import asset
        keys = [f"k{i}" for i in range(32)]
        print(",".join(asset(inputs={k: "r" for k in keys})(len).__quarn_metadata__["inputs"]))
        """
    )
    orders = [
        subprocess.run(
            [sys.executable, "-c", script], capture_output=True, text=True, check=True
        ).stdout.strip()
        for _ in range(3)
    ]
    assert all(sorted(order.split(",")) == sorted(f"k{i}" for i in range(32)) for order in orders)
    assert len(set(orders)) > 1


# --- internal failures -----------------------------------------------------------------------


def panic_from_resized_dict():
    declared: dict = {}

    class Growing(str):
        @property
        def __quarn_kind__(self):
            declared["late"] = "x"
            return None

    declared["a"] = Growing("r")
    try:
        asset(inputs=declared)
    except Exception as error:  # noqa: BLE001 - a PanicException must not land here
        pytest.fail(f"caught as Exception: {error!r}")
    except BaseException as error:  # noqa: BLE001
        return error
    pytest.fail("no exception")


def test_dict_changed_size_is_a_panic(capfd):
    panic = panic_from_resized_dict()
    diagnostic = capfd.readouterr().err
    assert str(panic) == "dictionary changed size during iteration"
    assert panic.args == ("dictionary changed size during iteration",)
    assert type(panic).__name__ == "PanicException"
    assert type(panic).__bases__ == (BaseException,)
    assert type(panic).__module__ not in ("_quarn", "quarn._quarn")
    assert not hasattr(quarn._quarn, "PanicException")
    with pytest.raises(ImportError):
        exec("from quarn._quarn import PanicException", {})
    assert "dictionary changed size during iteration" in diagnostic


def test_dict_keys_changed_is_a_panic(capfd):
    declared: dict = {}

    class Swapping(str):
        @property
        def __quarn_kind__(self):
            del declared["a"]
            declared["b"] = "x"
            return None

    declared["a"] = Swapping("r")
    with pytest.raises(BaseException) as info:
        asset(inputs=declared)
    assert "dictionary keys changed during iteration" in capfd.readouterr().err
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "dictionary keys changed during iteration"


def test_panic_raised_back_into_the_module_is_resumed(capfd):
    panic = panic_from_resized_dict()

    def rethrow(*args, **kwargs):
        raise panic

    with pytest.raises(BaseException) as called:
        asset()(rethrow)(1, k=2)

    class Probe:
        @property
        def __quarn_kind__(self):
            raise panic

    # A probe discards the exceptions it meets, but never a PanicException.
    with pytest.raises(BaseException) as probed:
        asset(inputs={"x": Probe()})
    text = capfd.readouterr().err
    for resumed in (called.value, probed.value):
        assert type(resumed) is type(panic)
        assert resumed is not panic
        assert str(resumed) == str(panic)
    assert "Python stack trace below:" in text
