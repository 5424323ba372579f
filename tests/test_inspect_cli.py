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
# For --check: an input that names no discovered asset, declared on line 3.
BAD_GRAPH = "from quarn import asset\n@asset(inputs={'v': 'nowhere:x'})\ndef a(v):\n    pass\n"
STUB = Path(quarn.__file__).with_name("inspect.py")
SKIP = "quarn: skipping module 'cli_gone': ModuleNotFoundError: No module named 'cli_gone'\n"
ERROR = "python -m quarn.inspect: error: "


@pytest.fixture
def project(tmp_path: Path) -> Path:
    root = tmp_path / "project"
    root.mkdir()
    (root / "cli_good.py").write_text(ASSET_SOURCE, encoding="utf-8")
    (root / "cli_bad.py").write_text(BAD_GRAPH, encoding="utf-8")
    (root / "cli_interrupted.py").write_text("raise KeyboardInterrupt\n", encoding="utf-8")
    return root


def run(cwd: Path, *args: str, command=("-m", "quarn.inspect"), **env: str):
    return subprocess.run(
        [sys.executable, *command, *args],
        cwd=cwd,
        capture_output=True,
        timeout=60,
        env=os.environ | {"PYTHONPATH": ""} | env,
        check=False,
    )


def only_entry(result: subprocess.CompletedProcess[bytes]) -> dict:
    """The one entry of the document: a single line, ended by one line feed, UTF-8."""
    assert result.returncode == 0, result.stderr
    assert result.stdout.endswith(b"\n") and result.stdout.count(b"\n") == 1
    (entry,) = json.loads(result.stdout.decode("utf-8"))["assets"]
    return entry


def test_prints_utf8_and_exits_0_with_skips(project, tmp_path):
    # An ASCII locale; --path as the worker's (its order: test_worker_cli.py).
    result = run(tmp_path, "--path", str(project), "cli_good", "cli_gone", PYTHONIOENCODING="ascii")
    entry = only_entry(result)
    assert (entry["module_path"], entry["function_name"]) == ("cli_good", "raw")
    assert entry["file_path"] == str((project / "cli_good.py").resolve())
    assert "caf\u00e9" in entry["function_source"]
    assert result.stderr.decode() == SKIP


@pytest.mark.parametrize("from_package_folder", [False, True])
def test_standard_inspect_is_not_shadowed(project, from_package_folder):
    """Neither the stub run by its path nor `-m` from inside the package hides `inspect`."""
    if from_package_folder:
        result = run(STUB.parent, "--path", str(project), "cli_good")
    else:
        result = run(project, "cli_good", command=(str(STUB),))
    assert only_entry(result)["decorator_metadata"]["getsource"] is True


def test_a_project_file_named_like_a_standard_module_does_not_replace_it(project):
    """Discovery's own `textwrap` is the host's, though a project folder holds a textwrap.py."""
    (project / "textwrap.py").write_text("def dedent(text):\n    return 'shadowed'\n", "utf-8")
    # In the current directory, or in a --path folder already on the import path.
    for cwd, path in ((project, ""), (project.parent, str(project))):
        result = run(cwd, "--path", str(project), "cli_good", PYTHONPATH=path)
        assert only_entry(result)["function_source"].startswith("def raw() -> list:\n")


def test_help(project):
    result = run(project, "--help")
    assert result.returncode == 0
    usage = " ".join(result.stdout.decode().split("\n\n")[0].split())
    assert usage == (
        "usage: python -m quarn.inspect [-h] [--path DIR] [--check] [--document-file PATH] "
        "MODULE [MODULE ...]"
    )


@pytest.mark.parametrize(
    ("args", "status", "diagnostics", "stderr_end"),
    [
        ([], 2, 0, ERROR + "the following arguments are required: MODULE\n"),
        (["--bogus", "cli_good"], 2, 0, ERROR + "unrecognized arguments: --bogus\n"),
        (["--path"], 2, 0, ERROR + "argument --path: expected one argument\n"),
        (["sys"], 1, 0, "TypeError: <module 'sys' (built-in)> is a built-in module\n"),
        # Ctrl-C while a module is imported: no document, the shell's status for SIGINT.
        (["cli_good", "cli_interrupted"], 130, 0, "python -m quarn.inspect: interrupted\n"),
        (["--check", "cli_good"], 0, 0, ""),
        (["--check", "cli_good", "cli_bad"], 1, 1, ""),
        # the check stops at a module it cannot import: one error, no "skipping"
        (
            ["--check", "cli_good", "cli_gone"],
            1,
            0,
            ERROR + "cannot import module 'cli_gone': "
            "ModuleNotFoundError: No module named 'cli_gone'\n",
        ),
    ],
)
def test_exit_status_and_messages(project, args, status, diagnostics, stderr_end):
    """Only --check writes diagnostics on standard output; "" means nothing on stderr."""
    result = run(project, *args)
    lines = result.stdout.decode().splitlines()
    if "--check" in args and status == 0:
        assert lines.pop() == "ok: 1 asset"
    assert (result.returncode, len(lines)) == (status, diagnostics)
    stderr = result.stderr.decode()
    assert stderr.endswith(stderr_end) if stderr_end else stderr == ""
    bad = (project / "cli_bad.py").resolve()
    assert all(line.startswith(f"{bad}:3: error: asset 'a': ") for line in lines)
