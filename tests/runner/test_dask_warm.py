"""The worker side of a Dask run, in this process, without a cluster: jobs forked from the
run's warm template, or started fresh where it cannot fork, and stopping both."""

from __future__ import annotations

import asyncio
import json
import os
import signal
import textwrap
import uuid
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest
from run_support import alive, job_spec, wait_for

from quarn.runner.executors.dask import task, warm

MODULE = """
import os, signal, time
from quarn import asset

LOADED_BY = os.getpid()
while os.environ.get("WARM_TEST_GATE") and not os.path.exists(os.environ["WARM_TEST_GATE"]):
    time.sleep(0.01)

@asset()
def where():  # the module imported in the job's own process: not forked
    return [os.getpid() == LOADED_BY, os.getppid()]

@asset()
def sleeper():
    with open("sleeper.pid.tmp", "w") as f:
        f.write(f"{os.getpid()} {os.getppid()}")
    os.rename("sleeper.pid.tmp", "sleeper.pid")
    time.sleep(600)

@asset()
def kill_template():
    os.kill(os.getppid(), signal.SIGKILL)
    time.sleep(600)
"""
FORK = "quarn.runner.executors.fork"


def _templates() -> list[int]:
    """This process's children that are warm templates, still running."""
    found = []
    for entry in Path("/proc").iterdir():
        try:
            parent = int((entry / "stat").read_text().rsplit(")", 1)[1].split()[1])
            if parent == os.getpid() and FORK.encode() in (entry / "cmdline").read_bytes():
                found += [int(entry.name)] * alive(int(entry.name))
        except (OSError, IndexError, ValueError):
            continue
    return found


@pytest.fixture
def run(tmp_path):
    """A run's id; once the test is done, the run is stopped here, which ends its template."""
    (tmp_path / "warmmod.py").write_text(textwrap.dedent(MODULE), encoding="utf-8")
    name = uuid.uuid4().hex
    yield name
    asyncio.run(task.stop_run(name, 5.0))
    assert _templates() == []


def job(root: Path, function: str, run: str, key: str, forking: bool = True) -> task.Ended:
    folder = root / key
    folder.mkdir()
    spec = job_spec(folder, "warmmod", function, paths=[str(root)])
    options = (["warmmod"], [str(root)]) if forking else None
    log, marker = str(folder / "worker.log"), str(folder / "started")
    return task.run_job(str(spec), log, str(root), marker, run, key, options)


def value(root: Path, key: str) -> object:
    return json.loads((root / key / "stage" / "value.json").read_text())


@pytest.mark.parametrize(
    ("proc", "note"),
    [(True, ""), (False, ": no /proc/self/task here to see a warm template's threads through")],
    ids=["forks", "no-proc"],
)  # a thread started at import: see test_run_dask.py
def test_a_job_forks_where_the_template_can(tmp_path, run, monkeypatch, proc, note):
    if not proc:
        monkeypatch.setattr(warm, "default_isolation", lambda: "spawn")
    status, lost, said = job(tmp_path, "where", run, "one")
    assert (status, lost, value(tmp_path, "one")[0]) == (0, "", not proc)
    assert (note in said) and bool(said) == bool(note), said


@pytest.mark.parametrize("forking", [True, False], ids=["forked", "spawned"])
def test_signal_jobs_reaches_a_running_job(tmp_path, run, forking):
    with ThreadPoolExecutor(1) as pool:
        ended = pool.submit(job, tmp_path, "sleeper", run, "one", forking)
        pid_file = tmp_path / "sleeper.pid"
        found = wait_for(lambda: pid_file.exists() and pid_file.read_text(), "the job")
        assert task.signal_jobs(run, {"one": signal.SIGTERM, "elsewhere": 9}) == ["one"]
        assert ended.result(60) == (-signal.SIGTERM, "", "")
    pid, parent = map(int, found.split())
    assert not alive(pid)
    assert (parent in _templates()) is forking


def test_a_job_stopped_while_the_template_imports_never_starts(tmp_path, run, monkeypatch):
    """The import waits for a gate that never opens; stopping the run kills the template."""
    monkeypatch.setenv("WARM_TEST_GATE", str(tmp_path / "gate"))
    with ThreadPoolExecutor(1) as pool:
        ended = pool.submit(job, tmp_path, "sleeper", run, "one")
        wait_for(lambda: task.signal_jobs(run, {"one": signal.SIGTERM}), "the task")
        assert ended.result(60) == (-signal.SIGTERM, "", "")
    assert not (tmp_path / "sleeper.pid").exists()
    assert len(_templates()) == 1  # still importing, until the run is stopped


def test_a_template_that_dies_loses_its_job_and_the_next_ones_spawn(tmp_path, run):
    killed = "the warm template was killed by signal 9 (SIGKILL)"
    assert job(tmp_path, "kill_template", run, "one") == (None, killed, "")
    status, lost, note = job(tmp_path, "where", run, "two")
    assert (status, lost, value(tmp_path, "two")[0]) == (0, "", True)
    assert note.endswith(f": {killed}; the remaining jobs run in spawned workers")


def test_an_idle_template_ends_and_the_next_job_starts_another(tmp_path, run, monkeypatch):
    monkeypatch.setattr(warm, "IDLE_SECONDS", 0.0)
    monkeypatch.setattr(warm, "_LOOK_SECONDS", 0.01)
    assert job(tmp_path, "where", run, "one") == (0, "", "")
    first = value(tmp_path, "one")[1]
    wait_for(lambda: not alive(first), "the idle template to end")
    assert job(tmp_path, "where", run, "two") == (0, "", "")
    spawned, second = value(tmp_path, "two")
    assert not spawned and second not in (first, os.getpid())  # forked by another template
