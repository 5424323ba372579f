"""The project file: found from any folder of the project, read strictly, overridden by the
command line; paths in it relative to its folder."""

from __future__ import annotations

import os
import re
from pathlib import Path

import pytest
from run_support import HEADER, quarn_in, summary_rows

from quarn.runner.commands import run, shared
from quarn.runner.config import ConfigError, Settings, load_settings


def project_file(root: Path, text: str) -> None:
    root.mkdir(parents=True, exist_ok=True)
    (root / "pyproject.toml").write_text(text, encoding="utf-8")


@pytest.mark.parametrize(
    ("table", "expected"),
    [
        # paths relative to the root, whatever the folder the command starts in
        ('modules = ["pipelines", "jobs/x.py"]\nout = "build/out"\npaths = ["src", "../lib"]\n'
         'jobs = 3\nisolation = "spawn"',
         {"modules": ("pipelines", "jobs/x.py"), "out": "{root}/build/out",
          "paths": ("{root}/src", "{root}/../lib"), "jobs": 3, "isolation": "spawn"}),
        ("", {}),  # an empty table marks the root
        ('[tool.quarn.params]\nt = 0.8\nnames = ["a", {b = true}]',
         {"params": {"t": 0.8, "names": ["a", {"b": True}]}}),
        ("[tool.quarn.params]\nstart = 2026-01-01",
         "[tool.quarn] params: start: a date or time is not a JSON value; write it as a string"),
        ("params = 3", "[tool.quarn] params: expected a table ([tool.quarn.params]), not 3"),
        ('moduls = ["x"]', "[tool.quarn] has no key 'moduls'; did you mean 'modules'?"),
        ("jobs = 0", "[tool.quarn] jobs: expected a whole number of at least 1, not 0"),
        ("jobs = true", "[tool.quarn] jobs: expected a whole number of at least 1, not True"),
        ('modules = "pipelines"', "modules: expected a list of strings like"),
        ('paths = ["src", 3]', "[tool.quarn] paths: expected a non-empty string, not 3"),
        ('out = ""', "[tool.quarn] out: expected a non-empty string, not ''"),
        ("out = [", "pyproject.toml: not valid TOML"),
    ],
)  # fmt: skip
def test_the_nearest_project_file_is_found_and_read_strictly(tmp_path, table, expected):
    root = tmp_path / "project"
    project_file(root, f"[project]\nname = 'x'\n\n[tool.quarn]\n{table}\n")
    # between it and the folder the command starts in: another tool's files, skipped
    project_file(root / "pipelines", "[tool.other]\nkey = 1\n")
    project_file(root / "pipelines" / "deep", "not [valid toml")
    start = str(root / "pipelines" / "deep")
    if isinstance(expected, str):
        with pytest.raises(ConfigError, match=re.escape(expected)) as error:
            load_settings(None, start)
        assert str(error.value).startswith(f"{root / 'pyproject.toml'}: ")
        return
    folder = lambda text: os.path.normpath(text.format(root=root))  # noqa: E731
    resolved = {**expected, **{k: folder(v) for k, v in expected.items() if k == "out"}}
    resolved |= {k: tuple(map(folder, v)) for k, v in expected.items() if k == "paths"}
    found = load_settings(None, start)
    assert found == Settings(root=str(root), file=str(root / "pyproject.toml"), **resolved)
    assert load_settings(str(root), str(tmp_path)) == found  # --project, from elsewhere
    assert load_settings(None, str(tmp_path)) == Settings()  # outside: no project


PROJECT = '[tool.quarn]\nmodules = ["pipes"]\nout = "results"\njobs = 3\nexecutor = "dask"\n'


@pytest.mark.parametrize(
    ("argv", "expected"),
    [
        ([], {"modules": ["pipes"], "base": "{root}", "out": "{root}/results", "jobs": 3,
              "executor": "dask", "isolation": None, "path": ["{root}"]}),
        # an option overrides the file; typed module words are relative to the cwd
        (["m.py", "--out", "o", "--jobs", "5", "--executor", "local", "--path", "p"],
         {"modules": ["m.py"], "base": "{cwd}", "out": "o", "jobs": 5, "executor": "local",
          "path": ["p", "{root}"]}),
        # choosing where jobs run on the command line leaves the file's executor out
        (["--isolation", "none"], {"executor": None, "isolation": "none"}),
    ],
)  # fmt: skip
def test_options_override_the_project_file(tmp_path, monkeypatch, argv, expected):
    project_file(tmp_path, PROJECT)
    cwd = tmp_path / "somewhere" / "below"
    cwd.mkdir(parents=True)
    monkeypatch.chdir(cwd)
    parser = run.build_parser("quarn run")
    args = parser.parse_args(argv)
    run.split_selection(args, parser)
    for key, value in expected.items():
        if isinstance(value, str):
            value = value.format(root=tmp_path, cwd=cwd)
        elif isinstance(value, list):
            value = [v.format(root=tmp_path) for v in value]
        assert getattr(args, key) == value, key


@pytest.mark.parametrize(
    ("table", "message"),
    [
        ('isolation = "forks"', "isolation: 'forks' is not one of fork, spawn, none; did you "
         "mean 'fork'?"),
        ("", "the following arguments are required: MODULE (or a modules list"),
    ],
)  # fmt: skip
def test_a_project_file_that_cannot_be_used_is_a_usage_error(
    tmp_path, monkeypatch, capsys, table, message
):
    project_file(tmp_path, f"[tool.quarn]\n{table}\n")
    monkeypatch.chdir(tmp_path)
    parser = run.build_parser("quarn run")
    with pytest.raises(SystemExit) as stop:
        shared.configure(parser.parse_args([]), parser)
    assert stop.value.code == 2 and message in capsys.readouterr().err


SALES = """
@asset(partitions={"region": partitions(["north", "south"])})
def orders(region):
    return 1

@asset(inputs={"orders": orders})
def totals(orders):
    return sum(orders.values())
"""


def test_the_same_run_from_every_folder_of_the_project(tmp_path):
    """From a sub-folder, `quarn run` without arguments runs into the root's output
    directory with the versions a run from the root sees; the other commands look there."""
    package = tmp_path / "pipelines"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "sales.py").write_text(HEADER + SALES)
    project_file(tmp_path, '[tool.quarn]\nmodules = ["pipelines"]\n')

    first = quarn_in(package, "run")
    assert first.returncode == 0, first.stderr
    assert first.stderr.startswith(f"quarn: running 3 jobs in {tmp_path / 'out'}\n")
    assert len(summary_rows(first.stdout)) == 3 and not (package / "out").exists()
    again = quarn_in(tmp_path, "run", "pipelines/sales.py")  # the same module by its file
    assert again.stdout == f"nothing to do: 3 jobs up to date in {tmp_path / 'out'}\n"
    history = quarn_in(package, "history", "totals")  # one word, no such folder: an asset
    *rows, now = history.stdout.splitlines()[1:]
    assert [re.split(" {2,}", row)[2:4] for row in rows] == [
        ["-", "succeeded"],
        ["-", "up to date"],
    ]
    assert now == "now: 1 current", history.stderr
    shown = quarn_in(package, "show")
    assert shown.stderr == f"quarn show: states in {tmp_path / 'out'}\n"
    assert "never run" not in shown.stdout
