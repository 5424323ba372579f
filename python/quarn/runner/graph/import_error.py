"""Where a module's import fails: the file and line of the innermost frame of user code.

Discovery reports a module it could not import in one line, without the place. On such a
failure the module is imported once more, alone, in a subprocess of its own, and the
traceback it prints gives the place.
"""

from __future__ import annotations

import re
import subprocess
import sys
from collections.abc import Sequence

_FRAME = re.compile(r'^  File "(.+)", line (\d+)')
_PROBE = "import importlib, sys; sys.path[:0] = sys.argv[2:]; importlib.import_module(sys.argv[1])"


def import_error(module: str, paths: Sequence[str], timeout: float | None) -> str:
    """`file:line: error: cannot import 'module': Exception: message`, or "" when the
    module imports now or the place cannot be found."""
    try:
        done = subprocess.run(
            [sys.executable, "-c", _PROBE, module, *paths],
            stdin=subprocess.DEVNULL,
            capture_output=True,
            timeout=timeout,
        )
    except (OSError, subprocess.TimeoutExpired, ValueError):
        return ""
    if done.returncode == 0:
        return ""
    return place(done.stderr.decode("utf-8", "replace"), module)


def place(traceback_text: str, module: str) -> str:
    """The error line for the last traceback in `traceback_text`."""
    lines = traceback_text.rstrip("\n").splitlines()
    where = ""
    for line in lines:
        match = _FRAME.match(line)
        if match and not match.group(1).startswith("<frozen "):
            where = f"{match.group(1)}:{match.group(2)}"
    if not where or not lines:
        return ""
    return f"{where}: error: cannot import '{module}': {lines[-1]}"
