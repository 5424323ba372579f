"""inspect_modules: argument conversion, discovery order, skip lines, failures and the document."""

from __future__ import annotations

import importlib
import inspect
import io
import json
import os
import sys
import types
from pathlib import Path

import pytest
from discovery_model import VERSION, compact, write_exact

from quarn import inspect_modules

EMPTY = '{"assets":[]}'


def imitation(name: str, metadata: str = "{}", annotation: str = "") -> str:
    """Source of a plain function marked as an asset by hand."""
    return (
        f"def {name}(){annotation}:\n"
        f"    return 1\n"
        f"{name}.__quarn_kind__ = 'asset'\n"
        f"{name}.__quarn_metadata__ = {metadata}\n"
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


# --- argument conversion ---


def _generator():
    yield "x"


@pytest.mark.parametrize(
    ("argument", "message"),
    [
        ("pipeline", "argument 'modules': Can't extract `str` to `Vec`"),
        (5, "argument 'modules': 'int' object cannot be converted to 'Sequence'"),
        ({"a"}, "argument 'modules': 'set' object cannot be converted to 'Sequence'"),
        ({"a": 1}, "argument 'modules': 'dict' object cannot be converted to 'Sequence'"),
        (_generator(), "argument 'modules': 'generator' object cannot be converted to 'Sequence'"),
        (["a", 1], "argument 'modules': 'int' object cannot be converted to 'PyString'"),
        (b"ab", "argument 'modules': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_modules_conversion_messages(argument, message):
    with pytest.raises(TypeError) as excinfo:
        inspect_modules(argument)
    assert str(excinfo.value) == message
    assert type(excinfo.value) is TypeError


def test_conversion_precedes_any_import(fd2):
    with pytest.raises(TypeError):
        inspect_modules(["quarn_missing_before_bad_item", 1])
    assert fd2.stop() == ""


@pytest.mark.parametrize("argument", [[], (), ("quarn_never_there",)])
def test_any_sequence_of_str_is_accepted(argument, fd2):
    assert inspect_modules(modules=argument) == EMPTY
    assert fd2.stop() == "".join(skip_line(n, import_failure(n)) for n in argument)


def test_empty_list_gives_the_13_character_document(fd2):
    document = inspect_modules([])
    assert (document, len(document)) == (EMPTY, 13)
    assert fd2.stop() == ""


# --- order of the entries ---


def _pairs(document: str) -> list[tuple[str, str]]:
    return [(entry["module_path"], entry["function_name"]) for entry in assets(document)]


def test_entries_follow_module_names_then_sorted_member_names(modules, fd2):
    modules.write("qa_first", imitation("zeta") + imitation("alpha") + imitation("Mid"))
    modules.write("qa_second", imitation("beta"))
    document = inspect_modules(["qa_second", "qa_missing", "qa_first"])
    assert _pairs(document) == [
        ("qa_second", "beta"),
        ("qa_first", "Mid"),
        ("qa_first", "alpha"),
        ("qa_first", "zeta"),
    ]
    assert fd2.stop() == skip_line("qa_missing", import_failure("qa_missing"))


def test_duplicates_are_kept(modules):
    modules.write("qb_twice", imitation("one") + "other_name = one\n")
    entries = assets(inspect_modules(["qb_twice", "qb_twice"]))
    assert len(entries) == 4
    # Bound under two names: two identical entries, and the names never appear.
    assert all(entry == entries[0] for entry in entries)
    assert entries[0]["function_name"] == "one"


def test_imported_asset_is_described_in_every_module_that_holds_it(modules):
    source_path = modules.write("qc_origin", imitation("raw"))
    importer = "from qc_origin import raw\nLOCAL = 1\n"
    modules.write("qc_importer", importer)
    entries = assets(inspect_modules(["qc_origin", "qc_importer"]))
    assert [entry["module_path"] for entry in entries] == ["qc_origin", "qc_importer"]
    assert entries[1]["module_source"] == importer
    for entry in entries:
        assert entry["file_path"] == str(source_path.resolve())
        assert entry["function_name"] == "raw"
        assert entry["function_source"] == "def raw():\n    return 1\n"


def test_module_path_is_the_name_of_the_module_returned(modules):
    modules.write("qd_real", imitation("raw"))
    modules.write("qd_alias", "import sys, qd_real\nsys.modules[__name__] = qd_real\n")
    assert _pairs(inspect_modules(["qd_alias"])) == [("qd_real", "raw")]


# --- skip lines on file descriptor 2 ---

SKIPPED_MODULES = {
    "qe_raises": "class Outer:\n    class Failure(Exception):\n        pass\n"
    "raise Outer.Failure('bad thing')\n",
    "qe_syntax": "def broken(:\n",
    "qe_unprintable": "class Unprintable(Exception):\n    def __str__(self):\n"
    "        raise ValueError('no text')\nraise Unprintable()\n",
    "qe_surrogate": "raise ValueError('a\\ud800b')\n",
    "qe_exits": "raise SystemExit(3)\n",
}


@pytest.mark.parametrize(
    ("name", "reason"),
    [
        ("qe_raises", "Outer.Failure: bad thing"),
        ("qe_syntax", None),
        ("qe_unprintable", "Unprintable: <exception str() failed>"),
        ("qe_surrogate", "ValueError: a\ufffd\ufffd\ufffdb"),
        ("qe_exits", "SystemExit: 3"),
        ("qe_not_there", None),
        ("qe_caf\u00e9", None),
        (".x", None),
    ],
)
def test_skip_line_text(modules, fd2, monkeypatch, name, reason):
    # Not capsys: enabling it makes pytest re-point fd 2 at its own capture file.
    monkeypatch.setattr(sys, "stderr", io.StringIO())
    if name in SKIPPED_MODULES:
        modules.write(name, SKIPPED_MODULES[name])
    if reason is None:
        reason = import_failure(name)
    assert inspect_modules([name]) == EMPTY
    assert fd2.stop() == skip_line(name, reason)
    assert sys.stderr.getvalue() == ""  # not through sys.stderr


def test_closed_fd2_drops_the_line_silently():
    saved = os.dup(2)
    os.close(2)
    try:
        document = inspect_modules(["qf_missing"])
    finally:
        os.dup2(saved, 2)
        os.close(saved)
    assert document == EMPTY


def _fail_printing():
    """Runs a skip with fd 2 on /dev/full; returns what the call raised."""
    full = os.open("/dev/full", os.O_WRONLY)
    saved = os.dup(2)
    os.dup2(full, 2)
    try:
        inspect_modules(["qf_missing_on_full"])
    except BaseException as error:  # noqa: BLE001 - PanicException is a BaseException
        return error
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(full)
    raise AssertionError("the write to /dev/full succeeded")


needs_dev_full = pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full")


@needs_dev_full
def test_failed_write_is_a_panic():
    error = _fail_printing()
    assert type(error).__name__ == "PanicException"
    assert not isinstance(error, Exception)
    assert str(error) == "failed printing to stderr: " + os.strerror(28)  # ENOSPC


# --- the whole call fails ---


def test_importable_module_without_source_fails_the_call(fd2):
    with pytest.raises(TypeError) as excinfo:
        inspect_modules(["sys"])
    with pytest.raises(TypeError) as expected:
        inspect.getsource(sys)
    assert str(excinfo.value) == str(expected.value)
    assert fd2.stop() == ""


def test_module_whose_file_is_gone_fails_the_call(modules):
    path = modules.write("qg_gone", "X = 1\n")
    importlib.import_module("qg_gone")
    path.unlink()
    import linecache

    linecache.checkcache()
    with pytest.raises(OSError):
        inspect_modules(["qg_gone"])


def test_failing_metadata_propagates_the_same_exception(modules):
    module = modules.load(
        "qh_metadata",
        """
        ERROR = LookupError("metadata unavailable")

        class Imitation:
            @property
            def __quarn_kind__(self):
                return "asset"

            @property
            def __quarn_metadata__(self):
                raise ERROR

        thing = Imitation()
        """,
    )
    with pytest.raises(LookupError) as excinfo:
        inspect_modules(["qh_metadata"])
    assert excinfo.value is module.ERROR
    frame = excinfo.value.__traceback__
    while frame.tb_next is not None:
        frame = frame.tb_next
    assert frame.tb_frame.f_code.co_name == "__quarn_metadata__"
    assert frame.tb_frame.f_code.co_filename == module.__file__


@pytest.mark.parametrize(
    ("metadata", "needle"),
    [({"a": float("nan")}, "NaN"), ({"x": [1, float("inf")]}, "Infinity")],
)
def test_non_finite_metadata_is_a_parse_error(modules, metadata, needle):
    module = modules.load("qi_nan", imitation("raw"))
    module.raw.__quarn_metadata__ = metadata
    column = json.dumps(metadata).index(needle) + 1
    with pytest.raises(RuntimeError) as excinfo:
        inspect_modules(["qi_nan"])
    assert str(excinfo.value) == f"JSON parse error: expected value at line 1 column {column}"


def test_unencodable_metadata_propagates_the_hosts_type_error(modules):
    module = modules.load("qi_object", imitation("raw"))
    module.raw.__quarn_metadata__ = {"when": object()}
    with pytest.raises(TypeError, match="is not JSON serializable"):
        inspect_modules(["qi_object"])


# --- the document, byte for byte ---

TINY = (
    "\n\n"
    "# Prices in \u20ac.\n"
    "def zeta():\n"
    '    return "z"\n'
    "\n\n"
    "def alpha() -> list:\n"
    '    return ["a\tb", "\u00e9"]\n'
    "\n\n"
    'alpha.__quarn_kind__ = zeta.__quarn_kind__ = "asset"\n'
    'alpha.__quarn_metadata__ = {"kind": "asset", "name": "r\u00e9",\n'
    '    "inputs": {"b": "x:b", "a": "x:a", "B": "x:B", "_": "x:_"}}\n'
    'zeta.__quarn_metadata__ = {"note": "quote \\" back \\\\ ctl \\x1f", "n": [1, None, True]}\n'
    "   \n\t\n"
)


def test_small_module_document_is_byte_exact(modules):
    path = write_exact(modules, "qj_tiny", TINY)
    common = {
        "file_path": str(path.resolve()),
        "kind": "asset",
        "module_path": "qj_tiny",
        "module_source": TINY.strip() + "\n",
        "python_version": VERSION,
    }
    alpha = common | {
        "decorator_metadata": {
            "kind": "asset",
            "name": "r\u00e9",
            "inputs": {"b": "x:b", "a": "x:a", "B": "x:B", "_": "x:_"},
        },
        "function_name": "alpha",
        "function_source": 'def alpha() -> list:\n    return ["a\tb", "\u00e9"]\n',
        "return_type": "list",
    }
    zeta = common | {
        "decorator_metadata": {"note": 'quote " back \\ ctl \x1f', "n": [1, None, True]},
        "function_name": "zeta",
        "function_source": 'def zeta():\n    return "z"\n',
        "return_type": None,
    }
    document = inspect_modules(["qj_tiny"])
    assert document == compact({"assets": [alpha, zeta]})
    assert "\n" not in document and "\\t" in document and "\u00e9" in document


def test_sources_are_dedented_and_end_in_one_line_feed(modules):
    path = modules.write(
        "qk_nested",
        """
        if True:
            def inner() -> int:
                  return 2   \n\n\n
            inner.__quarn_kind__ = "asset"
            inner.__quarn_metadata__ = {}
        """,
    )
    (entry,) = assets(inspect_modules(["qk_nested"]))
    assert entry["function_source"] == "def inner() -> int:\n      return 2\n"
    assert entry["module_source"] == path.read_text(encoding="utf-8").strip() + "\n"


# --- return types ---

FUTURE = "from __future__ import annotations\n"


@pytest.mark.parametrize(
    ("header", "annotation", "expected"),
    [
        ("", "", None),
        ("", " -> None", "None"),
        ("", " -> dict", "dict"),
        ("", " -> dict[str, int]", "dict[str, int]"),
        ("", " -> Holder.Inner", "Inner"),
        ("", ' -> "Later"', "Later"),
        ("", " -> 3", "3"),
        (FUTURE, "", None),
        (FUTURE, " -> None", "None"),
        (FUTURE, " -> dict", "dict"),
        (FUTURE, " -> dict[str, int]", "dict[str, int]"),
        (FUTURE, " -> Holder.Inner", "Holder.Inner"),
    ],
)
def test_return_type(modules, header, annotation, expected):
    source = header + "class Holder:\n    class Inner:\n        pass\n"
    modules.write("ql_returns", source + imitation("target", annotation=annotation))
    (entry,) = assets(inspect_modules(["ql_returns"]))
    assert entry["return_type"] == expected


def test_target_without_signature_fails_the_call(modules):
    module = modules.load(
        "ql_nosig",
        """
        class Candidate:
            __quarn_kind__ = "asset"
            __quarn_metadata__ = {}
            __signature__ = "not a signature"
        """,
    )
    with pytest.raises((TypeError, ValueError)) as expected:
        inspect.signature(module.Candidate)
    with pytest.raises(expected.type) as excinfo:
        inspect_modules(["ql_nosig"])
    assert str(excinfo.value) == str(expected.value)


# --- what counts as an asset ---


def test_imitations(modules):
    modules.write(
        "qm_imitations",
        """
        from quarn import AssetWrapper, Partitions, asset, inspect_modules, partitions

        class Marker(str):
            pass

        def listed():
            return 1
        listed.__quarn_kind__ = "asset"
        listed.__quarn_metadata__ = [1, "a", None]

        def subclassed():
            return 2
        subclassed.__quarn_kind__ = Marker("asset")
        subclassed.__quarn_metadata__ = {}

        def capital():
            pass
        capital.__quarn_kind__ = "Asset"

        def padded():
            pass
        padded.__quarn_kind__ = "asset "

        def raw_bytes():
            pass
        raw_bytes.__quarn_kind__ = b"asset"

        def numbered():
            pass
        numbered.__quarn_kind__ = 1

        class Failing:
            @property
            def __quarn_kind__(self):
                raise ValueError("not today")

        failing = Failing()
        """,
    )
    entries = assets(inspect_modules(["qm_imitations"]))
    assert [entry["function_name"] for entry in entries] == ["listed", "subclassed"]
    assert entries[0]["decorator_metadata"] == [1, "a", None]


def test_target_is_the_original_when_there_is_one(modules):
    module = modules.load(
        "qn_wrapped",
        """
        def original(x: int) -> str:
            return str(x)

        def wrapper(*args):
            return original(*args)
        wrapper.__quarn_kind__ = "asset"
        wrapper.__quarn_metadata__ = {"kind": "asset"}
        wrapper.__quarn_original__ = original
        """,
    )
    (entry,) = assets(inspect_modules(["qn_wrapped"]))
    assert entry["function_name"] == "original"
    assert entry["function_source"] == inspect.getsource(module.original)
    assert entry["return_type"] == "str"


# --- failures that are discarded, and PanicException, which never is ---

RAISER = "quarn_test_raiser"

DISCARD_POINTS = {
    "import": "from quarn_test_raiser import make\nraise make('at import')\n",
    "kind": """
        from quarn_test_raiser import make

        class Failing:
            @property
            def __quarn_kind__(self):
                raise make("reading the kind")

        failing = Failing()
        """,
    "original": """
        from quarn_test_raiser import make

        class Meta(type):
            @property
            def __quarn_original__(cls):
                raise make("reading the original")

        class Candidate(metaclass=Meta):
            __quarn_kind__ = "asset"
            __quarn_metadata__ = {}
        """,
    "sourcefile": imitation("raw"),
}


def _patch_getsourcefile(monkeypatch, make):
    """getsourcefile raises for discovery's own call; inspect's internal calls still work."""
    real = inspect.getsourcefile

    def patched(obj):
        if sys._getframe(1).f_globals.get("__name__") == "inspect":
            return real(obj)
        raise make("finding the file")

    monkeypatch.setattr(inspect, "getsourcefile", patched)


def _raise_in_discovery(modules, monkeypatch, point, make):
    monkeypatch.setitem(sys.modules, RAISER, types.SimpleNamespace(make=make))
    name = f"qo_{point}"
    modules.write(name, DISCARD_POINTS[point])
    if point == "sourcefile":
        _patch_getsourcefile(monkeypatch, make)
    return name


@pytest.mark.parametrize("point", DISCARD_POINTS)
def test_ordinary_failures_are_discarded(modules, monkeypatch, fd2, point):
    name = _raise_in_discovery(modules, monkeypatch, point, ValueError)
    entries = assets(inspect_modules([name]))
    written = fd2.stop()
    if point == "import":
        assert (entries, written) == ([], skip_line(name, "ValueError: at import"))
    elif point == "kind":
        assert (entries, written) == ([], "")
    elif point == "original":
        assert [e["function_name"] for e in entries] == ["Candidate"]
    else:
        assert [e["file_path"] for e in entries] == [""]


@pytest.fixture(scope="module")
def panic_type():
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full to provoke a PanicException")
    return type(_fail_printing())


@pytest.mark.parametrize("point", DISCARD_POINTS)
def test_panic_is_never_discarded(modules, monkeypatch, fd2, panic_type, point):
    name = _raise_in_discovery(modules, monkeypatch, point, panic_type)
    with pytest.raises(panic_type) as excinfo:
        inspect_modules([name])
    assert "quarn: skipping" not in fd2.stop()
    expected = {
        "import": "at import",
        "kind": "reading the kind",
        "original": "reading the original",
        "sourcefile": "finding the file",
    }
    assert str(excinfo.value) == expected[point]


def test_getsourcefile_none_fails_with_the_hosts_type_error(modules, monkeypatch):
    modules.write("qp_nofile", imitation("raw"))
    real = inspect.getsourcefile

    def patched(obj):
        if sys._getframe(1).f_globals.get("__name__") == "inspect":
            return real(obj)
        return None

    monkeypatch.setattr(inspect, "getsourcefile", patched)
    with pytest.raises(TypeError) as excinfo:
        inspect_modules(["qp_nofile"])
    with pytest.raises(TypeError) as expected:
        Path(None)  # type: ignore[arg-type]
    assert str(excinfo.value) == str(expected.value)


# --- the version text ---


def test_version_text_is_read_from_sys_at_call_time(modules, monkeypatch):
    modules.write("qq_version", imitation("raw"))
    monkeypatch.setattr(sys, "version_info", types.SimpleNamespace(major=3, minor=99, micro=7))
    (entry,) = assets(inspect_modules(["qq_version"]))
    assert entry["python_version"] == "3.99.7"
    monkeypatch.setattr(sys, "version_info", types.SimpleNamespace(major=3, minor=9, micro="7"))
    with pytest.raises(TypeError):
        inspect_modules([])


# --- what getmembers hands back ---


@pytest.mark.parametrize(
    ("members", "error", "message"),
    [
        ([("a", 1), ["b", 2]], TypeError, "'list' object cannot be converted to 'PyTuple'"),
        ([("only",)], IndexError, "tuple index out of range"),
    ],
)
def test_member_items_must_be_pairs_in_tuples(modules, monkeypatch, members, error, message):
    modules.write("qt_members", "X = 1\n")
    monkeypatch.setattr(inspect, "getmembers", lambda module: members)
    with pytest.raises(error) as excinfo:
        inspect_modules(["qt_members"])
    assert str(excinfo.value) == message


# --- references are given back on every path ---


def test_repeated_calls_keep_reference_counts(modules, fd2):
    module = modules.load(
        "qu_counts",
        """
        ERROR = LookupError("no metadata")

        def original() -> int:
            return 1

        def wrapper():
            return original()
        wrapper.__quarn_kind__ = "asset"
        wrapper.__quarn_metadata__ = {"kind": "asset"}
        wrapper.__quarn_original__ = original

        class Failing:
            @property
            def __quarn_kind__(self):
                return "asset"

            @property
            def __quarn_metadata__(self):
                raise ERROR
        """,
    )
    watched = [module, module.wrapper, module.original, module.ERROR, module.wrapper.__dict__]

    def counts():
        return [sys.getrefcount(obj) for obj in watched]

    def round_trip():
        inspect_modules(["qu_counts", "qu_counts_missing"])
        module.failing = module.Failing()
        with pytest.raises(LookupError):
            inspect_modules(["qu_counts"])
        del module.failing
        module.ERROR.__traceback__ = None

    round_trip()
    before = counts()
    for _ in range(50):
        round_trip()
    assert counts() == before
