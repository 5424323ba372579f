"""inspect_modules: argument conversion, order, skip lines, what is an asset, failures, leaks."""

from __future__ import annotations

import contextlib
import errno
import importlib
import inspect
import io
import json
import os
import sys
import traceback
import types
from pathlib import Path

import pytest
from discovery_model import FAILING_METADATA

from quarn import asset, inspect_modules

EMPTY = '{"assets":[]}'


def imitation(name: str, kind: str = "'asset'", metadata: str = "{}", annotation: str = "") -> str:
    """Source of a plain function marked as an asset by hand."""
    return (
        f"def {name}(){annotation}:\n    return 1\n"
        f"{name}.__quarn_kind__ = {kind}\n{name}.__quarn_metadata__ = {metadata}\n"
    )


def assets(document: str) -> list[dict]:
    return json.loads(document)["assets"]


def skip_line(name: str, reason: str) -> str:
    return f"quarn: skipping module '{name}': {reason}\n"


def import_failure(name: str) -> str:
    """The exception text of importing `name` in the test itself: qualname, ": ", str()."""
    try:
        importlib.import_module(name)
    except BaseException as error:  # noqa: BLE001 - any failure is what the skip line shows
        return f"{type(error).__qualname__}: {error}"
    raise AssertionError(f"{name} imported")


@pytest.mark.parametrize("argument", [[], (type("Text", (str,), {})("qa_never_there"),)])
def test_any_sequence_of_str_is_accepted(argument, capfd):
    assert inspect_modules(modules=argument) == EMPTY
    assert capfd.readouterr().err == "".join(skip_line(n, import_failure(n)) for n in argument)


def test_order_is_names_then_sorted_members_with_every_binding_kept(modules, capfd):
    origin = modules.write(
        "qa_first", imitation("zeta") + imitation("alpha") + imitation("Mid") + "other = alpha\n"
    )
    importer = "from qa_first import zeta\n" + imitation("beta")
    modules.write("qa_second", importer)
    modules.write("qa_alias", "import sys, qa_second\nsys.modules[__name__] = qa_second\n")
    names = ["qa_second", "qa_missing", "qa_first", "qa_second", "qa_alias"]
    entries = assets(inspect_modules(names))
    # Caller's order, duplicates kept; module_path is the __name__ of the module the import
    # returned; members sorted by name, and the names they are bound under never show.
    second = [("qa_second", "beta"), ("qa_second", "zeta")]
    first = [("qa_first", name) for name in ("Mid", "alpha", "alpha", "zeta")]
    pairs = [(entry["module_path"], entry["function_name"]) for entry in entries]
    assert pairs == second + first + second + second
    assert entries[3] == entries[4]
    # An imported asset is described under the importer, from its own file.
    assert entries[1]["module_source"] == importer
    assert entries[1]["file_path"] == str(origin.resolve())
    assert entries[1]["function_source"] == "def zeta():\n    return 1\n"
    assert capfd.readouterr().err == skip_line("qa_missing", import_failure("qa_missing"))


SKIPPED_MODULES = {
    "qe_syntax": "def broken(:\n",
    "qe_exits": "raise SystemExit(3)\n",
}


@pytest.mark.parametrize(
    ("name", "reason"),
    [
        ("qe_syntax", None),
        ("qe_exits", "SystemExit: 3"),
        ("qe_caf\u00e9", None),
        (".x", None),
    ],
)
def test_skip_line_text(modules, capfd, monkeypatch, name, reason):
    # Not capsys: enabling it makes pytest re-point fd 2 at its own capture file.
    monkeypatch.setattr(sys, "stderr", io.StringIO())
    if name in SKIPPED_MODULES:
        modules.write(name, SKIPPED_MODULES[name])
    assert inspect_modules([name]) == EMPTY
    assert capfd.readouterr().err == skip_line(name, reason or import_failure(name))
    assert sys.stderr.getvalue() == ""  # not through sys.stderr


