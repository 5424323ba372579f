"""A run's plan: code versions, jobs, and which of them run, wait or are current."""

from __future__ import annotations

import os
from dataclasses import dataclass, field

from quarn.runner.contract import STATUS_RUNNING
from quarn.runner.graph.model import Asset
from quarn.runner.plan.code_version import CodeVersion, Project
from quarn.runner.plan.freshness import CURRENT, PENDING, RUN, WAITING, Plan, plan_jobs
from quarn.runner.plan.jobs import Job, build_jobs
from quarn.runner.plan.observe import FolderObserver
from quarn.runner.plan.orphans import find_orphans
from quarn.runner.project import project_roots
from quarn.runner.store.manifest import Manifest


@dataclass(slots=True)
class Prepared:
    jobs: list[Job]
    plan: Plan
    to_run: list[Job] = field(default_factory=list)  # run, or pending on an upstream
    waiting: list[Job] = field(default_factory=list)
    up_to_date: int = 0
    orphans: list[str] = field(default_factory=list)


def code_versions(
    assets: list[Asset], paths: list[str], root: str | None = None
) -> dict[Asset, CodeVersion]:
    """Each asset's code version; `root`, the project root, stands for the current directory
    among the project's folders, so a version does not depend on where a command starts."""
    roots = project_roots(paths, root)
    roots += [r for r in project_roots(_import_roots(assets), root) if r not in roots]
    project = Project(roots)
    return {a: project.code_version(a.file_path, a.function_name, a.module) for a in assets}


def _import_roots(assets: list[Asset]) -> list[str]:
    """The folders the assets' modules were imported from (`src` for `src/pkg/mod.py`,
    reached through PYTHONPATH or an editable install): the modules beside them are the
    project's too, and count by their code, not by a distribution's version."""
    found: list[str] = []
    for asset in assets:
        if not asset.file_path or not asset.module:
            continue
        parts = asset.module.split(".")
        folder, base = os.path.split(os.path.realpath(asset.file_path))
        if base != "__init__.py":
            if os.path.splitext(base)[0] != parts.pop():
                continue
        for part in reversed(parts):
            folder, name = os.path.split(folder)
            if name != part:
                break
        else:
            if folder not in found:
                found.append(folder)
    return found


def prepare(
    assets: list[Asset],
    kept: dict[str, set[str]],
    code: dict[Asset, CodeVersion],
    manifest: Manifest,
    force: bool,
) -> Prepared:
    """Decides every job against the manifest and the job folders under its directory."""
    jobs = build_jobs(assets, kept, {a: version.digest for a, version in code.items()})
    observer = FolderObserver(manifest.out_dir)
    allowed = [j for j in jobs if j.requested] if kept else None
    plan = plan_jobs(jobs, manifest.jobs, observer, force, allowed)
    plan.sources = {a.ref: version.sources for a, version in code.items()}
    manifest.restat(observer.refreshed)
    decided = [(j, plan.decisions[j].state) for j in jobs if j in plan.decisions]
    for job, state in decided:
        if state == CURRENT:
            manifest.current(job.id)
    return Prepared(
        jobs,
        plan,
        to_run=[j for j, state in decided if state in (RUN, PENDING)],
        waiting=[j for j, state in decided if state == WAITING],
        up_to_date=sum(1 for j, state in decided if state == CURRENT and j.requested),
        orphans=find_orphans(assets, jobs, manifest.jobs, manifest.out_dir),
    )


def mark_running(prepared: Prepared, manifest: Manifest) -> None:
    """The jobs that will run stop being vouched for before anything starts: should the
    run stop half way, the manifest never calls current what a worker began to replace."""
    for job in prepared.to_run:
        if prepared.plan.decisions[job].state == RUN:
            manifest.mark(job.id, STATUS_RUNNING, job.asset.display, job.key or None)
