"""The states of planned jobs in an output directory, read from the manifest and history."""

from __future__ import annotations

from quarn.runner.plan.jobs import Job
from quarn.runner.plan.versions import stale_jobs
from quarn.runner.report.status import job_state
from quarn.runner.store.history import latest_jobs, load_runs
from quarn.runner.store.manifest import Manifest


def job_states(jobs: list[Job], out_dir: str) -> dict[Job, str]:
    manifest, _ = Manifest.load(out_dir)
    recorded = manifest.versions()
    stale = set(stale_jobs(jobs, recorded, out_dir, force=False))
    latest = latest_jobs(load_runs(out_dir)[0])
    return {
        job: job_state(job.id in recorded, job not in stale, latest.get(job.id)) for job in jobs
    }
