"""materialize_asset run in-process: the two files byte for byte, failure records, step order."""

from __future__ import annotations

import json
import pathlib
import sys
from pathlib import Path

import pytest

from quarn import materialize_asset


def compact(record: dict) -> bytes:
    """The compact writer's text for records of plain strings and booleans: sorted names,
    no whitespace, non-ASCII as raw UTF-8, only quotes, backslashes and control
    characters escaped (the host encoder with these options follows the same rules)."""
    text = json.dumps(record, separators=(",", ":"), sort_keys=True, ensure_ascii=False)
    return text.encode("utf-8")


def success(module: str, function: str, result_type: str, signature: str, value_path: str) -> bytes:
    return compact(
        {
            "artifact_format": "json",
            "function_name": function,
            "module_path": module,
            "ok": True,
            "result_type": result_type,
            "signature": signature,
            "value_path": value_path,
        }
    )


def failure(error: str, error_type: str) -> bytes:
    return compact({"error": error, "error_type": error_type, "ok": False})


def run(module: str, function: str, out: Path, inputs: str | None = None) -> object:
    """Materializes and returns the exit code of a recorded failure, or "returned"."""
    try:
        result = materialize_asset(module, function, str(out), inputs)
    except SystemExit as exit_:
        return exit_.code
    assert result is None
    return "returned"


ASSETS = """
    import math

    class Outer:
        class Inner(Exception):
            pass

    class Celsius(float):
        pass

    class BadStr(Exception):
        def __str__(self):
            raise RuntimeError("no text")

    def plain():
        return {"value": 42}

    def processed(data) -> list:
        return [x * 2 for x in data]

    def prices(ticker: str, *, scale: float = 1.0) -> dict:
        return {"ticker": ticker, "close": 187.5 * scale}

    def nothing():
        return None

    def temperature():
        return Celsius(21.5)

    def bad_input():
        raise ValueError("bad input")

    def missing_key():
        return {}["ticker"]

    def gives_set():
        return {1, 2}

    def circular():
        items = []
        items.append(items)
        return items

    def exits_zero():
        raise SystemExit(0)

    def interrupted():
        raise KeyboardInterrupt

    def nested_class():
        raise Outer.Inner("deep")

    def quoted():
        raise ValueError('say "hi"\\nna\\u00efve \\u20ac \\\\ \\t end')

    def surrogate():
        raise ValueError("a\\udc80b")

    def unprintable():
        raise BadStr()

    def takes_nothing():
        return 1

    not_callable = 5
"""


@pytest.fixture
def assets(modules):
    modules.write("assets_mod", ASSETS)
    return "assets_mod"


# --- success: both files -------------------------------------------------------------


@pytest.mark.parametrize("inputs", [None, "{}", " { } "])
def test_no_inputs_calls_without_arguments(assets, tmp_path, inputs):
    out = tmp_path / "out"
    assert run(assets, "plain", out, inputs) == "returned"
    assert (out / "value.json").read_bytes() == b'{"value": 42}'
    expected = success(assets, "plain", "dict", "()", f"{out}/value.json")
    assert (out / "result.json").read_bytes() == expected


@pytest.mark.parametrize(
    ("function", "inputs", "value", "result_type", "signature"),
    [
        ("processed", '{"data": [1, 2, 3]}', b"[2, 4, 6]", "list", "(data) -> list"),
        (
            "prices",
            '{"scale": 2.0, "ticker": "AAPL"}',
            b'{"ticker": "AAPL", "close": 375.0}',
            "dict",
            "(ticker: str, *, scale: float = 1.0) -> dict",
        ),
        ("nothing", None, b"null", "NoneType", "()"),
        ("temperature", None, b"21.5", "Celsius", "()"),
    ],
)
def test_success_record(assets, tmp_path, function, inputs, value, result_type, signature):
    out = tmp_path / "out"
    assert run(assets, function, out, inputs) == "returned"
    assert (out / "value.json").read_bytes() == value
    expected = success(assets, function, result_type, signature, f"{out}/value.json")
    assert (out / "result.json").read_bytes() == expected


def test_decoded_object_may_be_a_dict_subclass(assets, tmp_path, monkeypatch):
    class Inputs(dict):
        pass

    monkeypatch.setattr(json, "loads", lambda text: Inputs(data=[5]))
    assert run(assets, "processed", tmp_path, "ignored") == "returned"
    assert (tmp_path / "value.json").read_bytes() == b"[10]"


