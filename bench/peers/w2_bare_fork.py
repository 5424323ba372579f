"""The floor of forking for W2: a plain script that writes the frame as parquet, then forks
one process per group-by, two at a time; each reads the parquet, groups and writes its
result as parquet, and exits. Everything a job needs is loaded before the forks (pandas,
and pyarrow's parquet support, which writing the frame loads, and the dataset module,
which reading loads), so that no child imports anything: the floor.

    python w2_bare_fork.py OUT
"""

from __future__ import annotations

import os
import sys
import warnings

import pandas as pd
import pyarrow.dataset  # noqa: F401 - what reading a parquet file needs, loaded before the forks
from w2_work import PARTS, group, make_frame

AT_ONCE = 2
# pyarrow's thread pool, which it starts again in a child after a fork, is all there is.
warnings.filterwarnings("ignore", "This process .* is multi-threaded", DeprecationWarning)


def main(out: str) -> None:
    source = os.path.join(out, "frame.parquet")
    make_frame().to_parquet(source)
    running: set[int] = set()
    failed = 0
    for part in range(PARTS):
        while len(running) >= AT_ONCE:
            failed += _reap(running)
        pid = os.fork()
        if pid == 0:
            status = 1
            try:
                group(pd.read_parquet(source), part).to_parquet(
                    os.path.join(out, f"grouped_{part}.parquet")
                )
                status = 0
            finally:
                os._exit(status)
        running.add(pid)
    while running:
        failed += _reap(running)
    if failed:
        raise SystemExit(f"{failed} jobs failed")


def _reap(running: set[int]) -> int:
    pid, status = os.wait()
    running.discard(pid)
    return int(os.waitstatus_to_exitcode(status) != 0)


if __name__ == "__main__":
    main(sys.argv[1])
