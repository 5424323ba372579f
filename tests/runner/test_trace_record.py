"""What a job records while it runs, read from its job worker's report; and the same record
whichever isolation ran it."""

from __future__ import annotations

import hashlib
import json
import os
import textwrap
from pathlib import Path

import pytest
from run_support import job_spec, run_job

TRACED = """
import os, pathlib
from os import environ
import quarn
import helpers

AT_IMPORT = open("at_import.txt").read() + os.environ.get("QIMPORT", "")

def env():
    os.environ["QSET"] = "mine"
    values = [os.environ["QA"], os.getenv("QB"), environ.get("QC"), "QD" in os.environ,
              os.environ.get("QSET"), os.environ.get("QUNSET")]
    os.environ.copy()  # the whole environment: no variable by name
    list(os.environ.items())
    return values

def files():
    with open("out.txt", "w") as handle:  # written by the job: an output, not an input
        handle.write("x")
    try:
        open("absent.txt")
    except FileNotFoundError:
        pass
    quarn.depends_on("declared.bin")
    return [open("out.txt").read(), pathlib.Path("data.txt").read_text(),
            len(open(helpers.__file__).read()) > 0]

def consume(v):
    return v
"""

HELPERS = "def helper():\n    return 1\n"


def run_worker(folder: Path, function: str, env: dict[str, str] | None = None, **more) -> dict:
    """Runs the spawned job worker on `function` of the traced module; its recorded deps."""
    report = folder / "report.json"
    report.unlink(missing_ok=True)
    stage = folder / "out" / ".quarn" / "runs" / "1" / "stage"  # where a run stages a job
    job_spec(folder, "traced", function, report=str(report), stage_dir=str(stage), **more)
    done = run_job(folder, {"QA": "a", "QB": "b", "QC": "c", **(env or {})})
    assert done.returncode == 0, done.stderr
    return json.loads(report.read_text().replace(f"{folder}/", ""))["deps"]  # paths as shown


@pytest.fixture
def project(tmp_path: Path) -> Path:
    (tmp_path / "traced.py").write_text(textwrap.dedent(TRACED))
    (tmp_path / "helpers.py").write_text(textwrap.dedent(HELPERS))
    for name, text in [("at_import.txt", "i"), ("data.txt", "d"), ("declared.bin", "b")]:
        (tmp_path / name).write_text(text)
    return tmp_path


def digest(text: str) -> str:
    return hashlib.sha256(text.encode()).hexdigest()


def test_variables_read_by_name_count_whatever_way_they_were_reached(project):
    env = run_worker(project, "env", {"QIMPORT": "x"})["env"]
    assert env == {
        "QA": digest("a"), "QB": digest("b"), "QC": digest("c"), "QD": None,
        "QUNSET": None, "QIMPORT": digest("x"),  # read when the module was imported
    }  # fmt: skip


def test_files_read_count_with_their_bytes_and_outputs_do_not(project):
    deps = run_worker(project, "files")
    files = deps["files"]
    assert sorted(files) == ["absent.txt", "at_import.txt", "data.txt", "declared.bin"]
    assert files["absent.txt"] == {"stat": None, "sha256": None}
    assert files["data.txt"]["sha256"] == digest("d")
    assert files["data.txt"]["stat"][0] == 1  # its size
    assert files["declared.bin"]["sha256"] == digest("b")


@pytest.mark.parametrize("vouched", [True, False])
def test_an_upstream_value_counts_by_the_bytes_read(project, vouched):
    upstream = project / "up"
    upstream.mkdir()
    (upstream / "value.json").write_text("41")
    stat = os.stat(upstream / "value.json")
    known = [stat.st_size, stat.st_mtime_ns, stat.st_ctime_ns, stat.st_ino]
    # The runner's digest stands for the file while it has the stat the runner knows;
    # a file rewritten since is hashed as it was read.
    source = {"dir": str(upstream), "serializer": None, "job": "up/_", "digest": "f" * 64,
              "stat": known if vouched else [0, 0, 0, 0]}  # fmt: skip
    deps = run_worker(project, "consume", inputs={"v": source})
    assert deps["inputs"] == {"up/_": "f" * 64 if vouched else digest("41")}
    assert "up/value.json" not in deps["files"]
