"""The module object, its registrations and its two classes."""

import inspect
import sys
import weakref

import pytest

import quarn
import quarn._quarn as q

NAMES = [
    "AssetWrapper",
    "Partitions",
    "asset",
    "partitions",
    "inspect_modules",
    "materialize_asset",
]
FUNCTIONS = ["asset", "partitions", "inspect_modules", "materialize_asset"]


def test_all_lists_the_six_names_in_registration_order():
    assert q.__all__ == NAMES
    assert q.__doc__ == "The native `_quarn` module."
    assert all(getattr(quarn, name) is getattr(q, name) for name in NAMES)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_are_bound_to_the_module(name):
    function = getattr(q, name)
    # The module's own name: "quarn._quarn" when loaded from the package.
    assert function.__module__ == q.__name__
    assert function.__self__ is q
    assert function.__name__ == name


@pytest.mark.parametrize(
    ("name", "signature", "first_line"),
    [
        (
            "asset",
            "(*, name=None, inputs=None, partitions=None, serializer=None)",
            "Decorator that registers a Python function as a quarn asset.",
        ),
        (
            "partitions",
            "(values)",
            "Declare a static partition universe for use with ``@asset(partitions=...)``.",
        ),
        (
            "inspect_modules",
            "(modules)",
            "Inspect modules for quarn assets. Called by the `python -m quarn.inspect` CLI stub.",
        ),
        (
            "materialize_asset",
            "(module_name, function_name, output_dir, input_kwargs_json=None)",
            "Materialize a single asset function. Called by the `python -m quarn.worker` CLI stub.",
        ),
    ],
)
def test_docstrings_carry_text_signatures(name, signature, first_line):
    function = getattr(q, name)
    assert function.__text_signature__ == signature
    assert str(inspect.signature(function)) == signature
    assert function.__doc__.splitlines()[0] == first_line


def test_asset_docstring_has_its_46_lines():
    # The host strips the three-line signature header.
    assert len(q.asset.__doc__.split("\n")) == 46 - 3
    assert "    Reserved for future use.  Leave unset." == q.asset.__doc__.split("\n")[-1]


def test_reimport_gives_the_identical_module_and_registers_nothing_twice():
    saved = sys.modules.pop("quarn._quarn")
    try:
        import quarn._quarn as again

        assert again is saved
        assert again.__all__ == NAMES
    finally:
        sys.modules["quarn._quarn"] = saved


def test_second_interpreter_is_refused_and_the_first_keeps_working():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interp = interpreters.create(isolated=False)
    try:
        code = (
            "try:\n"
            "    import quarn._quarn\n"
            "except ImportError as e:\n"
            "    assert 'sub-interpreters' in str(e), str(e)\n"
            "else:\n"
            "    raise AssertionError('imported in a second interpreter')\n"
        )
        assert interpreters.run_string(interp, code) is None
    finally:
        interpreters.destroy(interp)
    sys.modules.pop("quarn._quarn")
    import quarn._quarn as again

    assert again is q


@pytest.mark.parametrize(
    ("cls", "name"), [(q.AssetWrapper, "AssetWrapper"), (q.Partitions, "Partitions")]
)
def test_class_properties(cls, name):
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError) as excinfo:
        cls()
    assert str(excinfo.value) == f"No constructor defined for {name}"
    with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
        cls([1], key=2)


def test_class_docstrings_and_module_names():
    assert q.Partitions.__doc__ == (
        "Marker type returned by `partitions([...])`. Stores the static values."
    )
    assert q.Partitions.__module__ == "builtins"
    assert type(q.partitions([])).__name__ == "Partitions"
    assert repr(q.partitions([])) == "Partitions(0 values)"


def test_partitions_instances_take_no_attributes_and_no_weak_references():
    marker = q.partitions(["a"])
    with pytest.raises(AttributeError):
        marker.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(marker)
    assert not hasattr(marker, "__dict__")
