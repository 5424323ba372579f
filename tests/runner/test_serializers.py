"""Serializers on their own: every built-in's round trip, what each refuses and why, and the
two ways a project registers its own."""

from __future__ import annotations

import datetime
import sys
import textwrap
from pathlib import Path

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest

from quarn.runner.store import serializers
from quarn.runner.store.serializers import StorageError


@pytest.fixture(autouse=True)
def _private_registry(monkeypatch):
    """Registrations made by a test end with it."""
    monkeypatch.setattr(serializers, "_registered", dict(serializers._registered))


def round_trip(name: str, value, tmp_path: Path):
    serializer = serializers.get(name)
    path = str(tmp_path / serializer.file_name)
    serializer.dump(value, path)
    return serializer.load(path)


def _frame() -> pd.DataFrame:
    frame = pd.DataFrame(
        {"n": [1, 2, 3], "x": [0.5, float("nan"), 2.0], "s": ["a", None, "c"],
         "t": pd.to_datetime(["2026-01-05", "2026-01-06", None]),
         "c": pd.Categorical(["u", "v", "u"])},
        index=pd.Index([10, 20, 30], name="id"),
    )  # fmt: skip
    frame.attrs = {"source": "test"}
    return frame


def _same(a, b) -> bool:
    if isinstance(a, pd.DataFrame):
        return a.equals(b) and a.dtypes.equals(b.dtypes) and a.attrs == b.attrs
    if isinstance(a, pl.DataFrame | pa.Table):
        return a.equals(b) and a.schema == b.schema
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a, b)
    return a == b and type(a) is type(b)


LOOP: list = []
LOOP.append({"again": LOOP})
POLARS = pl.DataFrame({"k": ["a", "b"], "v": [1.5, None]})
TABLE = pa.table({"k": ["a", "b"], "v": pa.array([1, None], pa.int32())})


@pytest.mark.parametrize(
    "name, value",
    [
        ("json", {"text": "caf\u00e9", "list": [1, 2.5, None, True], "nested": {"a": []}}),
        ("pickle", {"when": datetime.datetime(2026, 1, 5, 9, 30), "tags": {"a", "b"}, 1: (2,)}),
        ("parquet", _frame()),
        ("parquet", POLARS),
        ("parquet", TABLE),
        ("arrow", _frame()),
        ("arrow", POLARS),
        ("arrow", TABLE),
        ("numpy", np.arange(12, dtype=np.int16).reshape(3, 4)),
        ("numpy", np.zeros((0, 3))),
        ("numpy", np.array(2.5)),
        ("numpy", np.array(["ab", "c"])),
    ],
    ids=lambda v: v if isinstance(v, str) else type(v).__module__.split(".")[0],
)
def test_each_value_comes_back_as_the_same_kind(name, value, tmp_path):
    back = round_trip(name, value, tmp_path)
    assert _same(value, back)


def test_mapped_numpy_arrays_are_read_only(tmp_path):
    back = round_trip("numpy", np.ones(4), tmp_path)
    assert isinstance(back, np.memmap)
    with pytest.raises(ValueError, match="read-only"):
        back[0] = 2


@pytest.mark.parametrize(
    "name, value, expected",
    [
        ("json", _frame(), 'type DataFrame cannot be stored as JSON; declare serializer="parquet"'),
        ("json", np.ones(2), 'type ndarray cannot be stored as JSON; declare serializer="numpy"'),
        ("json", {1: 0, "n": {(2, 2): 0}}, "key 1 (int) in value and the key (2, 2) (tuple) in"),
        ("json", [{(1, 2): 3}], "the key (1, 2) (tuple) in value[0] would not come back"),
        ("json", {"when": [datetime.date(2026, 1, 5)]}, "value['when'][0] is of type date"),
        ("json", {"s": {1}}, "value['s'] is of type set; declare serializer=\"pickle\""),
        ("json", LOOP, "contains itself"),  # an error, not a hang
        ("pickle", [lambda: 1], "type list cannot be stored as pickle"),
        ("parquet", [1, 2], "parquet stores pandas and polars DataFrames and pyarrow Tables"),
        ("arrow", pd.Series([1]), "type Series cannot be stored as arrow"),
        ("parquet", pd.DataFrame({"o": [1, "a"]}), "column o with type object'); declare"),
        ("numpy", [1.0], "numpy stores numpy arrays"),
        ("numpy", np.array([object()]), "its dtype object holds Python objects"),
    ],
)
def test_a_value_its_serializer_cannot_hold_is_refused_with_the_way_out(
    name, value, expected, tmp_path
):
    with pytest.raises(StorageError) as caught:
        round_trip(name, value, tmp_path)
    assert expected in str(caught.value)


