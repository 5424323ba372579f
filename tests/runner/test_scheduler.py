"""The scheduler's decisions, fed with stimuli: no process, no file, an explicit clock."""

from __future__ import annotations

from dataclasses import dataclass, field

import pytest

from quarn.runner.executors.scheduler import Scheduler


@dataclass(eq=False)
class Job:  # what the scheduler reads of a job
    index: int
    deps: list = field(default_factory=list)
    downstream: list = field(default_factory=list)


def graph(edges: str, count: int) -> list:
    """Jobs 0..count-1 in plan order; `edges` like "0>2 1>2" (upstream > downstream)."""
    jobs = [Job(i) for i in range(count)]
    for edge in edges.split():
        up, down = (jobs[int(n)] for n in edge.split(">"))
        up.downstream.append(down)
        down.deps.append(up)
    return jobs


def drain(scheduler: Scheduler, now: float = 0.0) -> list[int]:
    started = []
    while (job := scheduler.next_job(now)) is not None:
        started.append(job.index)
    return started


@pytest.mark.parametrize(
    ("edges", "count", "first"),
    [
        ("", 3, [0, 1, 2]),  # no chain: plan order
        ("2>3 3>4", 5, [2, 0, 1]),  # the longest chain below goes first
        ("0>2 1>2 2>3", 4, [0, 1]),  # a job waits for all its upstreams
    ],
)
def test_ready_order(edges, count, first):
    assert drain(Scheduler(graph(edges, count))) == first


@pytest.mark.parametrize(
    ("retries", "retryable", "retry_at"),
    [(0, True, []), (1, False, []), (1, True, [0.5]), (3, True, [0.5, 1.0, 2.0])],
)
def test_failures_retry_with_backoff_then_skip_downstream(retries, retryable, retry_at):
    jobs = graph("0>1 1>2 0>4 3>4", 5)
    scheduler = Scheduler(jobs, retries=retries)
    assert drain(scheduler) == [0, 3]
    now, seen = 0.0, []
    while True:
        decision = scheduler.failed(jobs[0], retryable, now)
        if decision.retry_at is None:
            break
        seen.append(decision.retry_at - now)
        assert scheduler.next_job(decision.retry_at - 0.01) is None  # not before its time
        assert scheduler.wake_at() == decision.retry_at
        now = decision.retry_at
        assert drain(scheduler, now) == [0]
    assert seen == retry_at
    assert scheduler.attempt(jobs[0]) == len(retry_at) + 1
    assert sorted(j.index for j in decision.skipped) == [1, 2, 4]  # each once, 3 goes on
    assert scheduler.succeeded(jobs[3]) == []  # 4 was skipped: never ready
    assert not scheduler.pending
