"""Jobs forked from the warm template, and spawned when it cannot fork them."""

from __future__ import annotations

import itertools
import os
import selectors
import signal
import time
from collections.abc import Callable
from contextlib import suppress

from quarn.runner.executors.backend import Backend, JobExit
from quarn.runner.executors.fork.client import Refused, TemplateError, TemplateProcess
from quarn.runner.plan.jobs import Job

_MIXED_POLL_SECONDS = 0.01


class ForkBackend:
    """Jobs forked from the warm template.

    Should threads appear in the template after all, it refuses further jobs: those run
    in spawned workers (`fallback`), one note says why, and the forked jobs still running
    finish normally. A job the template cannot fork (the system refused the fork) is
    spawned instead. Should the template die, its jobs are lost (each fails with that
    reason) and the rest of the run is spawned too."""

    remote = False

    def __init__(
        self,
        template: TemplateProcess,
        fallback: Callable[[], Backend],
        note: Callable[[str], None],
    ) -> None:
        self._template: TemplateProcess | None = template
        self._forking = True
        self._make_fallback = fallback
        self._fallback: Backend | None = None
        self._note = note
        self._numbers = itertools.count()
        self._running: dict[int, tuple[Job, int]] = {}  # request number -> job, pid
        self._numbered: dict[Job, int] = {}
        self._lost: list[tuple[Job, JobExit]] = []
        self._noted: set[str] = set()
        self._selector = selectors.DefaultSelector()
        self._selector.register(template.channel, selectors.EVENT_READ)
        self._selector.register(template.done, selectors.EVENT_READ)

    def start(self, job: Job, spec_path: str, log_path: str) -> None:
        if self._forking and self._template is not None:
            number = next(self._numbers)
            try:
                pid = self._template.start(number, spec_path, log_path)
            except Refused as refused:
                if refused.threads:
                    self._stop_forking(str(refused))
                elif str(refused) not in self._noted:  # the next job tries a fork again
                    self._noted.add(str(refused))
                    self._note(f"quarn: note: {refused}; such a job runs in a spawned worker")
            except TemplateError as exc:  # the job was not handed over: it is spawned
                self._lose_template(str(exc))
            else:
                self._running[number] = (job, pid)
                self._numbered[job] = number
                return
        if self._fallback is None:
            self._fallback = self._make_fallback()
        self._fallback.start(job, spec_path, log_path)

    def wait(self, timeout: float | None) -> list[tuple[Job, JobExit]]:
        ended = self._collect()
        if self._fallback is not None:
            if self._running:  # forked and spawned jobs at once: poll both for a while
                timeout = 0.0 if timeout is None else min(timeout, _MIXED_POLL_SECONDS)
            ended += self._fallback.wait(0.0 if ended else timeout)
        elif not ended and self._running:
            self._selector.select(timeout)
            ended = self._collect()
        elif not ended and timeout:  # a retry waiting out its back-off: nothing to watch
            time.sleep(timeout)
        if not self._forking and not self._running:
            self._close_template()
        return ended

    def stop(self, job: Job, signum: int) -> None:
        number = self._numbered.get(job)
        if number is not None:
            with suppress(ProcessLookupError, PermissionError):
                os.killpg(self._running[number][1], signum)
        elif self._fallback is not None:
            self._fallback.stop(job, signum)

    def close(self) -> None:
        self._close_template()  # the template kills whatever it still runs
        if self._fallback is not None:
            self._fallback.close()
        self._selector.close()

    def _collect(self) -> list[tuple[Job, JobExit]]:
        ended, self._lost = self._lost, []
        if self._template is None:
            return ended
        try:
            exits = self._template.exited()
        except TemplateError as exc:
            self._lose_template(str(exc))
            ended += self._lost
            self._lost = []
            return ended
        for number, status in exits:
            entry = self._running.pop(number, None)
            if entry is not None:
                del self._numbered[entry[0]]
                ended.append((entry[0], JobExit(status)))
        return ended

    def _stop_forking(self, why: str) -> None:
        self._forking = False
        self._note(f"quarn: note: {why}")

    def _lose_template(self, why: str) -> None:
        """The template is gone: so are its jobs (the kernel kills them with it)."""
        for job, pid in self._running.values():
            with suppress(ProcessLookupError, PermissionError):
                os.killpg(pid, signal.SIGKILL)
            self._lost.append((job, JobExit(None, why)))
        self._running.clear()
        self._numbered.clear()
        self._stop_forking(f"{why}; the remaining jobs run in spawned workers")
        self._close_template()

    def _close_template(self) -> None:
        template, self._template = self._template, None
        if template is not None:
            for registered in (template.channel, template.done):
                with suppress(KeyError, ValueError):
                    self._selector.unregister(registered)
            template.close()
