"""The shipped type information: a typed pipeline checks clean, a misuse is flagged."""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

TYPED = """\
from collections.abc import Callable, Sequence

from quarn import AssetWrapper, Partitions, asset, inspect_modules, load, load_all, partitions
from quarn import materialize_asset

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
kind: str = scaled.__quarn_kind__
metadata: dict[str, object] = scaled.__quarn_metadata__

class Holder:
    member = raw

held: list[int] = Holder().member()
inspect_entry: Callable[[Sequence[str]], str] = inspect_modules
materialize_entry: Callable[[str, str, str, str | None], None] = materialize_asset

def read_back() -> list[tuple[dict[str, object], object]]:
    one: object = load(scaled, out="out", partition={"t": "AAPL"}, allow_stale=True)
    return [({}, one), *load_all("raw", out="out")]
"""

# Each misuse, with the line it is on and the error code the checker must give.
MISUSE = """\
from quarn import asset, load

@asset()
def double(x: int) -> int:
    return 2 * x

double("text")
result: str = double(2)
asset(inputs={"data": 3})
load(3)
"""
EXPECTED_ERRORS = {("7", "arg-type"), ("8", "assignment"), ("9", "dict-item"), ("10", "arg-type")}


def errors_in(output: str, filename: str) -> set[tuple[str, str]]:
    return set(
        re.findall(rf"^{re.escape(filename)}:(\d+): error: .*\[([\w-]+)\]$", output, re.MULTILINE)
    )


def test_typed_pipeline_checks_clean_and_runs_and_a_misuse_is_flagged(tmp_path):
    (tmp_path / "typed_pipeline.py").write_text(TYPED, encoding="utf-8")
    (tmp_path / "misuse.py").write_text(MISUSE, encoding="utf-8")

    def run(*args: str) -> subprocess.CompletedProcess[str]:
        return subprocess.run([sys.executable, *args], cwd=tmp_path, capture_output=True, text=True)

    mypy = "-m mypy --strict --no-error-summary --show-error-codes --cache-dir .mypy_cache"
    done = run(*mypy.split(), "typed_pipeline.py", "misuse.py")
    output = done.stdout + done.stderr
    assert done.returncode == 1, output
    assert errors_in(output, "typed_pipeline.py") == set(), output
    assert errors_in(output, "misuse.py") == EXPECTED_ERRORS, output
    # The annotations the checker accepted also work at run time (AssetWrapper[...] included).
    ran = run("typed_pipeline.py")
    assert ran.returncode == 0, ran.stderr


def test_stub_covers_the_module():
    import quarn._quarn as native

    stub = Path(native.__file__).with_name("_quarn.pyi").read_text(encoding="utf-8")
    for name in native.__all__:
        assert f"def {name}(" in stub or f"class {name}(" in stub or f"class {name}:" in stub
    for name, value in vars(native.AssetWrapper).items():
        if type(value).__name__ == "getset_descriptor" or name == "__doc__":
            assert f"def {name}(self)" in stub
