"""The messages between the runner and its warm template: one JSON object per line.

Runner to template: `{"want": 1}` asks for a spare, once the runner took the last one (or
was refused one); closing the socket asks the template to end (it kills the jobs still
running and exits).

Template to runner, in order: one `{"ready": FOUND}` once the modules are imported, FOUND
being what discovery learned (see discover_here.py; its "note" says why the template will
not fork); then, unasked for the first and once per `want` after, either `{"spare": PID}`
with the write end of a pipe attached, on which a child forked ahead waits for
`ID\0SPEC\0LOG` (the runner writes the job to it, and the pid is also the job's process
group), or `{"refused": TEXT, "threads": BOOL}` (threads appeared in the template, so jobs
are better spawned from now on; or the fork failed); and per child, once reaped,
`{"exited": PID, "status": N}` (the exit status, or minus the signal that killed it).

Besides, each job sends `ID STATUS` as one datagram on a socket pair of its own just before
it exits, so the runner need not wait for the exit's teardown and the template's reaping;
the first of the two reports of a job counts.
"""

from __future__ import annotations

import json
import os
import socket
from typing import Any

_CHUNK = 1 << 16


def encode(message: dict[str, Any]) -> bytes:
    return json.dumps(message, separators=(",", ":")).encode("utf-8", "surrogateescape") + b"\n"


class Lines:
    """Splits what arrives on a socket into messages. A message that carries a descriptor
    (`spare`) gets it as member "fd"; `closed` once the other end closed."""

    def __init__(self, sock: socket.socket) -> None:
        self.sock = sock
        self._pending: list[bytes] = []  # the start of a line still arriving
        self._fds: list[int] = []  # received, for the next messages that carry one
        self.closed = False

    def receive(self) -> list[dict[str, Any]]:
        """Reads what is there (blocking until something is, on a blocking socket)."""
        try:
            data, fds, _, _ = socket.recv_fds(self.sock, _CHUNK, 1)
        except (BlockingIOError, InterruptedError):
            return []
        except OSError:
            data, fds = b"", []
        self._fds += fds
        if not data:
            self.closed = True
            return []
        if b"\n" not in data:  # a long line (the inspection document) comes in many pieces
            self._pending.append(data)
            return []
        self._pending.append(data)
        *lines, rest = b"".join(self._pending).split(b"\n")
        self._pending = [rest] if rest else []
        messages = [_decode(line) for line in lines if line]
        for message in messages:
            if "spare" in message and self._fds:
                message["fd"] = self._fds.pop(0)
        return messages

    def close(self) -> None:
        """Closes the descriptors received and not taken."""
        for fd in self._fds:
            os.close(fd)
        self._fds.clear()


def _decode(line: bytes) -> dict[str, Any]:
    try:
        message = json.loads(line.decode("utf-8", "surrogateescape"))
    except ValueError:
        message = None
    if not isinstance(message, dict):
        return {"garbled": line[:200].decode("ascii", "replace")}
    return message
