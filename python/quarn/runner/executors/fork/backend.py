"""The runner's end of the warm template: discovery through it, then one fork per job."""

from __future__ import annotations

import itertools
import os
import select
import selectors
import signal
import socket
import subprocess
import sys
import time
from collections.abc import Callable, Mapping, Sequence
from contextlib import suppress
from dataclasses import dataclass
from typing import Any, TextIO

from quarn.runner.executors.backend import Backend, JobExit
from quarn.runner.executors.fork.wire import Lines, encode
from quarn.runner.plan.jobs import Job
from quarn.runner.text import one_line

_CLOSE_GRACE_SECONDS = 5.0
_MIXED_POLL_SECONDS = 0.01
_ANSWER_SECONDS = 30.0
_OUTPUT_GRACE_SECONDS = 1.0  # for the end of the template's output, once it is ready


class TemplateError(Exception):
    """The template ended, or never answered as it should."""


class Refused(Exception):
    """The template did not fork this job: `threads` when threads appeared in it (the job
    can be spawned instead), else fork itself failed."""

    def __init__(self, reason: str, threads: bool) -> None:
        super().__init__(reason)
        self.threads = threads


@dataclass(frozen=True, slots=True)
class Ready:
    document: Any
    skipped: list[str]
    note: str | None  # why jobs cannot be forked, when they cannot


def template_command(
    channel: int, done: int, output: int, modules: Sequence[str], paths: Sequence[str]
) -> list[str]:
    command = [sys.executable, "-m", "quarn.runner.executors.fork.template"]
    command += [str(channel), str(done), str(output), str(os.getpid())]
    for path in paths:
        command += ["--path", path]
    return [*command, *modules]


