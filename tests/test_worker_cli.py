"""The worker stub `python -m quarn.worker`: arguments, import path, and exit statuses."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import pytest

import quarn.worker as worker

ASSETS = """\
def raw(): return [1, 2, 3]
def processed(data): return [x * 2 for x in data]
def broken(): raise ValueError("bad input")
"""


def write(path: Path, source: str) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(source, encoding="utf-8")
    return path


@pytest.fixture
def project(tmp_path: Path) -> Path:
    root = tmp_path / "project"
    write(root / "pipeline_assets.py", ASSETS)
    write(root / "in.json", '{"data": ["\u00e9", 4]}\r\n')
    return root


def stub(*args: str | Path, cwd: Path, script: Path | None = None) -> subprocess.CompletedProcess:
    command = [sys.executable, str(script)] if script else [sys.executable, "-m", "quarn.worker"]
    return subprocess.run(
        [*command, *map(str, args)], cwd=cwd, capture_output=True, text=True, timeout=60
    )


@pytest.mark.parametrize(
    ("function", "options", "status", "expected"),
    [
        ("raw", [], 0, b"[1, 2, 3]"),
        ("processed", ["--inputs-json", '{"data": [1, 2]}'], 0, b"[2, 4]"),
        ("processed", ["--inputs-file", "in.json"], 0, b'["\\u00e9\\u00e9", 8]'),
        ("broken", [], 1, None),
    ],
)
def test_status_matches_the_record(project, function, options, status, expected):
    result = stub("pipeline_assets", function, "out", *options, cwd=project)
    assert result.returncode == status, result.stderr
    assert json.loads((project / "out" / "result.json").read_bytes())["ok"] is (status == 0)
    if expected is not None:
        assert (project / "out" / "value.json").read_bytes() == expected
    # A recorded failure ends quietly: the record says what happened.
    assert result.stderr == ""


@pytest.mark.parametrize(
    ("arguments", "status"),
    [
        (["--help"], 0),
        (["pipeline_assets", "raw"], 2),
        (["pipeline_assets", "raw", "out", "extra"], 2),
        (["pipeline_assets", "raw", "out", "--inputs-json", "{}", "--inputs-file", "in.json"], 2),
        (["pipeline_assets", "raw", "out", "--inputs-file", "no-such-file.json"], 2),
    ],
)
def test_help_and_usage_errors_write_nothing(project, arguments, status):
    result = stub(*arguments, cwd=project)
    assert result.returncode == status
    assert (result.stdout or result.stderr).startswith("usage: python -m quarn.worker")
    assert not (project / "out").exists()


def test_unrecorded_failure_shows_the_exception(project):
    (project / "out").write_text("a file, not a directory")
    result = stub("pipeline_assets", "raw", "out", cwd=project)
    assert result.returncode == 1
    assert "FileExistsError" in result.stderr


def test_path_options_go_first_in_the_order_given_then_the_cwd(project, tmp_path):
    # The import path and its shield are shared with discovery: see test_inspect_cli.py.
    first = write(tmp_path / "first" / "pipeline_assets.py", "def raw(): return 'first'\n")
    cwd = write(tmp_path / "cwd" / "pipeline_assets.py", "").parent
    result = stub(
        "pipeline_assets", "raw", "out", "--path", first.parent, "--path", project, cwd=cwd
    )
    assert result.returncode == 0, result.stderr
    assert (cwd / "out" / "value.json").read_bytes() == b'"first"'


@pytest.mark.parametrize(
    ("options", "inputs"),
    [([], None), (["--inputs-json", ""], ""), (["--inputs-file", "in.json"], '{"b":\r\n 2}')],
)
def test_main_passes_inputs_verbatim(tmp_path, monkeypatch, options, inputs):
    (tmp_path / "in.json").write_bytes(b'{"b":\r\n 2}')
    monkeypatch.chdir(tmp_path)
    calls = []
    monkeypatch.setattr(sys, "path", list(sys.path))
    monkeypatch.setattr(worker, "materialize_asset", lambda *args: calls.append(args))
    worker.main(["pkg.assets", "fn", "out/dir", *options])
    assert calls == [("pkg.assets", "fn", "out/dir", inputs)]
