"""Graph checks on real modules: the exact diagnostic lines of `quarn.run` and `inspect --check`."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest
from run_support import Pipeline

# Each case: a module body, then (function whose `def` line is reported, asset, message).
CASES = [
    pytest.param(
        """
        @asset(inputs={"data": "/nowhere/else.py:raw"})
        def orphan(data):
            return data
        """,
        [
            (
                "orphan",
                "orphan",
                "input 'data' refers to '/nowhere/else.py:raw', which is not a discovered asset",
            )
        ],
        id="unknown-reference",
    ),
    pytest.param(
        """
        import pathlib
        HERE = str(pathlib.Path(__file__).resolve())

        @asset(inputs={"v": HERE + ":b"})
        def a(v):
            return v

        @asset(inputs={"v": a})
        def b(v):
            return v

        @asset(inputs={"v": b})
        def c(v):
            return v
        """,
        [("a", "a", "dependency cycle: a -> b -> a")],
        id="cycle",
    ),
    pytest.param(
        """
        @asset()
        def up():
            return 1

        @asset(inputs={"value": up, "extra": up})
        async def down(value):
            return value
        """,
        [("down", "down", "input 'extra' is not a parameter of 'down'")],
        id="input-not-a-parameter",
    ),
    pytest.param(
        """
        @asset(partitions={"day": partitions([1])})
        def needs(day, missing, optional=3, *rest, **more):
            return day
        """,
        [
            (
                "needs",
                "needs",
                "required parameter 'missing' is neither an input nor a partition dimension",
            )
        ],
        id="required-parameter",
    ),
    pytest.param(
        """
        @asset(name="dup")
        def first():
            return 1

        @asset(name="dup")
        def second():
            return 2
        """,
        [("second", "dup", "another asset is also named 'dup' ({path}:{line_first})")],
        id="duplicate-name",
    ),
    pytest.param(
        """
        @asset(partitions={"day": partitions([])})
        def nothing(day):
            return day
        """,
        [("nothing", "nothing", "partition dimension 'day' is empty")],
        id="empty-dimension",
    ),
]


def def_line(path: Path, function: str) -> int:
    for number, line in enumerate(path.read_text().splitlines(), start=1):
        if line.lstrip().startswith((f"def {function}(", f"async def {function}(")):
            return number
    raise AssertionError(f"no def {function} in {path}")


def expected_lines(path: Path, problems) -> list[str]:
    resolved = path.resolve()
    lines = []
    for function, asset, message in problems:
        if "{line_first}" in message:
            message = message.format(path=resolved, line_first=def_line(path, "first"))
        lines.append(f"{resolved}:{def_line(path, function)}: error: asset '{asset}': {message}")
    return lines


@pytest.mark.parametrize(("body", "problems"), CASES)
def test_run_refuses_with_the_diagnostic(tmp_path, body, problems):
    pipe = Pipeline(tmp_path)
    path = pipe.write("graph", body)
    done = pipe.run("graph")
    assert done.returncode == 1
    expected = expected_lines(path, problems)
    assert done.stderr.splitlines() == [
        *expected,
        f"python -m quarn.run: error: {len(expected)} problem"
        f"{'' if len(expected) == 1 else 's'} in the asset graph; nothing was run",
    ]
    assert not pipe.out.exists()


@pytest.mark.parametrize(("body", "problems"), CASES)
def test_inspect_check_prints_the_diagnostic(tmp_path, body, problems):
    pipe = Pipeline(tmp_path)
    path = pipe.write("graph", body)
    done = subprocess.run(
        [sys.executable, "-m", "quarn.inspect", "--check", "--path", str(pipe.mods), "graph"],
        capture_output=True, text=True, cwd=tmp_path, timeout=60,
    )  # fmt: skip
    assert done.returncode == 1
    assert done.stdout.splitlines() == expected_lines(path, problems)


def test_a_sound_graph_passes_both_checks(tmp_path):
    pipe = Pipeline(tmp_path)
    pipe.write(
        "fine",
        """
        @asset()
        def a():
            return 1

        alias = a  # bound twice: one asset

        @asset(inputs={"v": a}, partitions={"k": partitions(["x", "x", "y"])})
        def b(v, k):
            return v
        """,
    )
    check = subprocess.run(
        [sys.executable, "-m", "quarn.inspect", "--check", "--path", str(pipe.mods), "fine"],
        capture_output=True, text=True, cwd=tmp_path, timeout=60,
    )  # fmt: skip
    assert (check.returncode, check.stdout) == (0, "")
    done = pipe.run("fine", extra=("--check-only",))
    assert (done.returncode, done.stdout) == (0, "ok: 2 assets, 3 jobs, 3 to run\n")
    assert not pipe.out.exists()


def test_a_module_that_cannot_be_imported_stops_the_run(tmp_path):
    pipe = Pipeline(tmp_path)
    pipe.write("good", "@asset()\ndef a():\n    return 1\n")
    pipe.write("bad", "raise RuntimeError('nope')\n")
    done = pipe.run("good", "bad")
    assert done.returncode == 1
    assert "quarn: skipping module 'bad': RuntimeError: nope" in done.stderr
    assert "python -m quarn.run: error: could not import 'bad'" in done.stderr
    assert not pipe.out.exists()