def test_ctrl_c_during_an_import_ends_discovery_unchanged(modules, monkeypatch, capfd):
    """A KeyboardInterrupt is not a failed import: no skip line, no document, no next module."""
    interrupt = KeyboardInterrupt("slow import")
    monkeypatch.setitem(sys.modules, "qk_signal", types.SimpleNamespace(interrupt=interrupt))
    modules.write("qk_before", imitation("raw"))
    modules.write("qk_slow", "from qk_signal import interrupt\nraise interrupt\n")
    modules.write("qk_after", imitation("raw"))
    with pytest.raises(KeyboardInterrupt) as excinfo:
        inspect_modules(["qk_before", "qk_slow", "qk_after"])
    assert excinfo.value is interrupt and "qk_after" not in sys.modules
    assert capfd.readouterr().err == ""


def test_empty_files_are_modules_whose_source_is_empty(modules, capfd):
    """An empty __init__.py or module is read as the empty text; an asset bound in it (here
    from elsewhere) is described with that module source."""
    modules.write("qy_package.qy_inner", "")  # qy_package/__init__.py is empty too
    empty = modules.load("qy_empty", "")
    empty.raw = asset()(modules.load("qy_source", imitation("raw")).raw)
    entries = assets(inspect_modules(["qy_package", "qy_package.qy_inner", "qy_empty"]))
    assert [(e["module_path"], e["module_source"], e["function_name"]) for e in entries] == [
        ("qy_empty", "", "raw")
    ]
    assert capfd.readouterr().err == ""


@contextlib.contextmanager
def fd2_on(path: str | None):
    """Points fd 2 at `path` for the block, or closes it when `path` is None."""
    saved = os.dup(2)
    if path is None:
        os.close(2)
    else:
        target = os.open(path, os.O_WRONLY)
        os.dup2(target, 2)
        os.close(target)
    try:
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


def test_closed_fd2_drops_the_line_silently():
    with fd2_on(None):
        document = inspect_modules(["qf_missing"])
    assert document == EMPTY


def test_failed_write_is_a_panic(panic_type):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full to make the write fail")
    with fd2_on("/dev/full"), pytest.raises(panic_type) as excinfo:
        inspect_modules(["qf_missing_on_full"])
    assert str(excinfo.value) == "failed printing to stderr: " + os.strerror(errno.ENOSPC)


def test_failing_metadata_raises_the_same_exception(modules):
    # Its references are checked in test_hardening_leaks.py.
    module = modules.load("qh_metadata", FAILING_METADATA)
    with pytest.raises(LookupError) as excinfo:
        inspect_modules(["qh_metadata"])
    assert excinfo.value is module.ERROR
    last = traceback.extract_tb(excinfo.tb)[-1]
    assert (last.name, last.filename) == ("__quarn_metadata__", module.__file__)


FUTURE = "from __future__ import annotations\n"


@pytest.mark.parametrize(
    ("header", "annotation", "expected"),
    [
        ("", "", None),
        ("", " -> None", "None"),
        ("", " -> dict[str, int]", "dict[str, int]"),
        ("", " -> Holder.Inner", "Inner"),
        ("", ' -> "Later"', "Later"),
        ("", " -> 3", "3"),
        (FUTURE, "", None),
        (FUTURE, " -> dict[str, int]", "dict[str, int]"),
        (FUTURE, " -> Holder.Inner", "Holder.Inner"),
    ],
)
def test_return_type(modules, header, annotation, expected):
    source = header + "class Holder:\n    class Inner:\n        pass\n"
    modules.write("ql_returns", source + imitation("target", annotation=annotation))
    (entry,) = assets(inspect_modules(["ql_returns"]))
    assert entry["return_type"] == expected


def test_imitations_and_what_is_not_an_asset(modules):
    not_assets = ["'Asset'", "'asset '", "b'asset'", "1"]
    modules.write(
        "qm_imitations",
        "from quarn import AssetWrapper, Partitions, asset, inspect_modules, partitions\n"
        "class Marker(str):\n    pass\n"
        "def original(x: int) -> str:\n    return str(x)\n"
        + imitation("listed", metadata="[1, 'a', None]")
        + imitation("subclassed", kind="Marker('asset')")
        + imitation("wrapper")
        + "wrapper.__quarn_original__ = original\n"
        + "".join(imitation(f"not_{i}", kind=kind) for i, kind in enumerate(not_assets)),
    )
    listed, subclassed, wrapped = assets(inspect_modules(["qm_imitations"]))
    # Without __quarn_original__ the candidate itself is described.
    assert (listed["function_name"], subclassed["function_name"]) == ("listed", "subclassed")
    assert listed["decorator_metadata"] == [1, "a", None]
    assert wrapped["function_name"] == "original"
    assert wrapped["function_source"] == "def original(x: int) -> str:\n    return str(x)\n"
    assert wrapped["return_type"] == "str"


