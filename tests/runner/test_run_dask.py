"""Runs on Dask: a scheduler and two workers started as separate processes on 127.0.0.1
(shared by the tests of this module), and once a local cluster the run starts itself."""

from __future__ import annotations

import json
import os
import re
import signal
import subprocess
import sys
from pathlib import Path

import pytest
from run_support import Pipeline, alive, output_files, summary_rows, wait_for

distributed = pytest.importorskip("distributed")

ON_WORKER = "QUARN_TEST_ON_WORKER"  # set in the environment of the fixture's workers only
START_SECONDS = 60  # generous bounds for a loaded machine; nothing here is timed


@pytest.fixture(scope="module")
def scheduler(tmp_path_factory) -> str:
    """The address of a scheduler with two single-thread workers, all separate processes
    whose working directory is not the one the runs start in."""
    home = tmp_path_factory.mktemp("cluster")
    address_file = home / "scheduler.json"
    started: list[subprocess.Popen] = []

    def spawn(*args: str, **env: str) -> None:
        with open(home / f"{len(started)}.log", "wb") as log:
            started.append(subprocess.Popen(
                [sys.executable, "-m", "dask", *args], cwd=home, env={**os.environ, **env},
                stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                start_new_session=True,
            ))  # fmt: skip

    try:
        local = ("--host", "127.0.0.1")
        spawn("scheduler", *local, "--port", "0", "--dashboard-address", "127.0.0.1:0",
              "--scheduler-file", str(address_file))  # fmt: skip
        address = wait_for(lambda: _address(address_file), "the scheduler")
        for _ in range(2):
            spawn(
                "worker", address, *local, "--nthreads", "1", "--no-dashboard", **{ON_WORKER: "1"}
            )
        with distributed.Client(address, set_as_default=False) as client:
            client.wait_for_workers(2, timeout=START_SECONDS)
        yield address
    finally:
        for process in reversed(started):  # workers (and their nannies' children) first
            os.killpg(process.pid, signal.SIGTERM)
            try:
                process.wait(START_SECONDS)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()


def _address(path: Path) -> str | None:
    try:  # the scheduler may be writing the file right now
        return json.loads(path.read_text())["address"]
    except (OSError, ValueError, KeyError):
        return None


# Partitions, a fan-in, a failing job and what it skips; the same module for every run.
# Its logs, among the files compared, say whether the jobs were forked from a template.
PIPELINE = """
days = partitions(["mon", "tue", "wed"])
LOADED_BY = os.getpid()

@asset()
def base():
    print("forked from a template:", os.getpid() != LOADED_BY)
    return {"n": 3, "nan": float("nan")}

@asset(partitions={"day": days}, inputs={"b": base})
def daily(day, b):
    print("computing", day)
    return [day, b["n"], b["nan"] != b["nan"]]

@asset(inputs={"all": daily})
def week(all):
    return all

@asset(partitions={"day": days}, inputs={"d": daily})
def checked(day, d):
    if day == "tue":
        raise ValueError("no data for " + day)
    return d

@asset(inputs={"c": checked})
def report(c):
    return c

@asset(inputs={"r": report, "w": week})
def final(r, w):
    return [r, w]
"""


def _run(root: Path, *extra: str) -> tuple[subprocess.CompletedProcess, dict[str, bytes]]:
    """Runs PIPELINE in its own folder; returns the run and its output files."""
    root.mkdir()
    pipeline = Pipeline(root)
    pipeline.write("pipe", PIPELINE)
    done = pipeline.run("pipe", out=Path("out"), extra=extra)
    files = output_files(pipeline.out, root)
    versions = {
        k: [v["status"], v.get("version"), v.get("digest")]  # a failed job has no success
        for k, v in pipeline.manifest()["jobs"].items()
    }
    files["versions"] = json.dumps(versions, sort_keys=True).encode()
    return done, files


def _summary(stdout: str) -> list[list[str]]:
    """The summary without durations: asset, partition, status, error; then the totals."""
    rows = [row[:3] + row[4:] for row in summary_rows(stdout)]
    totals = re.sub(r" in [0-9.]+s$", "", stdout.splitlines()[-1])
    return [*sorted(rows), [totals]]


