"""What runs next, what is retried and what is skipped: decisions only, no processes.

The executor feeds in what happened (a job succeeded, a job failed and whether the failure
may pass on a new attempt) and the clock; the scheduler answers with the next job to start,
when to look again, and which jobs a failure skips.
"""

from __future__ import annotations

import heapq
from collections.abc import Sequence
from dataclasses import dataclass, field

from quarn.runner.plan.jobs import Job

# Seconds before the first retry of a job; each further retry waits twice as long.
FIRST_BACKOFF_SECONDS = 0.5
MAX_BACKOFF_SECONDS = 10.0


@dataclass(slots=True)
class Decision:
    """What follows a failed attempt: a retry at `retry_at`, or the end of the job (and the
    jobs downstream of it that are skipped because of it)."""

    retry_at: float | None = None
    skipped: list[Job] = field(default_factory=list)


class Scheduler:
    """Ready queue by priority (the longest chain of jobs below first), waiting counts,
    retries with back-off, and skips after a failure."""

    def __init__(
        self,
        jobs: Sequence[Job],
        retries: int = 0,
        backoff: float = FIRST_BACKOFF_SECONDS,
    ) -> None:
        self.retries = max(0, retries)
        self.backoff = backoff
        self._in_run = set(jobs)
        self._waiting = {j: sum(1 for d in j.deps if d in self._in_run) for j in jobs}
        self._priority = _heights(jobs, self._in_run)
        self._ready: list[tuple[int, int, Job]] = []
        self._delayed: list[tuple[float, int, Job]] = []  # (retry time, index, job)
        self._attempts: dict[Job, int] = {}
        self._ended: set[Job] = set()
        for job in jobs:
            if self._waiting[job] == 0:
                self._push(job)

    @property
    def ready_count(self) -> int:
        return len(self._ready)

    @property
    def pending(self) -> bool:
        """Whether any job may still be started (ready now or waiting for a retry)."""
        return bool(self._ready or self._delayed)

    def attempt(self, job: Job) -> int:
        """The number of the job's latest attempt (1 for the first), 0 before it started."""
        return self._attempts.get(job, 0)

    def next_job(self, now: float) -> Job | None:
        """Takes the job to start now, or None when none is ready."""
        while self._delayed and self._delayed[0][0] <= now:
            _, _, job = heapq.heappop(self._delayed)
            self._push(job)
        if not self._ready:
            return None
        job = heapq.heappop(self._ready)[2]
        self._attempts[job] = self._attempts.get(job, 0) + 1
        return job

    def wake_at(self) -> float | None:
        """When the next retry becomes ready, if one waits."""
        return self._delayed[0][0] if self._delayed else None

    def succeeded(self, job: Job) -> list[Job]:
        """Records a success; returns the downstream jobs that became ready."""
        self._ended.add(job)
        ready: list[Job] = []
        for down in job.downstream:
            if down in self._in_run:
                self._waiting[down] -= 1
                if self._waiting[down] == 0 and down not in self._ended:
                    self._push(down)
                    ready.append(down)
        return ready

    def failed(self, job: Job, retryable: bool, now: float) -> Decision:
        """Records a failed attempt: retried after a back-off while attempts remain and the
        failure may pass (an exception, a signal, a timeout); else everything downstream
        of it is skipped."""
        attempt = self._attempts.get(job, 1)
        if retryable and attempt <= self.retries:
            delay = min(self.backoff * 2 ** (attempt - 1), MAX_BACKOFF_SECONDS)
            heapq.heappush(self._delayed, (now + delay, job.index, job))
            return Decision(retry_at=now + delay)
        return Decision(skipped=self.fail(job))

    def fail(self, job: Job) -> list[Job]:
        """Ends the job without a retry; returns the jobs downstream of it, now skipped."""
        self._ended.add(job)
        skipped: list[Job] = []
        stack = [job]
        while stack:
            for down in stack.pop().downstream:
                if down in self._in_run and down not in self._ended:
                    self._ended.add(down)
                    skipped.append(down)
                    stack.append(down)
        return skipped

    def _push(self, job: Job) -> None:
        heapq.heappush(self._ready, (-self._priority[job], job.index, job))


def _heights(jobs: Sequence[Job], in_run: set[Job]) -> dict[Job, int]:
    """Longest chain of downstream jobs: the ready job that unlocks the most goes first."""
    height: dict[Job, int] = {}
    for job in reversed(jobs):  # downstream jobs come later in plan order
        below = [height[d] for d in job.downstream if d in in_run]
        height[job] = 1 + max(below, default=0)
    return height
