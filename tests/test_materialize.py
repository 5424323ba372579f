"""materialize_asset run in-process: the two files byte for byte, failure records, step order."""

from __future__ import annotations

import json
import pathlib
import sys
from pathlib import Path

import pytest
from discovery_model import compact

from quarn import materialize_asset

MODULE = "pkg.assets"


def success(function: str, result_type: str, signature: str, value_path: str) -> bytes:
    record = {"artifact_format": "json", "function_name": function, "module_path": MODULE}
    record |= {"ok": True, "result_type": result_type, "signature": signature}
    return compact(record | {"value_path": value_path}).encode()


def failure(error: str) -> bytes:
    """The failure record; error_type is the plain name of the qualified one in front."""
    error_type = error.split(":", 1)[0].rsplit(".", 1)[-1]
    return compact({"error": error, "error_type": error_type, "ok": False}).encode()


def run(module: str, function: str, out: Path | str, inputs: str | None = None) -> object:
    """Materializes and returns the exit code of a recorded failure, or "returned"."""
    try:
        result = materialize_asset(module, function, str(out), inputs)
    except SystemExit as exit_:
        # Raised by sys.exit outside any handler: the recorded exception is not chained.
        assert exit_.__context__ is None
        return exit_.code
    assert result is None
    return "returned"


ASSETS = """
    import weakref

    from quarn import asset, partitions

    class Outer:
        class Inner(Exception): pass

    class Celsius(float): pass

    class BadStr(Exception):
        def __str__(self): raise RuntimeError("no text")

    @asset()
    def my_data(): return {"value": 42}

    @asset(name="daily", partitions={"ticker": partitions(["AAPL", "MSFT"])})
    def prices(ticker: str) -> dict: return {"ticker": ticker}

    def processed(data) -> list: return [x * 2 for x in data]
    def kw(t: str, *, k=1) -> dict: return {"t": t, "k": k}
    def nothing(): return None
    def encoded(): return {1: float("nan"), None: "\u00e9"}
    def temperature(): return Celsius(21.5)
    def bad_input(): raise ValueError("bad input")
    def gives_set(): return {1, 2}
    def exits_zero(): raise SystemExit(0)
    def interrupted(): raise KeyboardInterrupt
    def nested_class(): raise Outer.Inner("deep")
    def quoted(): raise ValueError('say "hi"\\nna\\u00efve \\u20ac \\\\ \\t end')
    def surrogate(): raise ValueError("a\\udc80b")
    def unprintable(): raise BadStr()
    not_callable = 5

    class Wrapper:
        def __init__(self, function): self.__quarn_original__ = function
        def __call__(self, *a, **k): raise AssertionError("the wrapper itself must not be called")

    class Exploding:
        @property
        def __quarn_original__(self): raise KeyboardInterrupt("probe")
        def __call__(self, data): return data

    def original(data: list) -> list: return data[::-1]
    wrapped = Wrapper(original)
    twice = Wrapper(Wrapper(original))
    exploding = Exploding()

    class Holder:
        def f(): return 1
    globals()["Holder.f"] = lambda: 2

    class NoSignature:
        @property
        def __signature__(self): raise RuntimeError("signature unavailable")
        def __call__(self): return [1, 2]
    broken_signature = NoSignature()

    class Nameless(type):
        @property
        def __name__(cls): return 7
    class Count(int, metaclass=Nameless): pass
    def nameless_value(): return Count(3)

    class Unnamed(type):
        @property
        def __name__(cls): raise LookupError("no name")
    class Odd(Exception, metaclass=Unnamed): pass
    def odd(): raise Odd("x")

    RAISED = []
    class Tracked(ValueError):
        def __init__(self, text):
            super().__init__(text)
            RAISED.append(weakref.ref(self))
    def fail(): raise Tracked("fresh")
"""


@pytest.fixture
def assets(modules):
    modules.write(MODULE, ASSETS)
    modules.write("pkg.broken", "1 / 0\n")


# --- the two files, or the failure record and SystemExit(1) ----------------------------
OLD_VALUE = "an old value, longer than any new one"


