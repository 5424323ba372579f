"""The warm template's hard paths: each fault happens in the template, and the run goes on."""

from __future__ import annotations

import pytest
from run_support import Pipeline, statuses

# Three jobs, one at a time; each says whether it was forked from the template (its module
# was imported in another process) or spawned (imported in its own).
JOBS = """
IMPORTED_IN = os.getpid()
FAULT

@asset(partitions={"k": partitions([1, 2, 3])})
def job(k):
    ACTION
    return IMPORTED_IN != os.getpid()
"""

# After the template's first fork (the spare the first job takes), a thread runs in it.
THREAD_AFTER_START = """
import threading
os.register_at_fork(after_in_parent=lambda: threading.Thread(
    target=time.sleep, args=(60,), daemon=True).start())
"""

# The template's second fork (the spare for the second job) fails as with no process left.
FORK_FAILS = """
import errno
_forks, _fork = [], os.fork

def failing_once():
    _forks.append(1)
    if len(_forks) == 2:
        raise OSError(errno.EAGAIN, os.strerror(errno.EAGAIN))
    return _fork()

os.fork = failing_once
"""

# The first job kills the spare forked for the second while it waits, and sees it die.
KILL_THE_SPARE = """
    if k == 1:
        kill_sibling()
"""
KILLER = """
def state(pid):
    try:
        return open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    except OSError:
        return ["X", "0"]

def kill_sibling():
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        siblings = [int(p) for p in os.listdir("/proc") if p.isdigit() and int(p) != os.getpid()
                    and int(state(p)[1]) == os.getppid() and state(p)[0] != "Z"]
        if siblings:
            os.kill(siblings[0], signal.SIGKILL)
            while state(siblings[0])[0] not in "ZX":
                time.sleep(0.01)
            return
        time.sleep(0.01)
"""

NO_THREADS = (
    "quarn: note: threads started in the template; the remaining jobs run in spawned workers"
)
NO_FORK = (
    "quarn: note: cannot fork: Resource temporarily unavailable; such a job runs in a "
    "spawned worker"
)


@pytest.mark.parametrize(
    ("fault", "action", "forked", "notes"),
    [
        (THREAD_AFTER_START, "", [True, False, False], [NO_THREADS]),
        (FORK_FAILS, "", [True, False, True], [NO_FORK]),
        (KILLER, KILL_THE_SPARE, [True, True, True], []),
    ],
    ids=["thread-after-start", "fork-fails", "spare-dies-waiting"],
)
def test_the_template_survives_its_faults_and_loses_no_job(tmp_path, fault, action, forked, notes):
    pipe = Pipeline(tmp_path)
    pipe.write("jobs", JOBS.replace("FAULT", fault).replace("    ACTION\n", action))
    done = pipe.run("jobs", extra=("--isolation", "fork", "--jobs", "1"))
    assert (done.returncode, set(statuses(done.stdout).values())) == (0, {"succeeded"}), (
        done.stdout + done.stderr
    )
    assert pipe.values("job") == forked
    assert [line for line in done.stderr.splitlines() if "note" in line] == notes
