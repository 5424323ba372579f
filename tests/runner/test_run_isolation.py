"""`--isolation`: forked jobs stay apart, die with the run and end as spawned ones would."""

from __future__ import annotations

import os
import signal

import pytest
from run_support import Pipeline, alive, outcomes, statuses, wait_for

# `observe` runs after `mutate` changed a module global, a class attribute and sys.path.
STATE = """
SEEN = []

class Box:
    count = 0

@asset()
def mutate():
    SEEN.append(1)
    Box.count += 1
    sys.path.insert(0, "/quarn-nowhere")
    return len(SEEN)

@asset(inputs={"v": mutate})
def observe(v):
    return [len(SEEN), Box.count, "/quarn-nowhere" in sys.path]
"""

CRASHES = """
import ctypes, resource

def no_core():
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))

@asset()
def segfault():
    no_core()
    ctypes.string_at(0)

@asset()
def exits():
    os._exit(3)

@asset()
def hog():  # the address-space limit stands in for the kernel's out-of-memory killer
    size = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    resource.setrlimit(resource.RLIMIT_AS, (size + (256 << 20),) * 2)
    return len(bytearray(1 << 30))

@asset(inputs={"a": segfault})
def after_crash(a):
    return a

@asset()
def survivor():
    return "alive"
"""

CRASH_ERRORS = {
    "segfault": ("failed", "killed by signal 11 (SIGSEGV)"),
    "exits": ("failed", "worker exited with status 3 without a failure record"),
    "hog": ("failed", "MemoryError:"),
    "after_crash": ("skipped", "upstream segfault failed"),
}


# `first` edits its module while the run goes on; `second` runs after it.
EDITED = """
@asset()
def first():
    path = __file__
    with open(path) as f:
        text = f.read()
    with open(path, "w") as f:
        f.write(text.replace('"as loaded"', '"after the edit"'))
    return 1

@asset(inputs={"v": first})
def second(v):
    return "as loaded"
"""


@pytest.mark.parametrize(
    ("isolation", "modules", "observed"),
    [
        ("fork", ("state", "crashes", "edited"), [0, 0, False]),
        ("none", ("state", "edited"), [1, 1, False]),  # no isolation but the import path's
    ],
)
def test_jobs_share_nothing_and_a_crash_fails_only_its_job(tmp_path, isolation, modules, observed):
    pipe = Pipeline(tmp_path)
    for name, body in (("state", STATE), ("crashes", CRASHES), ("edited", EDITED)):
        pipe.write(name, body)
    done = pipe.run(*modules, extra=("--isolation", isolation, "--jobs", "1"))
    assert pipe.value("observe") == observed, done.stderr
    failed = {k: v for k, v in outcomes(done.stdout).items() if v[0] != "succeeded"}
    assert failed == {k: v for k, v in CRASH_ERRORS.items() if "crashes" in modules}
    assert done.returncode == (1 if failed else 0)
    if failed:
        assert pipe.value("survivor") == "alive"
        assert not list(tmp_path.glob("**/core*"))
    if "edited" in modules:  # a run executes the code it loaded, the next run the edit
        assert pipe.value("second") == "as loaded"
        again = pipe.run("edited", extra=("--isolation", isolation))
        assert statuses(again.stdout)["second", "-"] == "succeeded"
        assert pipe.value("second") == "after the edit"


# A module prints at import: in a forked job's log that line never appears (the template
# imported the module once), in a spawned worker's it does.
THREADED = """
import thread_starter
print("imported")

@asset()
def job():
    return 6
"""

STARTER = """
import threading
threading.Thread(target=time.sleep, args=(60,), daemon=True).start()
"""

LIBRARIES = """
import numpy, pandas, pyarrow
print("imported")

@asset()
def job():
    product = numpy.ones((300, 300)) @ numpy.ones((300, 3))  # the BLAS pool, in the child
    return int(pandas.DataFrame(product).sum().sum() / 300 / 300 / 3 * 6)
"""


@pytest.mark.parametrize(
    ("body", "note"),
    [
        (THREADED, "quarn: note: module 'thread_starter' started a thread when imported; "
         "jobs run in spawned workers, as forking could deadlock them\n"),
        (LIBRARIES, None),
    ],
    ids=["thread-at-import", "numpy-pandas-pyarrow"],
)  # fmt: skip
def test_threads_at_import_fall_back_to_spawn_unless_they_survive_a_fork(tmp_path, body, note):
    if body is LIBRARIES:
        for name in ("numpy", "pandas", "pyarrow"):
            pytest.importorskip(name)
    pipe = Pipeline(tmp_path)
    pipe.write("thread_starter", STARTER)
    pipe.write("pipeline", body)
    done = pipe.run("pipeline", extra=("--isolation", "fork"))
    assert (done.returncode, pipe.value("job")) == (0, 6), done.stderr
    log = pipe.out / "job" / "_" / "worker.log"
    assert log.exists() == (note is not None)  # spawned: the import printed in the worker
    assert [line for line in done.stderr.splitlines(True) if "note" in line] == (
        [note] if note else []
    )
    assert "Warning" not in done.stderr


# Two jobs that hang, each writing "pid parent" first.
HANG = """
def hang(name):
    with open(os.path.join('ROOT', name), "w") as f:
        f.write(f"{os.getpid()} {os.getppid()}")
    time.sleep(120)

@asset()
def one():
    hang("one")

@asset()
def two():
    hang("two")
"""


