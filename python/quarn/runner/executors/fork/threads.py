"""Is this process safe to fork? Which module started the threads that make it unsafe?

Forking copies only the calling thread: a lock another thread held at that moment stays
held for ever in the child. So the warm template forks only when no other thread runs, with
two allowances for libraries that make themselves fork-safe:

- a pool that stops its threads in a `pthread_atfork` handler (OpenBLAS, loaded by numpy,
  does this). `quiesce()` forks once with a child that exits at once: the threads that
  are gone after it were such a pool, and are re-created lazily in whichever process uses
  them next, so every job keeps its full thread pool.
- jemalloc's background purging threads (loaded by pyarrow, hence by pandas), whose
  allocator takes all of its locks around a fork and resets its threads in the child.
"""

from __future__ import annotations

import os
import sys
import threading
import time
from collections.abc import Callable
from types import CodeType, FrameType
from typing import Any

_TASKS = "/proc/self/task"
_FORK_SAFE_NAMES = frozenset({"jemalloc_bg_thd"})
_PROBE_SECONDS = 5.0  # a probe child that has not exited by then is stuck in a fork handler


def task_ids() -> set[int]:
    """The kernel's threads of this process, native ones included; on a system without
    /proc, the Python threads stand for them."""
    try:
        return {int(name) for name in os.listdir(_TASKS)}
    except OSError:
        return {t.native_id or 0 for t in threading.enumerate()}


def task_count() -> int:
    """As len(task_ids()), from one stat call: /proc counts a process's threads into the
    link count of its task folder."""
    try:
        return os.stat(_TASKS).st_nlink - 2
    except OSError:
        return threading.active_count()


def _name(tid: int) -> str:
    try:
        with open(f"{_TASKS}/{tid}/comm", encoding="utf-8", errors="replace") as handle:
            return handle.read().strip()
    except OSError:
        return ""


def unsafe_threads() -> list[int]:
    """Threads other than this one that a fork could strand holding a lock."""
    me = threading.get_native_id()
    return sorted(t for t in task_ids() if t != me and _name(t) not in _FORK_SAFE_NAMES)


def quiesce() -> list[int]:
    """Forks a child that exits at once, so that libraries which stop their pools around a
    fork do so, and returns the threads still running after it."""
    if not unsafe_threads():
        return []
    pid = os.fork()
    if pid == 0:
        os._exit(0)
    deadline = time.monotonic() + _PROBE_SECONDS
    while os.waitpid(pid, os.WNOHANG) == (0, 0):
        if time.monotonic() > deadline:  # a fork handler of some library deadlocked
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            return unsafe_threads() or [0]
        time.sleep(0.001)
    return unsafe_threads()


class ImportWatch:
    """Remembers which module was being imported when each new thread appeared.

    Also calls `when_imported[name]` once module `name` has been imported.

    Checks the thread count whenever a module's top-level code starts or returns: a new
    thread belongs to the innermost module whose code was running since the last check
    (the importer, when a module starts; the module itself, when it returns), which
    started it or imported the extension that did. Uses `sys.monitoring`, so watching
    costs a stat call per module and nothing once it stops; without a free tool id, or
    before Python 3.12, nothing is named.
    """

    _TOOLS = (5, 4, 3)  # ids that the usual debuggers, coverage tools and profilers leave

    def __init__(self, when_imported: dict[str, Callable[[], None]] | None = None) -> None:
        self.started_by: dict[int, str] = {}
        self._when_imported = when_imported or {}
        self._count = task_count()
        self._known = task_ids()
        self._tool: int | None = None

    def __enter__(self) -> ImportWatch:
        monitoring: Any = getattr(sys, "monitoring", None)
        if monitoring is None:
            return self
        for tool in self._TOOLS:
            if monitoring.get_tool(tool) is None:
                events = monitoring.events
                monitoring.use_tool_id(tool, "quarn-import-watch")
                monitoring.register_callback(tool, events.PY_START, self._started)
                monitoring.register_callback(tool, events.PY_RETURN, self._returned)
                monitoring.set_events(tool, events.PY_START | events.PY_RETURN)
                self._tool = tool
                break
        return self

    def __exit__(self, *_: object) -> None:
        if self._tool is not None:
            monitoring: Any = getattr(sys, "monitoring")  # noqa: B009 (absent before 3.12)
            events = monitoring.events
            monitoring.set_events(self._tool, 0)
            monitoring.register_callback(self._tool, events.PY_START, None)
            monitoring.register_callback(self._tool, events.PY_RETURN, None)
            monitoring.free_tool_id(self._tool)
            self._tool = None
        self._check(None)

    def _started(self, code: CodeType, _offset: int) -> object:
        if code.co_name != "<module>":
            return getattr(sys, "monitoring").DISABLE  # noqa: B009 (never again for this code)
        self._check(sys._getframe(1).f_back)
        return None

    def _returned(self, code: CodeType, _offset: int, _value: object) -> object:
        if code.co_name != "<module>":
            return getattr(sys, "monitoring").DISABLE  # noqa: B009
        frame = sys._getframe(1)
        self._check(frame)
        if self._when_imported:
            hook = self._when_imported.pop(str(frame.f_globals.get("__name__")), None)
            if hook is not None:
                hook()
        return None

    def _check(self, frame: FrameType | None) -> None:
        count = task_count()
        if count == self._count:
            return
        self._count = count
        while frame is not None and frame.f_code.co_name != "<module>":
            frame = frame.f_back
        module = "" if frame is None else str(frame.f_globals.get("__name__", ""))
        now = task_ids()
        for tid in now - self._known:
            self.started_by.setdefault(tid, module)
        self._known = now


def thread_note(unsafe: list[int], started_by: dict[int, str]) -> str:
    """One line that names what keeps the template from forking."""
    named = [started_by[t] for t in unsafe if started_by.get(t)]
    if named:
        what = f"module '{named[0]}' started a thread when imported"
    else:
        what = "threads were running once the modules were imported"
    return f"{what}; jobs run in spawned workers, as forking could deadlock them"
