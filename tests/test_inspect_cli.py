"""`python -m quarn.inspect` run as a real subprocess: output, exit status, import path."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import quarn

ASSET_SOURCE = """\
import inspect  # the standard module, never the command stub

def raw() -> list:
    return ["caf\u00e9"]

raw.__quarn_kind__ = "asset"
raw.__quarn_metadata__ = {"kind": "asset", "getsource": hasattr(inspect, "getsource")}
"""


@pytest.fixture
def project(tmp_path: Path) -> Path:
    root = tmp_path / "project"
    root.mkdir()
    (root / "cli_good.py").write_text(ASSET_SOURCE, encoding="utf-8")
    return root


def run(args: list[str], cwd: Path, **env: str) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run(
        args,
        cwd=cwd,
        capture_output=True,
        timeout=60,
        env=os.environ | {"PYTHONPATH": ""} | env,
        check=False,
    )


def inspect_command(*args: str) -> list[str]:
    return [sys.executable, "-m", "quarn.inspect", *args]


def only_line(stdout: bytes) -> dict:
    """The document: exactly one line, ended by one line feed, UTF-8."""
    assert stdout.endswith(b"\n") and stdout.count(b"\n") == 1
    return json.loads(stdout.decode("utf-8"))


def test_prints_the_document_and_exits_0_with_skips(project):
    result = run(inspect_command("cli_good", "cli_missing"), project)
    assert result.returncode == 0
    (entry,) = only_line(result.stdout)["assets"]
    assert (entry["module_path"], entry["function_name"]) == ("cli_good", "raw")
    assert entry["decorator_metadata"]["getsource"] is True
    assert result.stderr.decode() == (
        "quarn: skipping module 'cli_missing': ModuleNotFoundError: No module named 'cli_missing'\n"
    )


@pytest.mark.parametrize("encoding", ["ascii", "latin-1"])
def test_output_is_utf8_whatever_the_locale(project, encoding):
    result = run(inspect_command("cli_good"), project, PYTHONIOENCODING=encoding)
    assert result.returncode == 0
    assert "caf\u00e9" in only_line(result.stdout)["assets"][0]["function_source"]


def test_path_option_puts_directories_first(project, tmp_path):
    shadow = tmp_path / "shadow"
    shadow.mkdir()
    (shadow / "cli_good.py").write_text(ASSET_SOURCE.replace("raw", "shadowed"), "utf-8")
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    result = run(
        inspect_command("--path", str(shadow), "--path", str(project), "cli_good"), elsewhere
    )
    assert result.returncode == 0, result.stderr
    (entry,) = only_line(result.stdout)["assets"]
    assert entry["function_name"] == "shadowed"
    assert entry["file_path"] == str((shadow / "cli_good.py").resolve())


def test_running_the_file_does_not_shadow_the_standard_inspect(project):
    stub = Path(quarn.__file__).with_name("inspect.py")
    result = run([sys.executable, str(stub), "cli_good"], project)
    assert result.returncode == 0, result.stderr
    (entry,) = only_line(result.stdout)["assets"]
    assert entry["decorator_metadata"]["getsource"] is True


def test_run_from_inside_the_package_folder(project):
    package = Path(quarn.__file__).parent
    result = run(inspect_command("--path", str(project), "cli_good"), package)
    assert result.returncode == 0, result.stderr
    assert len(only_line(result.stdout)["assets"]) == 1


@pytest.mark.parametrize(
    ("args", "complaint"),
    [
        ([], "the following arguments are required: MODULE"),
        (["--bogus", "cli_good"], "unrecognized arguments: --bogus"),
        (["--path"], "argument --path: expected one argument"),
    ],
)
def test_bad_arguments_are_a_usage_error(project, args, complaint):
    result = run(inspect_command(*args), project)
    assert result.returncode == 2
    assert result.stdout == b""
    stderr = result.stderr.decode()
    assert stderr.startswith("usage: python -m quarn.inspect ")
    assert stderr.endswith(f"python -m quarn.inspect: error: {complaint}\n")


def test_help(project):
    result = run(inspect_command("--help"), project)
    assert result.returncode == 0
    out = result.stdout.decode()
    assert out.startswith(
        "usage: python -m quarn.inspect [-h] [--path DIR] [--check] MODULE [MODULE ...]"
    )
    assert "--path DIR" in out


def test_a_failed_discovery_exits_non_zero(project):
    result = run(inspect_command("sys"), project)
    assert result.returncode == 1
    assert result.stdout == b""
    assert (
        result.stderr.decode()
        .rstrip()
        .endswith("TypeError: <module 'sys' (built-in)> is a built-in module")
    )