@pytest.mark.skipif(not os.path.isdir("/proc/self"), reason="reads process states in /proc")
@pytest.mark.parametrize(
    ("isolation", "signum"),
    [
        ("fork", signal.SIGINT),
        ("fork", signal.SIGKILL),
        ("none", signal.SIGINT),
        ("none", signal.SIGTERM),  # a stop interrupts a job of the runner's own process too
        ("none", signal.SIGHUP),
    ],
)
def test_jobs_end_with_the_run(tmp_path, isolation, signum):
    pipe = Pipeline(tmp_path)
    pipe.write("hang", HANG.replace("'ROOT'", repr(str(tmp_path))))
    runner = pipe.start("hang", extra=("--isolation", isolation))
    names = ["one", "two"] if isolation == "fork" else ["one"]  # none: one job at a time
    files = [tmp_path / name for name in names]
    wait_for(lambda: all(f.exists() and f.read_text() for f in files), "the jobs", runner)
    pids = [int(n) for f in files for n in f.read_text().split()]  # each job and its parent
    if isolation == "fork":
        assert pids[1] == pids[3] != runner.pid  # both forked from the template
    else:
        pids = [runner.pid]  # whose parent is this test
    runner.send_signal(signum)
    stdout, _ = runner.communicate(timeout=30)
    wait_for(lambda: not any(alive(pid) for pid in pids), "the jobs to end with the run")
    if signum != signal.SIGKILL:
        assert runner.returncode == 128 + signum
        assert statuses(stdout) == {
            ("one", "-"): "interrupted",
            ("two", "-"): "interrupted" if isolation == "fork" else "not run",
        }
        assert not (pipe.out / "one").exists()  # an interrupted job leaves no folder


RANDOM = """
import random, numpy.random  # numpy would load its random module only when used
SEED

@asset(partitions={"k": partitions([1, 2, 3])})
def draw(k):
    return [random.random(), float(numpy.random.random())]
"""


@pytest.mark.parametrize("seeded", [False, True])
def test_forked_jobs_draw_random_numbers_as_spawned_workers_do(tmp_path, seeded):
    numpy = pytest.importorskip("numpy")
    pipe = Pipeline(tmp_path)
    seed = "random.seed(7); numpy.random.seed(7)" if seeded else ""
    pipe.write("rand", RANDOM.replace("SEED", seed))
    assert pipe.run("rand", extra=("--isolation", "fork")).returncode == 0
    drawn = pipe.values("draw")
    if seeded:  # every job starts from the seed, as after a fresh import
        random = __import__("random").Random(7)
        numpy.random.seed(7)
        assert drawn == [[random.random(), float(numpy.random.random())]] * 3
    else:
        assert len({tuple(d) for d in drawn}) == 3 and len({d[1] for d in drawn}) == 3


# `killer` kills the template, its parent, and so itself; `later` starts after that.
KILLER = """
@asset()
def killer():
    os.kill(os.getppid(), signal.SIGKILL)
    time.sleep(60)

@asset()
def later():
    return 1
"""


def test_a_dead_template_fails_its_jobs_and_the_rest_is_spawned(tmp_path):
    pipe = Pipeline(tmp_path)
    pipe.write("killer", KILLER)
    done = pipe.run("killer", extra=("--isolation", "fork", "--jobs", "1"))
    why = "the warm template was killed by signal 9 (SIGKILL)"
    rows = outcomes(done.stdout)
    assert rows == {"killer": ("failed", f"lost: {why}"), "later": ("succeeded", "")}
    assert pipe.value("later") == 1
    assert f"quarn: note: {why}; the remaining jobs run in spawned workers\n" in done.stderr


def test_os_exit_0_in_a_job_without_isolation_ends_the_run_as_a_failure(tmp_path):
    pipe = Pipeline(tmp_path)
    pipe.write("quits", """
        import os
        @asset()
        def quits():
            os._exit(0)
    """)  # fmt: skip
    done = pipe.run("quits", extra=("--isolation", "none"))
    assert done.returncode == 1
    assert "quarn: a job called os._exit(0); the run ends" in done.stderr


# Each job forks a helper that ends in its own way; only the job's process reports the job.
HELPERS = """
def helper_then(ending):
    pid = os.fork()
    if pid == 0:
        if ending == "raise":
            raise ValueError("in the helper")
        if ending == "return":
            return "the helper's value"
        sys.exit(3 if ending == "exit 3" else 0)
    _, status = os.waitpid(pid, 0)
    return ["parent", os.waitstatus_to_exitcode(status)]

@asset(partitions={"ending": partitions(["exit 0", "exit 3", "raise", "return"])})
def forks(ending):
    return helper_then(ending)
"""


@pytest.mark.parametrize("isolation", ["fork", "spawn", "none"])
def test_a_helper_the_job_forks_leaves_the_outcome_to_the_job(tmp_path, isolation):
    pipe = Pipeline(tmp_path)
    pipe.write("helpers", HELPERS)
    done = pipe.run("helpers", extra=("--isolation", isolation))
    assert done.returncode == 0, done.stdout + done.stderr
    # as each helper would end in a program of its own
    assert pipe.values("forks") == [["parent", 0], ["parent", 3], ["parent", 1], ["parent", 0]]
    log = next(pipe.out.glob("forks/*/worker.log")).read_text()
    assert "ValueError: in the helper" in log