def test_same_files_and_summary_as_the_local_executor(tmp_path, scheduler):
    local, local_files = _run(tmp_path / "local", "--executor", "local")
    assert local.returncode == 1, local.stderr
    assert ["checked", "day=tue", "failed", "ValueError: no data for tue"] in _summary(local.stdout)
    assert ["final", "-", "skipped", "upstream checked[day=tue] failed"] in _summary(local.stdout)
    logs = [text for name, text in local_files.items() if name.endswith("worker.log")]
    assert any(b"computing mon" in text for text in logs)  # logs are among the files compared
    assert any(b"forked from a template: True" in text for text in logs)
    for name, extra in [
        ("cluster", ("--scheduler", scheduler)),
        ("own-cluster", ("--executor", "dask")),  # a local cluster started for the run
    ]:
        done, files = _run(tmp_path / name, *extra)
        assert done.returncode == 1, done.stderr
        assert _summary(done.stdout) == _summary(local.stdout), name
        assert files == local_files, name


@pytest.mark.parametrize(
    ("victim", "lost"),
    [
        ("dask_worker()", "its Dask worker died while running it"),
        ("os.getppid()", "lost: the warm template was killed by signal 9 (SIGKILL)"),
    ],
    ids=["worker", "template"],
)
def test_a_job_whose_worker_dies_is_lost_and_retried(tmp_path, scheduler, victim, lost):
    pipeline = Pipeline(tmp_path)
    pipeline.write("fragile", f"""
        def dask_worker():
            pid = os.getppid()
            with open(f"/proc/{{pid}}/cmdline", "rb") as f:
                forked = b"quarn.runner.executors.fork" in f.read()
            if forked:  # the template's parent is the worker
                with open(f"/proc/{{pid}}/stat") as f:
                    pid = int(f.read().rsplit(")", 1)[1].split()[1])
            return pid

        @asset()
        def fragile():
            if not os.path.exists("killed-once"):  # in the run's directory, shared
                with open("killed-once", "w") as f:
                    f.write(str(os.getpid()))
                os.kill({victim}, signal.SIGKILL)
                time.sleep(600)  # never reached: the job dies with its worker
            return "recovered"

        @asset(inputs={{"v": fragile}})
        def after(v):
            return v + " and used"
    """)  # fmt: skip
    address_file = tmp_path / "scheduler.json"  # --scheduler takes a scheduler file too
    address_file.write_text(json.dumps({"address": scheduler}))
    done = pipeline.run("fragile", extra=("--scheduler", str(address_file), "--retries", "1"))
    assert done.returncode == 0, done.stderr
    assert lost in done.stderr
    assert pipeline.value("after") == "recovered and used"
    assert not alive(int((tmp_path / "killed-once").read_text()))  # died with its worker


def test_a_worker_whose_template_cannot_fork_spawns_with_a_note(tmp_path, scheduler):
    """Imported on the fixture's workers, the module starts a thread: forking could
    deadlock, so those workers start each job in a fresh interpreter, which imports the
    module itself, and the run says so once."""
    pipeline = Pipeline(tmp_path)
    pipeline.write("threaded", f"""
        LOADED_BY = os.getpid()
        if os.environ.get("{ON_WORKER}"):
            import threading
            threading.Thread(target=time.sleep, args=(600,), daemon=True).start()

        @asset(partitions={{"n": partitions([1, 2, 3, 4])}})
        def fresh(n):
            return os.getpid() == LOADED_BY
    """)  # fmt: skip
    done = pipeline.run("threaded", extra=("--scheduler", scheduler))
    assert done.returncode == 0, done.stderr
    assert pipeline.values("fresh") == [True] * 4
    notes = [line for line in done.stderr.splitlines() if "started a thread" in line]
    assert len(notes) == 1, done.stderr  # one note for both workers
    assert notes[0].startswith("quarn: note: Dask worker tcp://127.0.0.1:")
    assert "module 'threaded' started a thread when imported; jobs run in spawned" in notes[0]


