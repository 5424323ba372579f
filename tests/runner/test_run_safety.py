"""Runs that go wrong: overlapping runs, killed runners, links, clashing folders, hung,
flaky and crashing jobs, hostile names and texts, and an unreadable manifest."""

from __future__ import annotations

import os
import select
import signal
import subprocess

import pytest
from run_support import Pipeline, alive, edit, outcomes, statuses, wait_for

from quarn.runner.canonical import short_hash

# One run of these, with --retries 1 --timeout 2, over a manifest nested too deep to read.
TROUBLE = """
def helper(data):
    return data["b"]

@asset()
def nested_failure():
    return helper({"a": 1})

@asset()
def hostile():
    raise ValueError("\\x1b[2K\\rsucceeded")

@asset()
def flaky():
    if not os.path.exists("flaky.flag"):
        open("flaky.flag", "w").close()
        raise RuntimeError("first attempt")
    return "second"

@asset()
def hung():
    time.sleep(60)

def named():
    return "odd name"
named.__name__ = named.__qualname__ = "nul\\x00name"
globals()[named.__name__] = asset()(named)

class Dies(type):
    @property
    def __name__(cls):  # read after value.json is written, before result.json
        os.kill(os.getpid(), signal.SIGKILL)

class Count(int, metaclass=Dies):
    pass

@asset()
def half_written():
    return Count(3)
"""


def test_failures_are_reported_whole_and_retried(tmp_path):
    pipe = Pipeline(tmp_path)
    pipe.write("trouble", TROUBLE)
    pipe.out.mkdir()
    (pipe.out / "manifest.json").write_text("[" * 100_000)
    done = pipe.run("trouble", extra=("--retries", "1", "--timeout", "2"))
    assert done.returncode == 1
    assert "cannot read" in done.stderr and "every job runs again" in done.stderr
    twice = lambda error: f"{error} (attempt 2; attempt 1: {error})"  # noqa: E731
    assert outcomes(done.stdout) == {
        "nested_failure": ("failed", twice("KeyError: 'b'")),
        "hostile": ("failed", twice("ValueError: \\x1b[2K\\rsucceeded")),
        "flaky": ("succeeded", "(attempt 2; attempt 1: RuntimeError: first attempt)"),
        "hung": ("failed", twice("timed out after 2 s")),
        "nul\\x00name": ("succeeded", ""),
        "half_written": ("failed", twice("killed by signal 9 (SIGKILL), possibly out of memory")),
    }
    assert "\x1b" not in done.stdout + done.stderr
    assert "attempt 1 failed: flaky: RuntimeError: first attempt" in done.stderr
    # the helper's frame and the log, under the failed job's row
    assert done.stdout.count('    return data["b"]') == 1
    failed = pipe.out / "nested_failure" / "_" / "failed"  # beside the last good value
    assert f"    log: {failed / 'worker.log'}" in done.stdout
    log = (failed / "worker.log").read_text()
    assert log.startswith("Traceback") and log.rstrip().endswith("KeyError: 'b'")
    assert pipe.value("flaky") == "second"
    # a worker killed between its two files leaves nothing that looks like a result
    kept = pipe.out / "half_written" / "_"
    assert [p.name for p in kept.iterdir()] == ["failed"]
    assert [p.name for p in (kept / "failed").iterdir()] in ([], ["worker.log"])
    jobs = pipe.manifest()["jobs"]
    assert {job for job, entry in jobs.items() if entry["status"] == "succeeded"} == {
        "flaky/_",
        "nul_name-" + short_hash("nul\x00name", 8) + "/_",  # an unsafe name: hashed
    }


# `slow` writes its pid and its child's pid, then waits while ROOT/hold exists.
SLOW = """
import subprocess

@asset()
def slow():
    root = 'ROOT'
    if os.path.exists(os.path.join(root, "hold")):
        child = subprocess.Popen(["sleep", "60"])
        with open(os.path.join(root, "pids.tmp"), "w") as f:
            f.write(f"{os.getpid()} {child.pid}")
        os.rename(os.path.join(root, "pids.tmp"), os.path.join(root, "pids"))
        while os.path.exists(os.path.join(root, "hold")):
            time.sleep(0.05)
    return "OLD CODE"
"""


def start_slow(pipe: Pipeline, *extra: str) -> tuple[subprocess.Popen, int, int]:
    """Starts a run whose `slow` job holds; returns it and the worker's and child's pids."""
    pipe.write("slow", SLOW.replace("'ROOT'", repr(str(pipe.root))))
    (pipe.root / "hold").write_text("")
    process = pipe.start("slow", extra=extra)
    wait_for((pipe.root / "pids").exists, "the job", process)
    worker, child = map(int, (pipe.root / "pids").read_text().split())
    return process, worker, child


def wait_gone(pid: int) -> None:
    wait_for(lambda: not alive(pid), f"process {pid} to end with its run", seconds=10)


@pytest.mark.parametrize("signum", [signal.SIGKILL, signal.SIGHUP])
def test_workers_end_with_their_run(tmp_path, signum):
    pipe = Pipeline(tmp_path)
    process, worker, child = start_slow(pipe)
    try:
        process.send_signal(signum)
        stdout, _ = process.communicate(timeout=30)
        wait_gone(worker)
        if signum == signal.SIGHUP:  # a stop reaches what the worker started too
            assert process.returncode == 128 + signal.SIGHUP
            assert statuses(stdout) == {("slow", "-"): "interrupted"}
            wait_gone(child)
    finally:
        (tmp_path / "hold").unlink()  # should a worker have outlived its run, it ends now
        if alive(child):
            os.kill(child, signal.SIGKILL)
    edit(pipe.mods / "slow.py", "OLD CODE", "NEW CODE")
    (pipe.out / ".tmp-cut-short.part").write_text("{")  # a manifest write the kill cut short
    done = pipe.run("slow")
    assert done.returncode == 0, done.stderr
    assert pipe.value("slow") == "NEW CODE"
    assert list((pipe.out / ".quarn" / "runs").iterdir()) == []  # the dead run's folder too
    assert not (pipe.out / ".tmp-cut-short.part").exists()