@pytest.mark.parametrize(
    ("function", "inputs", "value", "outcome"),
    [
        # Success: the value and the record (result type, signature) replace the old files.
        ("my_data", None, b'{"value": 42}', ("dict", "()")),
        ("my_data", "{}", b'{"value": 42}', ("dict", "()")),
        ("prices", '{"ticker": "MSFT"}', b'{"ticker": "MSFT"}', ("dict", "(ticker: str) -> dict")),
        ("processed", '{"data": [1, 2, 3]}', b"[2, 4, 6]", ("list", "(data) -> list")),
        ("kw", '{"k": 2, "t": "A"}', b'{"t": "A", "k": 2}', ("dict", "(t: str, *, k=1) -> dict")),
        ("nothing", None, b"null", ("NoneType", "()")),
        ("temperature", None, b"21.5", ("Celsius", "()")),
        # The host encoder's defaults: ASCII, NaN allowed, keys made text.
        ("encoded", None, b'{"1": NaN, "null": "\\u00e9"}', ("dict", "()")),
        # __quarn_original__ is called in place of the object, with its own signature...
        ("wrapped", '{"data": [1, 2]}', b"[2, 1]", ("list", "(data: list) -> list")),
        # ...unless looking it up fails, whatever the error.
        ("exploding", '{"data": 7}', b"7", ("int", "(data)")),
        # A dotted name is one attribute, not a path.
        ("Holder.f", None, b"2", ("int", "()")),
        # Failure: the record, the old value left alone...
        ("nope", None, None, "AttributeError: module 'pkg.assets' has no attribute 'nope'"),
        ("not_callable", None, None, "TypeError: 'int' object is not callable"),
        ("processed", "", None, "JSONDecodeError: Expecting value: line 1 column 1 (char 0)"),
        ("processed", "[1, 2]", None, "TypeError: 'list' object cannot be converted to 'PyDict'"),
        ("bad_input", None, None, "ValueError: bad input"),
        ("twice", '{"data": [1]}', None, "AssertionError: the wrapper itself must not be called"),
        ("gives_set", None, None, "TypeError: Object of type set is not JSON serializable"),
        ("exits_zero", None, None, "SystemExit: 0"),
        ("interrupted", None, None, "KeyboardInterrupt: "),
        ("nested_class", None, None, "Outer.Inner: deep"),
        ("surrogate", None, None, "ValueError: a\ufffd\ufffd\ufffdb"),
        ("unprintable", None, None, "BadStr: <exception str() failed>"),
        # ...or the new value kept when the failure comes after it was written.
        ("broken_signature", None, b"[1, 2]", "RuntimeError: signature unavailable"),
        ("nameless_value", None, b"3", "TypeError: 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_files_after_a_run(assets, tmp_path, function, inputs, value, outcome):
    (tmp_path / "value.json").write_text(OLD_VALUE)
    (tmp_path / "result.json").write_text("an old record, " * 20)
    failed = isinstance(outcome, str)
    assert run(MODULE, function, tmp_path, inputs) == (1 if failed else "returned")
    expected = failure(outcome) if failed else success(function, *outcome, f"{tmp_path}/value.json")
    assert (tmp_path / "result.json").read_bytes() == expected
    assert (tmp_path / "value.json").read_bytes() == (value or OLD_VALUE.encode())


def test_decoded_object_may_be_a_dict_subclass_with_text_keys(assets, tmp_path, monkeypatch):
    class Inputs(dict):
        pass

    monkeypatch.setattr(json, "loads", lambda text: Inputs(data=[5]))
    assert run(MODULE, "processed", tmp_path, "ignored") == "returned"
    assert (tmp_path / "value.json").read_bytes() == b"[10]"
    try:
        (lambda **kwargs: None)(**{1: 2})
    except TypeError as host_error:
        expected = failure(f"TypeError: {host_error}")
    monkeypatch.setattr(json, "loads", lambda text: {1: 2})
    assert run(MODULE, "processed", tmp_path, "{}") == 1
    assert (tmp_path / "result.json").read_bytes() == expected


@pytest.mark.parametrize(
    ("output_dir", "value_path"),
    [("out/", "out/value.json"), ("./out//x/./", "out/x/value.json"), (".", "value.json")],
)
def test_value_path_is_normalised_and_stays_relative(
    assets, tmp_path, monkeypatch, output_dir, value_path
):
    monkeypatch.chdir(tmp_path)
    assert run(MODULE, "my_data", output_dir) == "returned"
    record = (tmp_path / value_path).with_name("result.json").read_bytes()
    assert record == success("my_data", "dict", "()", value_path)


def test_failure_record_keeps_raw_utf8_and_escapes(assets, tmp_path):
    # One record spelt out byte by byte, independent of any encoder.
    run(MODULE, "quoted", tmp_path)
    assert (tmp_path / "result.json").read_bytes() == (
        b'{"error":"ValueError: say \\"hi\\"\\nna\xc3\xafve \xe2\x82\xac \\\\ \\t end",'
        b'"error_type":"ValueError","ok":false}'
    )


@pytest.mark.parametrize(
    ("module", "error"),
    [
        ("pkg.missing", "ModuleNotFoundError: No module named 'pkg.missing'"),
        ("pkg.broken", "ZeroDivisionError: division by zero"),
    ],
)
def test_import_failure_is_recorded_in_a_new_directory(assets, tmp_path, module, error):
    out = tmp_path / "never" / "made"
    assert run(module, "f", out) == 1
    assert (out / "result.json").read_bytes() == failure(error)


def test_failing_value_write_is_recorded(assets, tmp_path):
    (tmp_path / "value.json").mkdir()
    assert run(MODULE, "my_data", tmp_path) == 1
    error = f"IsADirectoryError: [Errno 21] Is a directory: '{tmp_path}/value.json'"
    assert (tmp_path / "result.json").read_bytes() == failure(error)


def test_returns_none_when_sys_exit_returns(assets, tmp_path, monkeypatch):
    statuses = []
    monkeypatch.setattr(sys, "exit", statuses.append)
    assert materialize_asset(MODULE, "bad_input", str(tmp_path)) is None
    assert statuses == [1]
    assert (tmp_path / "result.json").read_bytes() == failure("ValueError: bad input")


# --- failures that reach the caller unchanged, without SystemExit ---------------------


def test_output_dir_naming_a_file_raises_file_exists(assets, tmp_path):
    target = tmp_path / "taken"
    target.write_text("not a directory")
    with pytest.raises(FileExistsError):
        materialize_asset(MODULE, "my_data", str(target))
    assert target.read_text() == "not a directory"


def test_preparation_error_is_the_same_object(assets, tmp_path, monkeypatch):
    raised = PermissionError("no room here")

    def refuse(self, *args, **kwargs):
        raise raised

    monkeypatch.setattr(pathlib.Path, "mkdir", refuse)
    with pytest.raises(PermissionError) as excinfo:
        materialize_asset(MODULE, "my_data", str(tmp_path / "out"))
    assert excinfo.value is raised
    assert excinfo.value.__traceback__ is not None


def test_binding_error_leaves_no_trace(tmp_path):
    with pytest.raises(TypeError, match="argument 'input_kwargs_json'"):
        materialize_asset("m", "f", str(tmp_path / "out"), 5)
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("function", ["bad_input", "my_data"])
def test_failure_record_write_error_propagates(assets, tmp_path, function):
    # For "my_data" the success write fails first, then the failure record's.
    (tmp_path / "result.json").mkdir()
    with pytest.raises(IsADirectoryError):
        materialize_asset(MODULE, function, str(tmp_path))


def test_unreadable_type_name_propagates(assets, tmp_path):
    with pytest.raises(LookupError, match="no name"):
        materialize_asset(MODULE, "odd", str(tmp_path))
    assert not (tmp_path / "result.json").exists()


def test_panic_passes_through_unrecorded(modules, tmp_path, panic_type):
    modules.load("panicky", "def boom():\n    raise PANIC('internal')\n").PANIC = panic_type
    with pytest.raises(panic_type, match="^internal$"):
        materialize_asset("panicky", "boom", str(tmp_path / "out"))
    assert not (tmp_path / "out" / "result.json").exists()


# --- references ----------------------------------------------------------------------


def test_recorded_exceptions_are_released_when_the_run_ends(assets, tmp_path):
    for _ in range(3):
        run(MODULE, "fail", tmp_path)
    raised = sys.modules[MODULE].RAISED  # weak references: none kept alive, no collection needed
    assert len(raised) == 3 and all(ref() is None for ref in raised)
