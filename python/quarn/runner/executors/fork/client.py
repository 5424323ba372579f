"""The runner's end of the warm template: start it, wait until it has discovered, hand it jobs.

Its interface is all a caller needs to serve jobs from a template: `TemplateProcess(modules,
paths, cwd)`, `ready()` for what discovery learned, `start(number, spec path, log path)` for the
pid of the job's process, `exited()` for the jobs that ended, `close()`.
"""

from __future__ import annotations

import os
import select
import selectors
import signal
import socket
import subprocess
import sys
import time
from collections.abc import Sequence
from contextlib import suppress
from typing import Any, TextIO

from quarn.runner.executors.discover_here import Found, decode
from quarn.runner.executors.fork.wire import Lines, encode
from quarn.runner.text import one_line

_CLOSE_GRACE_SECONDS = 5.0
_ANSWER_SECONDS = 30.0
_OUTPUT_GRACE_SECONDS = 1.0  # for the end of the template's output, once it is ready
_SPARE_TRIES = 3  # spares that died while waiting before a job is refused


class TemplateError(Exception):
    """The template ended, or never answered as it should."""


class Refused(Exception):
    """The template forks no job now: `threads` when threads appeared in it (jobs are
    better spawned from now on), else forking failed."""

    def __init__(self, reason: str, threads: bool) -> None:
        super().__init__(reason)
        self.threads = threads


def template_command(
    channel: int, done: int, output: int, modules: Sequence[str], paths: Sequence[str]
) -> list[str]:
    command = [sys.executable, "-m", "quarn.runner.executors.fork"]
    command += [str(channel), str(done), str(output), str(os.getpid())]
    for path in paths:
        command += ["--path", path]
    return [*command, *modules]


class TemplateProcess:
    """Starts the template, reads what its discovery learned, hands it jobs.

    Until it is ready, the template's output (what the modules print while imported) comes
    through a pipe and is passed on escaped, as discovery's output always is; then it
    writes to the runner's standard error directly."""

    def __init__(
        self, modules: Sequence[str], paths: Sequence[str], cwd: str | None = None
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
                cwd=cwd,  # the jobs' working directory: they inherit it
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
        self._ready: Any = None
        self._spare: tuple[int, int] | None = None  # pid, the pipe it waits on for a job
        self._asked = True  # the template forks its first spare unasked
        self._refused: Refused | None = None
        self._jobs: dict[int, int] = {}  # pid -> job number, until the template reaps it
        self._exits: list[tuple[int, int]] = []

    def ready(self, stderr: TextIO, timeout: float | None) -> Found:
        """Waits until the template has imported the modules; passes on what they printed
        meanwhile."""
        deadline = None if timeout is None else time.monotonic() + timeout
        selector = selectors.DefaultSelector()
        selector.register(self.channel, selectors.EVENT_READ)
        selector.register(self._printed, selectors.EVENT_READ)
        pending = b""
        grace_end: float | None = None  # once ready, for the rest of the output
        try:
            while grace_end is None or self._printed >= 0:
                ends = [t for t in (deadline, grace_end) if t is not None]
                events = selector.select(max(0.0, min(ends) - time.monotonic()) if ends else None)
                if not events and grace_end is not None:
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
                    if self._lines.closed:
                        selector.unregister(self.channel)
                    if (self._ready is not None or self._lines.closed) and grace_end is None:
                        grace_end = time.monotonic() + _OUTPUT_GRACE_SECONDS
        finally:
            selector.close()
        found = decode(self._ready)
        if found is None:
            code = self.process.wait() if self._lines.closed else 0
            self.close()
            if code:
                raise TemplateError(f"discovery failed with exit status {code}")
            raise TemplateError("discovery wrote no inspection document")
        self._ready = None
        return found

    def start(self, job: int, spec_path: str, log_path: str) -> int:
        """Hands the job to a spare and returns its pid, which is also its process group.
        Raises Refused when the template forks no spare, TemplateError when it is gone;
        either way the job was not handed over."""
        request = f"{job}\0{spec_path}\0{log_path}".encode("utf-8", "surrogateescape")
        for _ in range(_SPARE_TRIES):
            pid, pipe = self._take_spare()
            try:
                os.write(pipe, request)  # far below the pipe's size: never blocks
                handed = True
            except OSError:  # it died while waiting: the template reports it, to nobody
                handed = False
            finally:
                os.close(pipe)
            self._ask()  # the next spare is forked while this job runs
            if handed:
                self._jobs[pid] = job
                return pid
        raise Refused("the warm template's children die before they take a job", False)

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
                while received := self._lines.receive():
                    self._absorb(received)
            finally:
                self.channel.setblocking(True)
        ended += self._exits
        self._exits = []
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

    def _ask(self) -> None:
        if not self._asked:
            try:
                self.channel.sendall(encode({"want": 1}))
            except OSError:
                raise TemplateError(self._ended_text()) from None
            self._asked = True

    def _take_spare(self) -> tuple[int, int]:
        """The spare, once there is one (asked for when none is coming). A fork takes
        milliseconds: a template that says nothing for long is stuck, and the run must not
        wait for it."""
        deadline = time.monotonic() + _ANSWER_SECONDS
        while self._spare is None:
            if self._refused is not None:
                refused, self._refused = self._refused, None
                raise refused
            self._ask()
            if self._lines.closed:
                raise TemplateError(self._ended_text())
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.channel], [], [], left)[0]:
                self.process.kill()
                raise TemplateError("the warm template stopped answering")
            self._absorb(self._lines.receive())
        spare, self._spare = self._spare, None
        return spare

    def _absorb(self, messages: list[dict[str, Any]]) -> None:
        for message in messages:
            if "ready" in message:
                self._ready = message["ready"]
            elif "spare" in message and isinstance(message.get("fd"), int):
                if self._spare is not None:
                    os.close(self._spare[1])
                self._spare = (int(message["spare"]), message["fd"])
                self._asked = False
            elif "refused" in message:
                self._refused = Refused(str(message["refused"]), message.get("threads") is True)
                self._asked = False
            elif "exited" in message:
                job = self._jobs.pop(message["exited"], None)  # None: a spare never used
                if job is not None:
                    self._exits.append((job, int(message.get("status", 1))))

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
