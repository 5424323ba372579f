"""The shipped type information: a typed pipeline checks clean, a misuse is flagged."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

TYPED = """\
from collections.abc import Callable, Sequence

from quarn import AssetWrapper, Partitions, asset, inspect_modules, materialize_asset, partitions

@asset()
def raw() -> list[int]:
    return [1, 2, 3]

TICKERS: Partitions = partitions(["AAPL", "MSFT"])

@asset(name="scaled", inputs={"data": raw, "other": "elsewhere.py:x"}, partitions={"t": TICKERS})
def scaled(data: list[int], *, factor: int = 2) -> list[int]:
    return [x * factor for x in data]

upstream: AssetWrapper[[], list[int]] = raw
values: list[int] = scaled(upstream(), factor=3)
again: list[int] = scaled.__quarn_original__([1])
same: list[int] = scaled.__wrapped__([2], factor=1)
name: str = scaled.__name__
qualname: str = scaled.__qualname__
kind: str = scaled.__quarn_kind__
metadata: dict[str, object] = scaled.__quarn_metadata__

class Holder:
    member = raw

held: list[int] = Holder().member()
inspect_entry: Callable[[Sequence[str]], str] = inspect_modules
materialize_entry: Callable[[str, str, str, str | None], None] = materialize_asset
"""

# Each misuse, with the line it is on and the error code the checker must give.
MISUSE = """\
from quarn import asset

@asset()
def double(x: int) -> int:
    return 2 * x

double("text")
result: str = double(2)
asset(inputs={"data": 3})
"""
EXPECTED_ERRORS = {(7, "arg-type"), (8, "assignment"), (9, "dict-item")}


@pytest.fixture(scope="module")
def checked(tmp_path_factory) -> tuple[int, str]:
    root: Path = tmp_path_factory.mktemp("typed")
    (root / "typed_pipeline.py").write_text(TYPED, encoding="utf-8")
    (root / "misuse.py").write_text(MISUSE, encoding="utf-8")
    done = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-error-summary",
            "--show-error-codes",
            "--cache-dir",
            str(root / ".mypy_cache"),
            "typed_pipeline.py",
            "misuse.py",
        ],
        cwd=root,
        capture_output=True,
        text=True,
        check=False,
    )
    return done.returncode, done.stdout + done.stderr


def errors_in(output: str, filename: str) -> set[tuple[int, str]]:
    found = set()
    for line in output.splitlines():
        if line.startswith(filename + ":") and ": error: " in line:
            number = int(line.split(":")[1])
            code = line.rsplit("[", 1)[1].rstrip("]")
            found.add((number, code))
    return found


def test_typed_pipeline_checks_clean(checked):
    _, output = checked
    assert errors_in(output, "typed_pipeline.py") == set(), output


def test_misuse_is_flagged(checked):
    returncode, output = checked
    assert returncode == 1, output
    assert errors_in(output, "misuse.py") == EXPECTED_ERRORS, output


def test_typed_pipeline_runs(tmp_path):
    # The annotations the checker accepted also work at run time (AssetWrapper[...] included).
    script = tmp_path / "typed_pipeline.py"
    script.write_text(TYPED, encoding="utf-8")
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


def test_stub_covers_the_module():
    import quarn._quarn as native

    stub = Path(native.__file__).with_name("_quarn.pyi").read_text(encoding="utf-8")
    for name in native.__all__:
        assert f"def {name}(" in stub or f"class {name}(" in stub or f"class {name}:" in stub
    for name, value in vars(native.AssetWrapper).items():
        if type(value).__name__ == "getset_descriptor" or name == "__doc__":
            assert f"def {name}(self)" in stub
