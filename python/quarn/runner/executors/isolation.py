"""`--isolation fork|spawn|none`: what runs the jobs (discovery follows: see discovery.py)."""

from __future__ import annotations

import os

ISOLATIONS = ("fork", "spawn", "none")


def default_isolation() -> str:
    """Fork where the template can see every thread it runs, native ones included (the
    kernel lists them under /proc); elsewhere a thread started by a library could go
    unseen and deadlock a job."""
    return "fork" if hasattr(os, "fork") and os.path.isdir("/proc/self/task") else "spawn"
