"""Random numbers in a forked job are drawn as in a spawned worker.

A spawned worker imports the project afresh, so the global generators of `random` and of
numpy start from fresh entropy in every job, unless the project seeds them while it is
imported, and then every job starts from that seed. A forked job would inherit the
template's generators instead: Python reseeds `random` in every child (losing a seed the
project set), and nothing reseeds numpy (every job would draw the same numbers). Here each
generator is left alone by the project's imports or not: when it was, the child gets fresh
entropy; when the imports seeded it or drew from it, the child starts from that state.
"""

from __future__ import annotations

import random
import sys
from typing import Any


class Seeds:
    def __init__(self) -> None:
        self._random_before = random.getstate()
        self._random_after: Any = None
        self._numpy_at_import: Any = None
        self._reseed_numpy = False

    def numpy_random_imported(self) -> None:
        """Called once `numpy.random` has been imported (and seeded from entropy)."""
        self._numpy_at_import = _numpy_state()

    def settle(self) -> None:
        """After the imports: what must each child do?"""
        state = random.getstate()
        if state != self._random_before:
            self._random_after = state
        if self._numpy_at_import is not None:
            self._reseed_numpy = _same(_numpy_state(), self._numpy_at_import)

    def in_child(self) -> None:
        if self._random_after is not None:
            random.setstate(self._random_after)
        if self._reseed_numpy:
            sys.modules["numpy.random"].seed()


def _numpy_state() -> Any:
    module = sys.modules.get("numpy.random")
    return None if module is None else module.get_state()


def _same(one: Any, other: Any) -> bool:
    """numpy's legacy state: (name, keys array, position, has_gauss, cached gaussian)."""
    if one is None or other is None:
        return False
    return bool(one[0] == other[0] and (one[1] == other[1]).all() and one[2:] == other[2:])
