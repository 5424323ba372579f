"""The messages between the runner and its warm template: one JSON object per line.

Runner to template: `{"run": ID, "spec": PATH, "log": PATH}` asks for a job; closing the
socket asks the template to end (it kills the jobs still running and exits).

Template to runner, in order: one `{"ready": {"document": ..., "skipped": [...],
"note": TEXT | null}}` once the modules are imported (a note says why the template will
not fork); then per job `{"started": ID, "pid": PID}` (the pid is also the job's process
group) or `{"refused": ID, "reason": TEXT, "threads": BOOL}` (threads appeared in the
template, so the job is better spawned; or fork failed), and later `{"exited": ID, "status": N}`
(the exit status, or minus the signal that killed the job).

Besides, each job sends `JOB STATUS` as one datagram on a socket pair of its own just before
it exits, so the runner need not wait for the exit's teardown and the template's reaping;
the first of the two reports of a job counts.
"""

from __future__ import annotations

import json
import socket
from typing import Any

_CHUNK = 1 << 16


def encode(message: dict[str, Any]) -> bytes:
    return json.dumps(message, separators=(",", ":")).encode("utf-8", "surrogateescape") + b"\n"


class Lines:
    """Splits what arrives on a socket into messages; `None` once the other end closed."""

    def __init__(self, sock: socket.socket) -> None:
        self.sock = sock
        self._pending: list[bytes] = []  # the start of a line still arriving
        self.closed = False

    def receive(self) -> list[dict[str, Any]]:
        """Reads what is there (blocking until something is, on a blocking socket)."""
        try:
            data = self.sock.recv(_CHUNK)
        except (BlockingIOError, InterruptedError):
            return []
        except OSError:
            data = b""
        if not data:
            self.closed = True
            return []
        if b"\n" not in data:  # a long line (the inspection document) comes in many pieces
            self._pending.append(data)
            return []
        self._pending.append(data)
        *lines, rest = b"".join(self._pending).split(b"\n")
        self._pending = [rest] if rest else []
        return [_decode(line) for line in lines if line]


def _decode(line: bytes) -> dict[str, Any]:
    try:
        message = json.loads(line.decode("utf-8", "surrogateescape"))
    except ValueError:
        message = None
    if not isinstance(message, dict):
        return {"garbled": line[:200].decode("ascii", "replace")}
    return message
