"""The floor of a forked job: what a fork and an exit cost in a process that has quarn's
modules loaded, as the warm template has (its heap frozen out of the collector's reach, as
the template's is), with nothing done in the child. Prints the median, over ROUNDS rounds,
of the mean wall time of COUNT forks, each waited for before the next.

    python fork_floor.py [COUNT] [ROUNDS]
"""

from __future__ import annotations

import gc
import os
import statistics
import sys
import time

import quarn.runner.executors.fork.template  # noqa: F401 - loaded as in the template
import quarn.runner.job.run  # noqa: F401


def forks(count: int) -> float:
    started = time.perf_counter()
    for _ in range(count):
        pid = os.fork()
        if pid == 0:
            os._exit(0)
        os.waitpid(pid, 0)
    return (time.perf_counter() - started) / count


if __name__ == "__main__":
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    gc.freeze()
    print(statistics.median(forks(count) for _ in range(rounds)))