def test_module_path_and_function_name_verbatim(modules, tmp_path):
    modules.write("pkg.assets", "def my_data():\n    return {}\n")
    out = tmp_path / "out" / "my_data"
    assert run("pkg.assets", "my_data", out) == "returned"
    expected = success("pkg.assets", "my_data", "dict", "()", f"{out}/value.json")
    assert (out / "result.json").read_bytes() == expected


@pytest.mark.parametrize(
    ("output_dir", "value_path"),
    [
        ("out", "out/value.json"),
        ("out/", "out/value.json"),
        ("./out//x/./", "out/x/value.json"),
        (".", "value.json"),
    ],
)
def test_value_path_is_normalised_and_stays_relative(
    assets, tmp_path, monkeypatch, output_dir, value_path
):
    monkeypatch.chdir(tmp_path)
    try:
        materialize_asset(assets, "plain", output_dir)
    except SystemExit:
        pytest.fail((tmp_path / value_path).with_name("result.json").read_text())
    expected = success(assets, "plain", "dict", "()", value_path)
    assert (tmp_path / value_path).with_name("result.json").read_bytes() == expected


# --- value.json: the host encoder's defaults -----------------------------------------


@pytest.mark.parametrize(
    ("source", "expected"),
    [
        ('{"b": 1, "a": [1, 2]}', b'{"b": 1, "a": [1, 2]}'),
        ('"\\u00e9"', b'"\\u00e9"'),
        ('"\\U0001F600"', b'"\\ud83d\\ude00"'),
        ('float("nan")', b"NaN"),
        ('[float("inf"), -float("inf")]', b"[Infinity, -Infinity]"),
        ("{1: True, None: False, 2.5: (1, 2)}", b'{"1": true, "null": false, "2.5": [1, 2]}'),
        ('"line\\nbreak"', b'"line\\nbreak"'),
    ],
)
def test_value_file_form(modules, tmp_path, source, expected):
    modules.write("valued", f"def value():\n    return {source}\n")
    assert run("valued", "value", tmp_path) == "returned"
    assert (tmp_path / "value.json").read_bytes() == expected


# --- failures: the record and SystemExit(1) ------------------------------------------


@pytest.mark.parametrize(
    ("function", "inputs", "error", "error_type"),
    [
        ("nope", None, "AttributeError: module 'assets_mod' has no attribute 'nope'", None),
        ("not_callable", None, "TypeError: 'int' object is not callable", None),
        (
            "processed",
            "",
            "JSONDecodeError: Expecting value: line 1 column 1 (char 0)",
            "JSONDecodeError",
        ),
        (
            "processed",
            '{"data": [1,]}',
            "JSONDecodeError: Expecting value: line 1 column 13 (char 12)",
            "JSONDecodeError",
        ),
        ("processed", "[1, 2]", "TypeError: 'list' object cannot be converted to 'PyDict'", None),
        ("processed", '"text"', "TypeError: 'str' object cannot be converted to 'PyDict'", None),
        ("processed", "null", "TypeError: 'NoneType' object cannot be converted to 'PyDict'", None),
        (
            "takes_nothing",
            '{"extra": 1}',
            "TypeError: takes_nothing() got an unexpected keyword argument 'extra'",
            None,
        ),
        (
            "processed",
            None,
            "TypeError: processed() missing 1 required positional argument: 'data'",
            None,
        ),
        ("bad_input", None, "ValueError: bad input", None),
        ("missing_key", None, "KeyError: 'ticker'", None),
        ("gives_set", None, "TypeError: Object of type set is not JSON serializable", None),
        ("circular", None, "ValueError: Circular reference detected", None),
        ("exits_zero", None, "SystemExit: 0", None),
        ("interrupted", None, "KeyboardInterrupt: ", None),
        ("nested_class", None, "Outer.Inner: deep", "Inner"),
        ("quoted", None, 'ValueError: say "hi"\nna\u00efve \u20ac \\ \t end', None),
        ("surrogate", None, "ValueError: a\ufffd\ufffd\ufffdb", None),
        ("unprintable", None, "BadStr: <exception str() failed>", None),
    ],
)
def test_failure_record(assets, tmp_path, function, inputs, error, error_type):
    error_type = error_type or error.split(":", 1)[0]
    assert run(assets, function, tmp_path, inputs) == 1
    assert (tmp_path / "result.json").read_bytes() == failure(error, error_type)


