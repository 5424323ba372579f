"""Values through whole runs: each serializer's value reaches its downstream as the same
kind of object and reads back with quarn.load; what cannot be stored or read is said so."""

from __future__ import annotations

import importlib
import sys

import numpy as np
import pandas as pd
import pytest
from run_support import Pipeline, statuses, summary_rows

import quarn

# Every serializer, a fan-in over parquet partitions, an async and a generator asset, and
# two values JSON cannot hold, in one run. Each downstream reports what it received.
VALUES = """
import asyncio, datetime
import numpy as np
import pandas as pd

@asset(serializer="parquet")
def frame():
    return pd.DataFrame({"n": [1, 2, 3], "s": ["a", None, "c"]}, index=[7, 8, 9])

@asset(serializer="pickle", name="moments")
def stamped():
    return {"when": datetime.datetime(2026, 1, 5, 9, 30), "tags": {"x", "y"}}

@asset(serializer="numpy")
def grid():
    return np.arange(6.0).reshape(2, 3)

@asset()
def plain():
    return {"n": [1, 2.5, None], "text": "caf\\u00e9"}

@asset(inputs={"f": frame, "m": stamped, "g": grid, "p": plain})
def received(f, m, g, p):
    return {"f": [type(f).__name__, f.index.tolist(), int(f["n"].sum())],
            "m": [m["when"].isoformat(), sorted(m["tags"])],
            "g": [type(g).__name__, g.shape[0], float(g.sum())],
            "p": p}

@asset(serializer="parquet", partitions={"day": partitions(["mon", "tue", "wed"])})
def daily(day):
    return pd.DataFrame({"day": [day] * 2, "v": [len(day), 1]})

@asset(serializer="parquet", inputs={"days": daily})
def week(days):
    assert type(days).__name__ == "FanIn" and list(days) == ['"mon"', '"tue"', '"wed"']
    return pd.concat([days[m] for m in days], ignore_index=True)

@asset()
async def fetched():
    await asyncio.sleep(0)
    return {"fetched": True}

@asset()
def counted():
    yield from range(3)

@asset(inputs={"a": fetched, "c": counted})
def both(a, c):
    return [a, c]

@asset()
def unstorable():
    return pd.DataFrame({"n": [1]})
"""


@pytest.fixture(scope="module")
def pipe(tmp_path_factory) -> Pipeline:
    pipe = Pipeline(tmp_path_factory.mktemp("values"))
    pipe.write("vals", VALUES)
    pipe.ran = pipe.run("vals")  # type: ignore[attr-defined]
    sys.path.insert(0, str(pipe.mods))
    try:
        yield pipe
    finally:
        sys.path.remove(str(pipe.mods))
        sys.modules.pop("vals", None)


def test_each_downstream_receives_the_kind_of_object_its_upstream_returned(pipe):
    assert statuses(pipe.ran.stdout)[("received", "-")] == "succeeded", pipe.ran.stdout
    assert quarn.load("received", out=pipe.out) == {
        "f": ["DataFrame", [7, 8, 9], 6],
        "m": ["2026-01-05T09:30:00", ["x", "y"]],
        "g": ["memmap", 2, 15.0],
        "p": {"n": [1, 2.5, None], "text": "café"},
    }
    assert quarn.load("both", out=pipe.out) == [{"fetched": True}, [0, 1, 2]]


@pytest.mark.parametrize("how", ["wrapper", "display name", "module:function"])
def test_load_returns_what_each_asset_returned(pipe, how):
    vals = importlib.import_module("vals")
    for wrapper, display in [(vals.frame, "frame"), (vals.stamped, "moments"),
                             (vals.grid, "grid"), (vals.plain, "plain")]:  # fmt: skip
        named = {"wrapper": wrapper, "display name": display,
                 "module:function": f"vals:{wrapper.__name__}"}[how]  # fmt: skip
        stored = quarn.load(named, out=pipe.out)
        expected = wrapper.__quarn_original__()
        if isinstance(expected, pd.DataFrame):
            pd.testing.assert_frame_equal(stored, expected)
        elif isinstance(expected, np.ndarray):
            np.testing.assert_array_equal(stored, expected)
        else:
            assert stored == expected


def test_partitions_read_back_one_by_one_or_all_in_declared_order(pipe):
    vals = importlib.import_module("vals")
    every = quarn.load_all(vals.daily, out=pipe.out)
    assert [key for key, _ in every] == [{"day": "mon"}, {"day": "tue"}, {"day": "wed"}]
    for key, value in every:
        pd.testing.assert_frame_equal(value, vals.daily.__quarn_original__(**key))
    tue = quarn.load("daily", out=pipe.out, partition={"day": "tue"})
    pd.testing.assert_frame_equal(tue, every[1][1])
    week = quarn.load(vals.week, out=pipe.out)
    assert week["day"].tolist() == ["mon", "mon", "tue", "tue", "wed", "wed"]
    with pytest.raises(ValueError, match="partitioned by day: pass partition="):
        quarn.load(vals.daily, out=pipe.out)
    with pytest.raises(LookupError, match=r"asset 'daily' \[day=\"sun\"\] never ran"):
        quarn.load(vals.daily, out=pipe.out, partition={"day": "sun"})


def test_a_value_that_cannot_be_stored_says_what_to_declare(pipe):
    errors = {row[0]: row[4] for row in summary_rows(pipe.ran.stdout) if len(row) > 4}
    assert errors["unstorable"].startswith("StorageError: the value of type DataFrame cannot")
    assert pipe.ran.returncode == 1
    with pytest.raises(LookupError, match="asset 'unstorable' has no stored value"):
        quarn.load("unstorable", out=pipe.out)
    with pytest.raises(LookupError, match="asset 'frames' never ran into .*did you mean 'frame'"):
        quarn.load("frames", out=pipe.out)


# The project's registrations reach the check from whichever process imported the modules.
@pytest.mark.parametrize(
    "command",
    [("run", "--isolation", mode) for mode in ("fork", "spawn", "none")] + [("check",)],
)  # fmt: skip
def test_unknown_serializers_and_missing_libraries_stop_the_run_first(tmp_path, command):
    pipe = Pipeline(tmp_path)
    pipe.write("custom", """
        import quarn
        quarn.register_serializer("geo", suffix="geo", dump=print, load=print,
                                  requires=["no_such_module_q"], extra="quarn-geo")
        quarn.register_serializer("shout", suffix="txt", dump=print, load=print)
    """)  # fmt: skip
    pipe.write("declared", """
        import custom
        @asset(serializer="parqet")
        def typo():
            return 1
        @asset(serializer="geo")
        def mapped():
            return 1
        @asset(serializer="shout")
        def loud():
            return 1
    """)  # fmt: skip
    done = pipe.quarn(*command, "declared", "--path", str(pipe.mods))
    assert done.returncode == 1
    printed = done.stdout if command == ("check",) else done.stderr
    lines = [line.split(": error: ")[1] for line in printed.splitlines() if "'" in line]
    assert sorted(lines) == [
        "asset 'mapped': serializer 'geo' needs no_such_module_q, which is not installed; "
        'install it with: pip install "quarn-geo"',
        "asset 'typo': serializer 'parqet' is not known; did you mean 'parquet'? known "
        "serializers: arrow, auto, geo, json, numpy, parquet, pickle, shout (a project adds its "
        "own with quarn.register_serializer)",
    ]
    assert not pipe.out.joinpath("loud").exists()
