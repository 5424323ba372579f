"""A job's process at its edges: it dies with its parent, and exits as the interpreter would."""

from __future__ import annotations

import os
import signal
import sys
from collections.abc import Callable

_PR_SET_PDEATHSIG = 1
_prctl: list[Callable[..., int] | None] = []  # looked up once: forked jobs ask in microseconds


def die_with_parent(parent: int, signum: int = signal.SIGKILL) -> bool:
    """Asks the kernel to send `signum` when the parent dies; False when the parent is
    already gone (it died before the request could take effect)."""
    if not _prctl:
        _prctl.append(_lookup())
    if _prctl[0] is not None:
        _prctl[0](_PR_SET_PDEATHSIG, int(signum), 0, 0, 0)
    return os.getppid() == parent


def _lookup() -> Callable[..., int] | None:
    if not sys.platform.startswith("linux"):
        return None
    import ctypes

    try:
        prctl: Callable[..., int] = ctypes.CDLL(None, use_errno=True).prctl
    except (OSError, AttributeError):
        return None
    return prctl


def exit_status(exc: SystemExit) -> int:
    """What the interpreter would exit with for this SystemExit (after printing a code that
    is not a number, as it does)."""
    if exc.code is None:
        return 0
    if isinstance(exc.code, int):
        return exc.code & 0xFF
    try:
        sys.stderr.write(f"{exc.code}\n")
    except Exception:  # noqa: BLE001, S110 - a broken stream does not change the status
        pass
    return 1
