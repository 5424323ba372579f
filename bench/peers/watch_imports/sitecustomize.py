"""Records which processes import pandas: with this folder on PYTHONPATH, every interpreter
that finds pandas appends its process id and command line to the file named by
QUARN_BENCH_IMPORTS. A hook on the import system, so it holds for processes that leave by
`os._exit` too (no exit handler would run there)."""

from __future__ import annotations

import os
import sys
from typing import Any

WATCHED = "pandas"


class _Watch:
    @staticmethod
    def find_spec(name: str, path: Any = None, target: Any = None) -> None:
        if name == WATCHED and os.environ.get("QUARN_BENCH_IMPORTS"):
            with open(os.environ["QUARN_BENCH_IMPORTS"], "a", encoding="utf-8") as log:
                log.write(f"{os.getpid()} {' '.join(sys.orig_argv)}\n")
        return None


sys.meta_path.insert(0, _Watch)