def test_failure_record_keeps_raw_utf8_and_escapes(assets, tmp_path):
    # The same record spelt out byte by byte, independent of any encoder.
    run(assets, "quoted", tmp_path)
    assert (tmp_path / "result.json").read_bytes() == (
        b'{"error":"ValueError: say \\"hi\\"\\nna\xc3\xafve \xe2\x82\xac \\\\ \\t end",'
        b'"error_type":"ValueError","ok":false}'
    )


@pytest.mark.parametrize(
    ("module", "error"),
    [
        ("quarn_no_such_module", "ModuleNotFoundError: No module named 'quarn_no_such_module'"),
        ("pkg.missing", "ModuleNotFoundError: No module named 'pkg.missing'"),
        ("broken", "ZeroDivisionError: division by zero"),
    ],
)
def test_import_failure_is_recorded_in_a_new_directory(modules, tmp_path, module, error):
    modules.write("pkg.present", "")
    modules.write("broken", "1 / 0\n")
    out = tmp_path / "never" / "made"
    assert run(module, "f", out) == 1
    assert (out / "result.json").read_bytes() == failure(error, error.split(":")[0])


def test_keys_that_are_not_text_get_the_hosts_error(assets, tmp_path, monkeypatch):
    def takes_any(**kwargs):
        return kwargs

    try:
        takes_any(**{1: 2})
    except TypeError as host_error:
        expected = failure(f"TypeError: {host_error}", "TypeError")
    monkeypatch.setattr(json, "loads", lambda text: {1: 2})
    assert run(assets, "processed", tmp_path, "{}") == 1
    assert (tmp_path / "result.json").read_bytes() == expected


# --- order: what each failure leaves behind ------------------------------------------


@pytest.mark.parametrize(
    ("module", "function", "inputs"),
    [
        ("quarn_no_such_module", "f", None),
        ("assets_mod", "nope", None),
        ("assets_mod", "processed", "[1]"),
        ("assets_mod", "bad_input", None),
        ("assets_mod", "gives_set", None),
    ],
)
def test_early_failure_leaves_an_old_value_file_alone(assets, tmp_path, module, function, inputs):
    (tmp_path / "value.json").write_text("stale")
    (tmp_path / "result.json").write_text("stale")
    assert run(module, function, tmp_path, inputs) == 1
    assert (tmp_path / "value.json").read_text() == "stale"
    assert json.loads((tmp_path / "result.json").read_text())["ok"] is False


LATE_FAILURES = """
    class NoSignature:
        @property
        def __signature__(self):
            raise RuntimeError("signature unavailable")

        def __call__(self):
            return [1, 2]

    broken_signature = NoSignature()

    class Nameless(type):
        @property
        def __name__(cls):
            return 7

    class Count(int, metaclass=Nameless):
        pass

    def nameless_value():
        return Count(3)

    class TextPath(str):
        pass
"""


