"""Which entry points are implemented yet, for the hardening tests that exercise all of them."""

from __future__ import annotations

import tempfile
from collections.abc import Callable

import quarn._quarn as q


def implemented(probe: Callable[[], object]) -> bool:
    try:
        probe()
    except NotImplementedError:
        return False
    except BaseException:  # noqa: BLE001 - any other outcome means the entry point is there
        return True
    return True


def _probe_worker() -> object:
    with tempfile.TemporaryDirectory() as scratch:
        return q.materialize_asset("quarn_no_such_module", "f", scratch)


ASSET = implemented(lambda: q.asset())
INSPECT = implemented(lambda: q.inspect_modules([]))
WORKER = implemented(_probe_worker)
