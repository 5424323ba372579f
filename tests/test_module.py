"""The module object, its registrations and its two classes."""

import gc
import importlib
import inspect
import sys
import weakref

import pytest

import quarn
import quarn._quarn as q

NAMES = "AssetWrapper Partitions asset partitions inspect_modules materialize_asset".split()


def test_all_lists_the_six_names_in_registration_order():
    assert q.__all__ == NAMES
    assert q.__doc__ == "The native `_quarn` module."
    assert all(getattr(quarn, name) is getattr(q, name) for name in NAMES)


# Each function's text signature after its name, then the first line of its docstring.
HEADERS = """\
asset(*, name=None, inputs=None, partitions=None, serializer=None)
Decorator that registers a Python function as a quarn asset.
partitions(values)
Declare the keys of one partition dimension, for ``@asset(partitions=...)``.
inspect_modules(modules)
Inspect modules for quarn assets. Called by the `python -m quarn.inspect` CLI stub.
materialize_asset(module_name, function_name, output_dir, input_kwargs_json=None)
Materialize a single asset function. Called by the `python -m quarn.worker` CLI stub.
"""


def test_functions_are_bound_and_carry_text_signatures():
    headers = []
    for name in NAMES[2:]:
        function = getattr(q, name)
        # The module's own name: "quarn._quarn" when loaded from the package.
        assert (function.__name__, function.__module__, function.__self__) == (name, q.__name__, q)
        assert function.__text_signature__ == str(inspect.signature(function))
        headers += [name + function.__text_signature__, function.__doc__.splitlines()[0]]
    assert headers == HEADERS.splitlines()


def test_asset_docstring_says_what_the_runner_does_with_each_argument():
    doc = q.asset.__doc__.split("Parameters\n----------\n")[1]
    described = [line.split(" : ")[0] for line in doc.splitlines() if line[:1].isalpha()]
    assert described == ["name", "inputs", "partitions", "serializer"]
    assert "runner" in doc and "Reserved" not in doc


def reimport():
    del sys.modules["quarn._quarn"]
    try:
        return importlib.import_module("quarn._quarn")
    finally:
        sys.modules["quarn._quarn"] = q


def test_reimport_gives_the_same_module_and_a_second_interpreter_is_refused():
    again = reimport()
    assert again is q and again.__all__ == NAMES  # nothing registered twice
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interp = interpreters.create(isolated=False)
    try:
        # The refusal is caught inside the second interpreter: a run that ends in an error
        # makes this host module leak the error's texts, which the sanitizer run reports.
        script = (
            "try:\n"
            "    import quarn._quarn\n"
            "except ImportError as error:\n"
            "    assert 'sub-interpreters' in str(error), str(error)\n"
            "else:\n"
            "    raise AssertionError('imported in a second interpreter')\n"
        )
        assert interpreters.run_string(interp, script) is None
    finally:
        interpreters.destroy(interp)
    assert reimport() is q


CLASS_DOCS = {
    "AssetWrapper": "The `@asset()` decorator wrapper. Stores the original function and metadata.",
    "Partitions": "Marker type returned by `partitions([...])`. Stores the static values.",
}


@pytest.mark.parametrize(
    ("name", "make"),
    [("AssetWrapper", lambda: q.asset()(len)), ("Partitions", lambda: q.partitions(["a"]))],
)
def test_class_properties(name, make):
    cls = getattr(q, name)
    assert (cls.__name__, cls.__qualname__, cls.__bases__) == (name, name, (object,))
    assert cls.__doc__ == CLASS_DOCS[name]
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    for args, kwargs in (((), {}), (([1],), {"key": 2})):
        with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
            cls(*args, **kwargs)
    instance = make()
    # A wrapper holds a Python object (its function), so the collector tracks it; a marker
    # holds none.
    assert type(instance) is cls and gc.is_tracked(instance) == (name == "AssetWrapper")
    with pytest.raises(AttributeError):
        instance.anything = 1
    with pytest.raises(AttributeError):
        _ = instance.__dict__
    with pytest.raises(TypeError):
        weakref.ref(instance)
