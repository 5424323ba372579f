"""The seam between the executor and what runs jobs: local processes, forks, a cluster."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Protocol

from quarn.runner.plan.jobs import Job


@dataclass(frozen=True, slots=True)
class JobExit:
    """How a job's worker ended, as its backend saw it."""

    status: int | None  # exit status; negative: killed by that signal; None: lost
    lost: str = ""  # why the job was lost (its worker or machine went away), when status is None
    timed_out: bool = False  # the backend stopped it for running past its time


class Backend(Protocol):
    """Runs jobs of one run. Every backend runs the same job worker
    (`quarn.runner.job.run.run_job`), so a job's files are the same whatever runs it."""

    # Its jobs run on other machines, so they sync the files they write themselves; the
    # runner syncs the files of local jobs in one go before it vouches for them.
    remote: bool

    def start(self, job: Job, spec_path: str, log_path: str) -> None:
        """Starts the job's worker on its job spec; its output goes to `log_path`. Raises when it
        cannot start (the job then fails with that message)."""
        ...

    def wait(self, timeout: float | None) -> list[tuple[Job, JobExit]]:
        """Waits up to `timeout` seconds for jobs to end; returns those that ended."""
        ...

    def stop(self, job: Job, signum: int) -> None:
        """Sends `signum` to the job's worker and everything it started."""
        ...

    def close(self) -> None:
        """Ends whatever still runs and releases the backend's resources."""
        ...