class TemplateProcess:
    """Starts the template, reads its inspection document, asks it for jobs.

    Until it has sent the document, the template's output (what the modules print while
    imported) comes through a pipe and is passed on escaped, as discovery's output always
    is; then it writes to the runner's standard error directly."""

    def __init__(
        self, modules: Sequence[str], paths: Sequence[str], environment: Mapping[str, str]
    ) -> None:
        ours, theirs = socket.socketpair()
        self.done, done = socket.socketpair(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.done.setblocking(False)
        printed, output = os.pipe()
        terminal = os.dup(2)
        try:
            self.process = subprocess.Popen(
                template_command(theirs.fileno(), done.fileno(), terminal, modules, paths),
                stdin=subprocess.DEVNULL,
                stdout=output,
                stderr=output,
                pass_fds=[theirs.fileno(), done.fileno(), terminal],
                env={**os.environ, **environment},
                process_group=0,  # a terminal's Ctrl-C reaches the runner, which decides
            )
        except OSError as exc:
            ours.close()
            self.done.close()
            os.close(printed)
            raise TemplateError(f"cannot start discovery: {exc}") from None
        finally:
            theirs.close()
            done.close()
            os.close(output)
            os.close(terminal)
        self.channel = ours
        self._printed = printed
        self._lines = Lines(ours)
        self._inbox: list[dict[str, Any]] = []
        self._spare: tuple[int, int] | None = None  # pid, the pipe it waits on for a job

    def fileno(self) -> int:
        return self.channel.fileno()

    def ready(self, stderr: TextIO, timeout: float | None) -> Ready:
        """Waits for the document: the template has imported the modules. Passes on what
        they printed meanwhile."""
        deadline = None if timeout is None else time.monotonic() + timeout
        selector = selectors.DefaultSelector()
        selector.register(self.channel, selectors.EVENT_READ)
        selector.register(self._printed, selectors.EVENT_READ)
        pending = b""
        message: dict[str, Any] | None = None
        grace_end: float | None = None  # once ready, for the rest of the output
        try:
            while message is None or self._printed >= 0:
                ends = [t for t in (deadline, grace_end) if t is not None]
                events = selector.select(max(0.0, min(ends) - time.monotonic()) if ends else None)
                if not events and message is not None:
                    break  # a process the modules started holds the output open: let it be
                if not events:
                    self.process.kill()
                    self.close()
                    raise TemplateError(f"discovery timed out after {timeout:g} s")
                for key, _ in events:
                    if key.fileobj == self._printed:
                        chunk = os.read(self._printed, 1 << 16)
                        if not chunk:
                            selector.unregister(self._printed)
                            os.close(self._printed)
                            self._printed = -1
                        *lines, pending = (pending + chunk).split(b"\n")
                        if not chunk and pending:
                            lines, pending = [*lines, pending], b""
                        _pass_on(lines, stderr)
                        continue
                    self._absorb(self._lines.receive())
                    if message is None:
                        message = self._take("ready", None)
                    if self._lines.closed:
                        selector.unregister(self.channel)
                        message = {} if message is None else message
                    if message is not None and grace_end is None:
                        grace_end = time.monotonic() + _OUTPUT_GRACE_SECONDS
        finally:
            selector.close()
        body = message.get("ready")
        if not isinstance(body, dict) or not isinstance(body.get("document"), dict):
            code = self.process.wait() if self._lines.closed else 0
            self.close()
            if code:
                raise TemplateError(f"discovery failed with exit status {code}")
            raise TemplateError("discovery wrote no inspection document")
        skipped = body.get("skipped")
        note = body.get("note")
        return Ready(
            body["document"],
            [m for m in skipped if isinstance(m, str)] if isinstance(skipped, list) else [],
            note if isinstance(note, str) else None,
        )

    def start(self, job: int, spec_path: str, log_path: str) -> int:
        """Starts the job and returns its pid, which is also its process group: the spare
        takes it when there is one (no round trip), else the template forks it."""
        if self._spare is not None:
            (pid, pipe), self._spare = self._spare, None
            request = f"{job}\0{spec_path}\0{log_path}".encode("utf-8", "surrogateescape")
            try:
                os.write(pipe, request)  # far below the pipe's size: never blocks
                handed = True
            except OSError:  # it died while waiting
                handed = False
            finally:
                os.close(pipe)
            try:
                self.channel.sendall(encode({"took": job if handed else -1, "pid": pid}))
            except OSError:
                raise TemplateError(self._ended_text()) from None
            if handed:
                return pid
        try:
            self.channel.sendall(encode({"run": job, "spec": spec_path, "log": log_path}))
        except OSError:
            raise TemplateError(self._ended_text()) from None
        reply = self._next("started", job)
        if "refused" in reply:
            raise Refused(str(reply.get("reason", "")), reply.get("threads") is True)
        forked = reply.get("pid")
        if not isinstance(forked, int) or forked <= 0:
            raise TemplateError(f"the warm template answered {reply!r}")
        return forked

    def exited(self) -> list[tuple[int, int]]:
        """The (job, exit status) pairs reported since the last call, without blocking;
        raises TemplateError once the template is gone. A job reports its own status just
        before it exits, and the template reports it once it has reaped the job: the
        first report counts (the caller drops the second)."""
        ended: list[tuple[int, int]] = []
        while True:
            try:
                job, status = self.done.recv(64).split()
            except (BlockingIOError, InterruptedError):
                break
            except (OSError, ValueError):
                continue
            ended.append((int(job), int(status)))
        if not self._lines.closed:
            self.channel.setblocking(False)
            try:
                while True:
                    received = self._lines.receive()
                    if not received:
                        break
                    self._absorb(received)
            finally:
                self.channel.setblocking(True)
        ended += [
            (int(m["exited"]), int(m.get("status", 1)))
            for m in self._inbox
            if isinstance(m.get("exited"), int)
        ]
        self._inbox.clear()
        if not ended and self._lines.closed:
            raise TemplateError(self._ended_text())
        return ended

    def close(self) -> None:
        """Ends the template (it kills any job still running) and waits for it."""
        with suppress(OSError):
            self.channel.close()
        self.done.close()
        if self._spare is not None:
            os.close(self._spare[1])
            self._spare = None
        self._lines.close()
        if self._printed >= 0:
            os.close(self._printed)
            self._printed = -1
        try:
            self.process.wait(_CLOSE_GRACE_SECONDS)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()

    def _next(self, kind: str, job: int) -> dict[str, Any]:
        """Reads until the message of `kind` for `job` or its refusal arrives, keeping the
        others for `exited`. A fork takes milliseconds: a template that says nothing for
        long is stuck, and the run must not wait for it."""
        deadline = time.monotonic() + _ANSWER_SECONDS
        while True:
            message = self._take(kind, job)
            if message is not None:
                return message
            if self._lines.closed:
                raise TemplateError(self._ended_text())
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.channel], [], [], left)[0]:
                self.process.kill()
                raise TemplateError("the warm template stopped answering")
            self._absorb(self._lines.receive())

    def _absorb(self, messages: list[dict[str, Any]]) -> None:
        """Keeps the spare the template announces; the other messages wait in the inbox."""
        for message in messages:
            fd = message.get("fd")
            if "spare" in message and isinstance(fd, int):
                if self._spare is not None:
                    os.close(self._spare[1])
                self._spare = (int(message["spare"]), fd)
            else:
                self._inbox.append(message)

    def _take(self, kind: str, job: int | None) -> dict[str, Any] | None:
        """The first message of `kind` (for `job`, when given) or refusal of `job`."""
        for index, message in enumerate(self._inbox):
            wanted = kind in message and (job is None or message[kind] == job)
            if wanted or (job is not None and message.get("refused") == job):
                return self._inbox.pop(index)
        return None

    def _ended_text(self) -> str:
        try:
            code = self.process.wait(_CLOSE_GRACE_SECONDS)
        except subprocess.TimeoutExpired:
            return "the warm template stopped answering"
        if code < 0:
            try:
                name = signal.Signals(-code).name
            except ValueError:
                name = str(-code)
            return f"the warm template was killed by signal {-code} ({name})"
        return f"the warm template exited with status {code}"


def _pass_on(lines: list[bytes], stderr: TextIO) -> None:
    if lines:
        text = b"\n".join(lines).decode("utf-8", "replace")
        stderr.write("".join(one_line(line) + "\n" for line in text.split("\n")))
        stderr.flush()


class ForkBackend:
    """Jobs forked from the warm template.

    Should threads appear in the template after all, it refuses further jobs: those run
    in spawned workers (`fallback`), one note says why, and the forked jobs still running
    finish normally. Should the template die, its jobs are lost (each fails with that
    reason) and the rest of the run is spawned too."""

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
        self._selector = selectors.DefaultSelector()
        self._selector.register(template.channel, selectors.EVENT_READ)
        self._selector.register(template.done, selectors.EVENT_READ)

    def start(self, job: Job, spec_path: str, log_path: str) -> None:
        if self._forking and self._template is not None:
            number = next(self._numbers)
            try:
                pid = self._template.start(number, spec_path, log_path)
            except Refused as refused:
                if not refused.threads:
                    raise OSError(str(refused)) from None
                self._stop_forking(str(refused))
            except TemplateError as exc:
                # it may have begun the job before it died: lost, never run twice
                self._lost.append((job, JobExit(None, str(exc))))
                self._lose_template(str(exc))
                return
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
