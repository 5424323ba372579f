"""The states of every job of some assets in an output directory, as a run would see them."""

from __future__ import annotations

from quarn.runner.graph.model import Asset
from quarn.runner.plan.freshness import CURRENT
from quarn.runner.plan.jobs import Job
from quarn.runner.plan.prepare import code_versions, prepare
from quarn.runner.report.status import job_state
from quarn.runner.store.manifest import Manifest


def job_states(
    assets: list[Asset], paths: list[str], out_dir: str, root: str | None = None
) -> dict[Job, str]:
    """Each job of `assets` (upstreams first) with its state; `paths` are the project's
    import folders and `root` its root, for the code versions."""
    manifest, _ = Manifest.load(out_dir)
    prepared = prepare(assets, {}, code_versions(assets, paths, root), manifest, force=False)
    decisions = prepared.plan.decisions
    return {
        job: job_state(
            manifest.jobs.get(job.id),
            job in decisions and decisions[job].state == CURRENT,
        )
        for job in prepared.jobs
    }