# The runner, dying just after the first rename of a promotion: the job's old folder is
# aside, its new one not yet in place.
DIES_IN_A_PROMOTION = """
import os, runpy, signal, sys
rename = os.rename
def dying(src, dst):
    rename(src, dst)
    if os.sep + "aside" + os.sep in dst:
        os.kill(os.getpid(), signal.SIGKILL)
os.rename = dying
sys.argv[1:] = sys.argv[2:]
runpy.run_module("quarn.run", run_name="__main__")
"""


def test_a_runner_killed_between_the_two_renames_of_a_promotion(tmp_path):
    pipe = Pipeline(tmp_path)
    pipe.write("two", """
        @asset()
        def a():
            return "a"

        @asset()
        def b():
            return "b"
    """)  # fmt: skip
    assert pipe.run("two").returncode == 0
    command = pipe.command("two", extra=("--force", "--select", "a"))
    killed = subprocess.run(
        [command[0], "-c", DIES_IN_A_PROMOTION, *command[1:]], cwd=pipe.root, capture_output=True
    )
    assert killed.returncode == -signal.SIGKILL, killed.stderr
    assert not (pipe.out / "a" / "_").exists()  # no folder, rather than a mix of two runs' files
    again = pipe.run("two")
    assert again.returncode == 0, again.stderr
    assert statuses(again.stdout) == {("a", "-"): "succeeded"}  # that job alone runs again
    assert (pipe.value("a"), pipe.value("b")) == ("a", "b")
    assert list((pipe.out / ".quarn" / "runs").iterdir()) == []  # the old folder, set aside


def test_one_run_per_output_directory(tmp_path):
    pipe = Pipeline(tmp_path)
    first, _, _ = start_slow(pipe)
    try:
        second = pipe.run("slow")
        assert second.returncode == 2
        assert f"is in use by another run (process {first.pid}, started " in second.stderr
        assert "pass --wait" in second.stderr
        waiting = pipe.start("slow", extra=("--wait",))
        ready, _, _ = select.select([waiting.stderr], [], [], 60)  # it waits, not fails
        assert ready and waiting.stderr.readline().startswith("python -m quarn.run: waiting for")
    finally:
        (tmp_path / "hold").unlink()
    assert first.wait(30) == 0
    stdout, _ = waiting.communicate(timeout=60)
    assert waiting.returncode == 0
    assert stdout == f"nothing to do: 1 job up to date in {pipe.out}\n"  # the first run's kept


def test_links_under_the_output_directory_are_refused(tmp_path):
    pipe = Pipeline(tmp_path)
    job = "\n@asset()\ndef {}():\n    print('hello')\n    return 1\n"
    pipe.write("links", job.format("quiet") + job.format("loud"))
    assert pipe.run("links").returncode == 0
    (tmp_path / "elsewhere").mkdir()
    os.rename(pipe.out / "quiet", tmp_path / "moved")
    (pipe.out / "quiet").symlink_to(tmp_path / "elsewhere")  # a job's folder
    (tmp_path / "kept").write_text("keep")
    (pipe.out / "loud/_/worker.log").unlink()
    (pipe.out / "loud/_/worker.log").symlink_to(tmp_path / "kept")  # a file in it
    done = pipe.run("links", extra=("--force",))
    assert done.returncode == 1
    links = {"quiet": "quiet", "loud": "loud/_/worker.log"}
    assert outcomes(done.stdout) == {
        name: ("failed", f"{pipe.out / link} is a symbolic link; quarn does not write through "
               "links") for name, link in links.items()
    }  # fmt: skip
    assert os.listdir(tmp_path / "elsewhere") == [] and (tmp_path / "kept").read_text() == "keep"


def test_pruning_and_cleaning_leave_what_a_link_points_at(tmp_path):
    pipe = Pipeline(tmp_path)
    path = pipe.write("keyed", """
        @asset(partitions={"y": partitions([1, 2])})
        def sales(y):
            return y
    """)  # fmt: skip
    assert pipe.run("keyed").returncode == 0
    elsewhere = tmp_path / "elsewhere"
    (pipe.out / "sales").rename(elsewhere)
    (pipe.out / "sales").symlink_to(elsewhere)
    edit(path, "[1, 2]", "[1]")
    pipe.run("keyed", extra=("--prune",))
    pipe.quarn("clean", str(pipe.out))
    assert len(list(elsewhere.iterdir())) == 2


def test_a_commit_that_fails_leaves_the_manifest_unsaved_until_one_works(tmp_path, monkeypatch):
    from quarn.runner.executors.commit import Committer
    from quarn.runner.store.manifest import Manifest

    manifest = Manifest(str(tmp_path))
    manifest.record("a/_", {"asset": "a", "status": "succeeded", "digest": "d"})
    committer = Committer(str(tmp_path), manifest)
    works = Manifest.write

    def full(self: Manifest, text: str) -> None:
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(Manifest, "write", full)
    assert committer.commit({str(tmp_path)}) == ""  # nothing failed before it
    assert committer.wait() == "[Errno 28] No space left on device" and manifest.dirty
    assert not (tmp_path / "manifest.json").exists()
    monkeypatch.setattr(Manifest, "write", works)
    assert committer.commit(set()) == ""
    assert committer.wait() == "" and not manifest.dirty
    assert Manifest.load(str(tmp_path))[0].jobs["a/_"]["digest"] == "d"