@pytest.mark.parametrize(
    ("function", "value", "error"),
    [
        ("broken_signature", b"[1, 2]", "RuntimeError: signature unavailable"),
        ("nameless_value", b"3", "TypeError: 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_late_failure_keeps_the_new_value_beside_the_record(
    modules, tmp_path, function, value, error
):
    modules.write("late", LATE_FAILURES)
    (tmp_path / "value.json").write_text("stale")
    assert run("late", function, tmp_path) == 1
    assert (tmp_path / "value.json").read_bytes() == value
    assert (tmp_path / "result.json").read_bytes() == failure(error, error.split(":")[0])


def test_failing_value_write_is_recorded(assets, tmp_path):
    (tmp_path / "value.json").mkdir()
    assert run(assets, "plain", tmp_path) == 1
    record = json.loads((tmp_path / "result.json").read_bytes())
    assert record == {
        "error": f"IsADirectoryError: [Errno 21] Is a directory: '{tmp_path}/value.json'",
        "error_type": "IsADirectoryError",
        "ok": False,
    }


def test_success_overwrites_both_files(assets, tmp_path):
    (tmp_path / "value.json").write_text("old value, longer than the new one")
    (tmp_path / "result.json").write_text("old record, " * 20)
    assert run(assets, "nothing", tmp_path) == "returned"
    assert (tmp_path / "value.json").read_bytes() == b"null"
    assert json.loads((tmp_path / "result.json").read_bytes())["ok"] is True


# --- failures that reach the caller unchanged ----------------------------------------


def test_output_dir_naming_a_file_raises_file_exists(assets, tmp_path):
    target = tmp_path / "taken"
    target.write_text("not a directory")
    with pytest.raises(FileExistsError):
        materialize_asset(assets, "plain", str(target))
    assert target.read_text() == "not a directory"


def test_preparation_error_is_the_same_object(assets, tmp_path, monkeypatch):
    raised = PermissionError("no room here")

    def refuse(self, *args, **kwargs):
        raise raised

    monkeypatch.setattr(pathlib.Path, "mkdir", refuse)
    with pytest.raises(PermissionError) as excinfo:
        materialize_asset(assets, "plain", str(tmp_path / "out"))
    assert excinfo.value is raised
    assert excinfo.value.__traceback__ is not None
    assert not (tmp_path / "out").exists()


def test_binding_error_leaves_no_trace(tmp_path):
    out = tmp_path / "out"
    with pytest.raises(TypeError, match="argument 'input_kwargs_json'"):
        materialize_asset("m", "f", str(out), 5)
    with pytest.raises(TypeError, match="argument 'output_dir'"):
        materialize_asset("m", "f", out)
    assert not out.exists()


@pytest.mark.parametrize("function", ["bad_input", "plain"])
def test_failure_record_write_error_propagates_without_exit(assets, tmp_path, function):
    # result.json is a directory: for "plain" the success write fails first, and the
    # failure record cannot be written either.
    (tmp_path / "result.json").mkdir()
    with pytest.raises(IsADirectoryError):
        materialize_asset(assets, function, str(tmp_path))


def test_unreadable_type_name_propagates(modules, tmp_path):
    module = modules.load(
        "nameless_error",
        """
        class Meta(type):
            @property
            def __name__(cls):
                raise LookupError("no name")

        class Odd(Exception, metaclass=Meta):
            pass

        def fails():
            raise Odd("x")
        """,
    )
    assert module.Odd.__qualname__ == "Odd"
    with pytest.raises(LookupError, match="no name"):
        materialize_asset("nameless_error", "fails", str(tmp_path))
    assert not (tmp_path / "result.json").exists()


def test_returns_none_when_sys_exit_returns(assets, tmp_path, monkeypatch):
    statuses = []
    monkeypatch.setattr(sys, "exit", statuses.append)
    assert materialize_asset(assets, "bad_input", str(tmp_path)) is None
    assert statuses == [1]
    assert (tmp_path / "result.json").read_bytes() == failure("ValueError: bad input", "ValueError")


def test_system_exit_has_no_context(assets, tmp_path):
    with pytest.raises(SystemExit) as excinfo:
        materialize_asset(assets, "bad_input", str(tmp_path))
    assert excinfo.value.code == 1
    assert excinfo.value.__context__ is None


def panic_exception_type() -> type[BaseException]:
    # Other native extensions may define a PanicException of their own (hypothesis's does).
    candidates = [
        c
        for c in BaseException.__subclasses__()
        if c.__name__ == "PanicException" and c.__module__ == "_quarn_runtime"
    ]
    assert len(candidates) == 1
    return candidates[0]


def test_panic_passes_through_unrecorded(modules, tmp_path):
    # Any failed host call makes the module create its PanicException class.
    with pytest.raises(SystemExit):
        materialize_asset("quarn_no_such_module", "f", str(tmp_path / "first"))
    panic = panic_exception_type()
    module = modules.load("panicky", "def boom():\n    raise PANIC('internal')\n")
    module.PANIC = panic
    with pytest.raises(panic, match="^internal$"):
        materialize_asset("panicky", "boom", str(tmp_path / "out"))
    assert not (tmp_path / "out" / "result.json").exists()


# --- unwrapping ----------------------------------------------------------------------

UNWRAPPING = """
    class Wrapper:
        def __init__(self, function):
            self.__quarn_original__ = function

        def __call__(self, *args, **kwargs):
            raise AssertionError("the wrapper itself must not be called")

    class Exploding:
        @property
        def __quarn_original__(self):
            raise KeyboardInterrupt("probe")

        def __call__(self, data):
            return data

    def original(data: list) -> list:
        return data[::-1]

    wrapped = Wrapper(original)
    twice = Wrapper(Wrapper(original))
    exploding = Exploding()
"""


def test_quarn_original_is_called_instead_of_the_wrapper(modules, tmp_path):
    modules.write("wrapping", UNWRAPPING)
    assert run("wrapping", "wrapped", tmp_path, '{"data": [1, 2]}') == "returned"
    assert (tmp_path / "value.json").read_bytes() == b"[2, 1]"
    expected = success(
        "wrapping", "wrapped", "list", "(data: list) -> list", f"{tmp_path}/value.json"
    )
    assert (tmp_path / "result.json").read_bytes() == expected


def test_unwrapping_is_one_step(modules, tmp_path):
    modules.write("wrapping", UNWRAPPING)
    assert run("wrapping", "twice", tmp_path, '{"data": [1]}') == 1
    error = "AssertionError: the wrapper itself must not be called"
    assert (tmp_path / "result.json").read_bytes() == failure(error, "AssertionError")


def test_failing_probe_means_the_object_is_called(modules, tmp_path):
    modules.write("wrapping", UNWRAPPING)
    assert run("wrapping", "exploding", tmp_path, '{"data": 7}') == "returned"
    assert (tmp_path / "value.json").read_bytes() == b"7"


def test_dotted_function_name_is_one_attribute(modules, tmp_path):
    module = modules.load("dotted", "class Holder:\n    def f():\n        return 1\n")
    setattr(module, "Holder.f", lambda: 2)
    assert run("dotted", "Holder.f", tmp_path) == "returned"
    assert (tmp_path / "value.json").read_bytes() == b"2"


# --- references ----------------------------------------------------------------------


def test_repeated_runs_keep_reference_counts(modules, tmp_path):
    module = modules.load(
        "counted",
        """
        import weakref

        VALUE = {"held": [1, 2]}
        RAISED = []

        class Tracked(ValueError):
            def __init__(self, text):
                super().__init__(text)
                RAISED.append(weakref.ref(self))

        def give():
            return VALUE

        def take(data):
            return VALUE

        def fail():
            raise Tracked("fresh")
        """,
    )
    watched = [module.VALUE, module.give, module.take, module.fail, module.Tracked]

    def runs():
        run("counted", "give", tmp_path)
        run("counted", "take", tmp_path, '{"data": [1, 2, 3]}')
        run("counted", "fail", tmp_path)
        run("counted", "take", tmp_path, "[]")

    runs()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(50):
        runs()
    assert [sys.getrefcount(o) for o in watched] == before
    # The recorded exceptions are released as soon as their run ends, without a
    # collection: no reference to them is kept anywhere.
    assert len(module.RAISED) == 51
    assert all(ref() is None for ref in module.RAISED)


# --- decorated assets ----------------------------------------------------------------

DECLARED = """
    from quarn import asset, partitions

    @asset()
    def my_data():
        return {"value": 42}

    @asset(inputs={"data": my_data})
    def processed(data: list) -> list:
        return [x * 2 for x in data]

    @asset(name="daily", partitions={"ticker": partitions(["AAPL", "MSFT"])})
    def prices(ticker: str) -> dict:
        return {"ticker": ticker}

    @asset()
    def failing():
        raise KeyError("ticker")
"""


@pytest.mark.parametrize(
    ("function", "inputs", "value", "result_type", "signature"),
    [
        ("my_data", None, b'{"value": 42}', "dict", "()"),
        ("processed", '{"data": [1, 2, 3]}', b"[2, 4, 6]", "list", "(data: list) -> list"),
        ("prices", '{"ticker": "MSFT"}', b'{"ticker": "MSFT"}', "dict", "(ticker: str) -> dict"),
    ],
)
def test_decorated_asset_runs_its_function(
    modules, tmp_path, function, inputs, value, result_type, signature
):
    modules.write("pkg.assets", DECLARED)
    out = tmp_path / "out" / function
    assert run("pkg.assets", function, out, inputs) == "returned"
    assert (out / "value.json").read_bytes() == value
    expected = success("pkg.assets", function, result_type, signature, f"{out}/value.json")
    assert (out / "result.json").read_bytes() == expected


def test_decorated_asset_failure_is_recorded(modules, tmp_path):
    modules.write("pkg.assets", DECLARED)
    assert run("pkg.assets", "failing", tmp_path) == 1
    assert (tmp_path / "result.json").read_bytes() == failure("KeyError: 'ticker'", "KeyError")