def test_workers_that_cannot_see_the_output_or_import_the_modules(tmp_path, scheduler):
    """The fixture's workers run in another directory and have ON_WORKER set. A path
    through /proc/self/cwd names a different directory in each process, as a disk that is
    not shared names a different one on each machine; the module fails to import where
    ON_WORKER is set, as it would on workers that lack one of its libraries."""
    pipeline = Pipeline(tmp_path)
    pipeline.write("lacking", f"""
        if os.environ.get("{ON_WORKER}"):
            raise ImportError("no module named 'special_lib'")

        @asset()
        def here():
            return 1
    """)  # fmt: skip
    done = pipeline.run("lacking", out=Path("/proc/self/cwd/out"), extra=("--scheduler", scheduler))
    assert done.returncode == 1
    lines = done.stderr.splitlines()
    storage = [line for line in lines if "cannot write into /proc/self/cwd/out/.quarn" in line]
    imports = [line for line in lines if "cannot import lacking: ImportError" in line]
    assert len(storage) == len(imports) == 2, done.stderr  # each worker, named
    assert "shared file system" in done.stderr and "quarn[dask]" in done.stderr
    assert not (pipeline.out / "here").exists()  # nothing ran


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGKILL], ids=["ctrl-c", "killed"])
def test_a_stopped_run_leaves_no_job_running(tmp_path, scheduler, signum):
    """Ctrl-C stops the jobs before the run ends; a run killed outright cannot, so the
    workers stop the jobs of tasks nobody waits for any more."""
    pipeline = Pipeline(tmp_path)
    pipeline.write("slow", """
        @asset()
        def slow():
            with open("slow.pid.tmp", "w") as f:
                f.write(f"{os.getpid()} {os.getppid()}")
            os.rename("slow.pid.tmp", "slow.pid")
            time.sleep(600)
    """)  # fmt: skip
    runner = pipeline.start("slow", extra=("--scheduler", scheduler))
    try:
        pid_file = tmp_path / "slow.pid"
        found = wait_for(lambda: pid_file.exists() and pid_file.read_text(), "the job", runner)
        pid, template = map(int, found.split())
        assert b"quarn.runner.executors.fork" in Path(f"/proc/{template}/cmdline").read_bytes()
        runner.send_signal(signum)
        stdout, stderr = runner.communicate(timeout=START_SECONDS)
    finally:
        runner.kill()
    if signum == signal.SIGINT:
        assert runner.returncode == 130, stderr
        assert [["slow", "-", "interrupted"]] == [row[:3] for row in summary_rows(stdout)]
        with pytest.raises(ProcessLookupError):  # ended, and reaped by its template
            os.kill(pid, 0)
        assert not alive(template)  # the run ended its template on the worker
    else:
        wait_for(lambda: not alive(pid), "the job to end")


@pytest.mark.parametrize(
    ("options", "hidden", "status", "message"),
    [
        (["--executor", "local", "--scheduler", "tcp://h:1"], False, 2, "--executor dask"),
        (["--scheduler", "h"], False, 2, "not a Dask scheduler address: 'h'"),
        (["--executor", "dask"], True, 1, "pip install 'quarn[dask]'"),
        (["--executor", "dask", "--isolation", "none"], False, 2, "inside this process"),
    ],
    ids=["scheduler-with-local", "bad-address", "no-distributed", "isolation-none"],
)
def test_dask_options_without_a_cluster(tmp_path, options, hidden, status, message):
    hide = tmp_path / "hide"  # stands in for an environment without distributed
    hide.mkdir()
    (hide / "distributed.py").write_text("raise ImportError('No module named distributed')")
    pipeline = Pipeline(tmp_path)
    pipeline.write("one", "@asset()\ndef one():\n    return 1\n")
    path = [str(hide)] * hidden + [p for p in [os.environ.get("PYTHONPATH", "")] if p]
    done = subprocess.run(
        pipeline.command("one", extra=tuple(options)), cwd=tmp_path,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(path)},
        capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=120,
    )  # fmt: skip
    assert done.returncode == status and message in done.stderr, done.stderr
    assert "Traceback" not in done.stderr and not pipeline.out.exists()