# Failures that discovery discards, and PanicException, which it never discards. At each
# point `fail(point)` raises; when it raises a ValueError, the call goes on and finds the
# entries given here as (function_name, whether file_path is set).
DISCARD_POINTS = {
    "import": ("fail('import')\n", []),
    "kind": ("class F:\n    __quarn_kind__ = property(lambda self: fail('kind'))\nf = F()\n", []),
    "sourcefile": (imitation("raw"), [("raw", False)]),
}


def _patch_getsourcefile(monkeypatch, result):
    """Discovery's own getsourcefile calls `result()`; inspect's internal calls still work."""
    real = inspect.getsourcefile

    def patched(obj):
        if sys._getframe(1).f_globals.get("__name__") == "inspect":
            return real(obj)
        return result()

    monkeypatch.setattr(inspect, "getsourcefile", patched)


def _fail_at(modules, monkeypatch, point, error):
    def fail(message):
        raise error(message)

    monkeypatch.setitem(sys.modules, "qo_raiser", types.SimpleNamespace(fail=fail))
    modules.write(f"qo_{point}", "from qo_raiser import fail\n" + DISCARD_POINTS[point][0])
    if point == "sourcefile":
        _patch_getsourcefile(monkeypatch, lambda: fail(point))
    return f"qo_{point}"


@pytest.mark.parametrize("point", DISCARD_POINTS)
def test_ordinary_failures_are_discarded(modules, monkeypatch, capfd, point):
    name = _fail_at(modules, monkeypatch, point, ValueError)
    entries = assets(inspect_modules([name]))
    assert [(e["function_name"], e["file_path"] != "") for e in entries] == DISCARD_POINTS[point][1]
    assert capfd.readouterr().err == (
        skip_line(name, "ValueError: import") if point == "import" else ""
    )


@pytest.mark.parametrize("point", DISCARD_POINTS)
def test_panic_is_never_discarded(modules, monkeypatch, capfd, panic_type, point):
    name = _fail_at(modules, monkeypatch, point, panic_type)
    with pytest.raises(panic_type, match=f"^{point}$"):
        inspect_modules([name])
    assert "quarn: skipping" not in capfd.readouterr().err


# Failures that end the call: the host's own exception, as the same host call raises it.
HOST_FAILURES = {  # module name: its source, the failing host call (a built-in: see the CLI)
    "qv_nosig": (
        "class Candidate:\n    __quarn_kind__ = 'asset'\n    __quarn_metadata__ = {}\n"
        "    __signature__ = 'not a signature'\n",
        lambda module: inspect.signature(module.Candidate),
    ),
    "qv_object": (
        imitation("raw", metadata="{'when': object()}"),
        lambda module: json.dumps(module.raw.__quarn_metadata__),
    ),
    # getsourcefile gives None: pathlib.Path refuses it.
    "qv_nofile": (imitation("raw"), lambda module: Path(None)),
}


@pytest.mark.parametrize("name", HOST_FAILURES)
def test_the_call_fails_as_the_host_call_does(modules, monkeypatch, capfd, name):
    source, host_call = HOST_FAILURES[name]
    module = modules.load(name, source)
    if name == "qv_nofile":
        _patch_getsourcefile(monkeypatch, lambda: None)
    with pytest.raises((TypeError, ValueError)) as expected:
        host_call(module)
    with pytest.raises(expected.type) as excinfo:
        inspect_modules([name])
    assert str(excinfo.value) == str(expected.value)
    assert capfd.readouterr().err == ""


def test_non_finite_metadata_is_a_parse_error(modules):
    modules.write("qv_nan", imitation("raw", metadata="{'x': [1, float('nan')]}"))
    column = json.dumps({"x": [1, float("nan")]}).index("N") + 1
    with pytest.raises(RuntimeError) as excinfo:
        inspect_modules(["qv_nan"])
    assert str(excinfo.value) == f"JSON parse error: expected value at line 1 column {column}"
