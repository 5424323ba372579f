"""The worker stub `python -m quarn.worker`: arguments, import path, and exit statuses."""

from __future__ import annotations

import json
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import quarn.worker as worker

ASSETS = """
    def raw():
        return [1, 2, 3]

    def processed(data):
        return [x * 2 for x in data]

    def prices(ticker: str) -> dict:
        return {"ticker": ticker}

    def broken():
        raise ValueError("bad input")
"""


def write(path: Path, source: str) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(source), encoding="utf-8")
    return path


@pytest.fixture
def project(tmp_path: Path) -> Path:
    root = tmp_path / "project"
    write(root / "pipeline_assets.py", ASSETS)
    return root


def stub(*args: str | Path, cwd: Path, script: Path | None = None) -> subprocess.CompletedProcess:
    command = [sys.executable, str(script)] if script else [sys.executable, "-m", "quarn.worker"]
    return subprocess.run(
        [*command, *map(str, args)], cwd=cwd, capture_output=True, text=True, timeout=60
    )


def record(out: Path) -> dict:
    return json.loads((out / "result.json").read_text(encoding="utf-8"))


# --- exit statuses -------------------------------------------------------------------


@pytest.mark.parametrize(
    ("function", "options", "status", "value"),
    [
        ("raw", [], 0, b"[1, 2, 3]"),
        ("processed", ["--inputs-json", '{"data": [1, 2]}'], 0, b"[2, 4]"),
        ("prices", ["--inputs-json", '{"ticker": "AAPL"}'], 0, b'{"ticker": "AAPL"}'),
        ("broken", [], 1, None),
        ("processed", ["--inputs-json", "[1, 2]"], 1, None),
        ("processed", ["--inputs-json", ""], 1, None),
    ],
)
def test_status_matches_the_record(project, function, options, status, value):
    result = stub("pipeline_assets", function, "out", *options, cwd=project)
    assert result.returncode == status, result.stderr
    assert record(project / "out")["ok"] is (status == 0)
    if value is not None:
        assert (project / "out" / "value.json").read_bytes() == value
    # A recorded failure ends quietly: the record says what happened.
    assert result.stderr == ""


@pytest.mark.parametrize(
    "arguments",
    [
        [],
        ["pipeline_assets", "raw"],
        ["pipeline_assets", "raw", "out", "extra"],
        ["pipeline_assets", "raw", "out", "--inputs-json", "{}", "--inputs-file", "x.json"],
        ["pipeline_assets", "raw", "out", "--inputs-file", "no-such-file.json"],
        ["pipeline_assets", "raw", "out", "--unknown"],
    ],
)
def test_usage_errors_exit_2_and_write_nothing(project, arguments):
    result = stub(*arguments, cwd=project)
    assert result.returncode == 2
    assert "usage: python -m quarn.worker" in result.stderr
    assert not (project / "out").exists()


def test_help_exits_0(project):
    result = stub("--help", cwd=project)
    assert result.returncode == 0
    assert result.stdout.startswith("usage: python -m quarn.worker")
    for option in ("--inputs-json TEXT", "--inputs-file PATH", "--path DIR"):
        assert option in result.stdout


def test_unrecorded_failure_shows_the_exception(project):
    (project / "out").write_text("a file, not a directory")
    result = stub("pipeline_assets", "raw", "out", cwd=project)
    assert result.returncode == 1
    assert "FileExistsError" in result.stderr
    assert (project / "out").read_text() == "a file, not a directory"


# --- inputs and the import path ------------------------------------------------------


def test_inputs_file_is_read_as_utf8(project):
    write(project / "in.json", '{"data": [3, 4]}\r\n')
    result = stub("pipeline_assets", "processed", "out", "--inputs-file", "in.json", cwd=project)
    assert result.returncode == 0, result.stderr
    assert (project / "out" / "value.json").read_bytes() == b"[6, 8]"


def test_path_options_go_first_in_the_order_given(project, tmp_path):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    first = write(tmp_path / "first" / "pipeline_assets.py", "def raw():\n    return 'first'\n")
    paths = ["--path", first.parent, "--path", project]
    result = stub("pipeline_assets", "raw", "out", *paths, cwd=elsewhere)
    assert result.returncode == 0, result.stderr
    assert (elsewhere / "out" / "value.json").read_bytes() == b'"first"'
    result = stub(
        "pipeline_assets",
        "prices",
        "out",
        *paths,
        "--inputs-json",
        '{"ticker": "X"}',
        cwd=elsewhere,
    )
    assert result.returncode == 1
    assert record(elsewhere / "out")["error_type"] == "AttributeError"
    # The current directory is searched after them, as with python -m.
    result = stub(
        "pipeline_assets",
        "prices",
        "out",
        "--path",
        first.parent,
        "--inputs-json",
        '{"ticker": "X"}',
        cwd=project,
    )
    assert result.returncode == 1


SHADOWS = ["json.py", "inspect.py", "pathlib.py"]


def test_project_files_cannot_stand_in_for_host_modules(project):
    for name in SHADOWS:
        write(project / name, "raise ImportError('project file imported')\n")
    result = stub("pipeline_assets", "raw", "out", cwd=project)
    assert result.returncode == 0, result.stderr
    assert record(project / "out")["ok"] is True


def test_started_as_a_file_its_own_directory_is_not_searched(project, tmp_path):
    # A copy of the stub beside a module named like a standard one, as the package's
    # other stubs are.
    script = Path(shutil.copy(worker.__file__, tmp_path / "worker.py"))
    write(tmp_path / "inspect.py", "raise ImportError('sibling imported')\n")
    result = stub("pipeline_assets", "raw", "out", cwd=project, script=script)
    assert result.returncode == 0, result.stderr
    assert record(project / "out")["signature"] == "()"


# --- what main() hands to materialize_asset ------------------------------------------


@pytest.mark.parametrize(
    ("options", "inputs"),
    [
        ([], None),
        (["--inputs-json", ""], ""),
        (["--inputs-json", '{"a": 1}'], '{"a": 1}'),
        (["--inputs-file", "{file}"], '{"b":\r\n 2}'),
    ],
)
def test_main_passes_inputs_verbatim(tmp_path, monkeypatch, options, inputs):
    (tmp_path / "in.json").write_bytes(b'{"b":\r\n 2}')
    options = [o.replace("{file}", str(tmp_path / "in.json")) for o in options]
    calls = []
    monkeypatch.setattr(sys, "path", list(sys.path))
    monkeypatch.setattr(worker, "materialize_asset", lambda *args: calls.append(args))
    worker.main(["pkg.assets", "fn", "out/dir", *options])
    assert calls == [("pkg.assets", "fn", "out/dir", inputs)]