def test_a_registered_serializer_is_used_and_the_built_ins_are_kept(tmp_path):
    def dump(value, path):
        Path(path).write_text(value.upper(), encoding="utf-8")

    def load(path):
        return Path(path).read_text(encoding="utf-8").lower()

    serializers.register_serializer("shout", suffix="txt", dump=dump, load=load)
    assert round_trip("shout", "hello", tmp_path) == "hello"
    assert (tmp_path / "value.txt").read_text() == "HELLO"
    assert "shout" in serializers.known_names()
    with pytest.raises(ValueError, match="built in"):
        serializers.register_serializer("json", suffix="j", dump=dump, load=load)
    with pytest.raises(ValueError, match="file suffix"):
        serializers.register_serializer("odd", suffix="a/b", dump=dump, load=load)


def test_an_entry_point_provides_a_serializer_loaded_on_first_use(tmp_path, monkeypatch):
    package = tmp_path / "quarn_extra_sz.py"
    package.write_text(
        textwrap.dedent(
            """
            from quarn import Serializer
            def dump(value, path):
                open(path, "w").write(repr(value))
            def load(path):
                return eval(open(path).read())
            serializer = Serializer("reprs", "repr", dump, load)
            wrong = Serializer("other", "x", dump, load)
            """
        )
    )
    info = tmp_path / "quarn_extra_sz-1.0.dist-info"
    info.mkdir()
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: quarn-extra-sz\nVersion: 1.0\n")
    (info / "entry_points.txt").write_text(
        "[quarn.serializers]\nreprs = quarn_extra_sz:serializer\nmisnamed = quarn_extra_sz:wrong\n"
    )
    monkeypatch.syspath_prepend(str(tmp_path))
    try:
        assert {"reprs", "misnamed"} <= set(serializers.known_names())
        assert round_trip("reprs", (1, "a"), tmp_path) == (1, "a")
        with pytest.raises(LookupError, match="must name a quarn Serializer called 'misnamed'"):
            serializers.get("misnamed")
    finally:
        sys.modules.pop("quarn_extra_sz", None)


def test_a_fan_in_reads_a_member_only_when_asked_and_keeps_nothing(tmp_path):
    from quarn.runner.job.fan_in import FanIn

    json_ = serializers.get("json")
    (tmp_path / "a.json").write_text("[1]")
    source = {"dir": str(tmp_path), "serializer": None}
    fan_in = FanIn(
        {
            '"a"': (json_, str(tmp_path / "a.json"), source),
            '"b"': (json_, str(tmp_path / "b"), source),
        }
    )
    assert list(fan_in) == ['"a"', '"b"'] and len(fan_in) == 2 and '"b"' in fan_in
    assert fan_in['"a"'] == [1] and fan_in['"a"'] is not fan_in['"a"']
    with pytest.raises(StorageError, match="is missing"):
        fan_in['"b"']


@pytest.mark.parametrize(
    "value, stored_as",
    [
        (_frame(), "parquet"),
        (POLARS, "parquet"),
        (TABLE, "parquet"),
        (pd.DataFrame({"o": [1, "a"]}), "pickle"),  # a column Arrow cannot type
        (np.arange(6.0).reshape(2, 3), "numpy"),
        (np.array([{"a": 1}], dtype=object), "pickle"),
        (3, "json"),
        ({"a": [1, 2.5, None, True, "x"], "b": {}}, "json"),
        ((1, 2), "pickle"),  # JSON would give back a list
        ({1: "one"}, "pickle"),  # JSON would give back the key "1"
        ([{"k": (1,)}], "pickle"),
        (datetime.date(2026, 1, 5), "pickle"),
        (LOOP, "pickle"),  # JSON's types, but JSON refuses it: pickled, not a hang
    ],
    ids=lambda v: v if isinstance(v, str) else type(v).__name__,
)
def test_auto_stores_each_value_by_what_it_is_and_gives_it_back(value, stored_as, tmp_path):
    from quarn.runner.job import values

    stage = tmp_path / "stage"
    stage.mkdir()
    spec = {"serializer": "auto", "stage_dir": str(stage), "job_dir": "out/a/_",
            "function": "a", "module": "m"}  # fmt: skip
    record = values.store(value, spec)  # type: ignore[arg-type]
    serializer = serializers.get(stored_as)
    assert record["artifact_format"] == stored_as
    assert record["value_path"] == f"out/a/_/{serializer.file_name}"
    assert [p.name for p in stage.iterdir()] == [serializer.file_name]  # nothing half-written
    back = serializers.read_value(serializer, str(stage / serializer.file_name))
    assert back[0]["again"] is back if value is LOOP else _same(value, back)
