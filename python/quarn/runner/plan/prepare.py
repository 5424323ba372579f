"""A run's plan: code versions, jobs, and which of them run, wait or are current."""

from __future__ import annotations

import os
from collections.abc import Collection, Mapping
from dataclasses import dataclass, field
from typing import Any

from quarn.runner.contract import STATUS_RUNNING
from quarn.runner.graph.model import Asset
from quarn.runner.inputs import Inputs, interpreter
from quarn.runner.plan import code_memo
from quarn.runner.plan.code_version import CodeVersion, Project
from quarn.runner.plan.freshness import Dependencies, Plan, plan_jobs
from quarn.runner.plan.jobs import Job, build_jobs
from quarn.runner.plan.observe import FolderObserver
from quarn.runner.plan.orphans import find_orphans
from quarn.runner.project import project_roots
from quarn.runner.state.words import Action
from quarn.runner.store.manifest import Manifest


@dataclass(slots=True)
class Prepared:
    """The plan as it was made: which jobs run (or are pending on an upstream that runs),
    which wait, how many are current; the plan's assessments then follow the run."""

    jobs: list[Job]
    plan: Plan
    orphans: list[str] = field(default_factory=list)
    to_run: list[Job] = field(default_factory=list)
    waiting: list[Job] = field(default_factory=list)
    up_to_date: int = 0


def code_roots(assets: list[Asset], paths: list[str], root: str | None = None) -> list[str]:
    """The folders whose modules count by their code in the assets' versions: the project's
    import folders, its root (the current directory without a project file), and the
    folders the assets' modules came from; so a version does not depend on where a
    command starts."""
    roots = project_roots(paths, root)
    roots += [r for r in project_roots(_import_roots(assets), root) if r not in roots]
    return roots


def code_versions(
    assets: list[Asset], roots: list[str], used: Inputs | None = None
) -> dict[Asset, CodeVersion]:
    """Each asset's code version, reading the modules under `roots` as the project's, or as
    remembered while nothing that reading rested on changed (`code_memo`); what it rests
    on is added to `used`."""
    remembered = code_memo.recall(assets, roots)
    if remembered is not None:
        found, inputs = remembered
    else:
        inputs = interpreter()  # before the reading: the installed packages it versions
        project = Project(roots)
        found = {a: project.code_version(a.file_path, a.function_name, a.module) for a in assets}
        inputs.add(project.inputs)
        code_memo.remember(assets, roots, found, inputs)
    if used is not None:
        used.add(inputs)
    return found


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
    forced: Collection[Asset] = (),
    running: Collection[str] = (),
    params: Mapping[str, Any] | None = None,
    dependencies: Dependencies | None = None,
) -> Prepared:
    """Assesses every job against the manifest and the job folders under its directory;
    the jobs of `forced` assets run whatever their state. `running`: the ids of jobs that a
    run still going has started (for a view while a run holds the directory). `params`:
    the values of the run parameters (`settle_params`)."""
    code_digests = {a: version.digest for a, version in code.items()}
    jobs = build_jobs(assets, kept, code_digests, params)
    observer = FolderObserver(manifest.out_dir)
    allowed = [j for j in jobs if j.requested] if kept else None
    forced_jobs = {j for j in jobs if j.asset in forced and j.requested}
    plan = plan_jobs(jobs, manifest.jobs, observer, forced_jobs, allowed, running, dependencies)
    plan.sources = {a.ref: version.sources for a, version in code.items()}
    manifest.restat(observer.refreshed)
    if dependencies is not None:
        manifest.refresh_parts(dependencies.touched)
    actions = [(j, plan.action(j)) for j in jobs]
    return Prepared(
        jobs,
        plan,
        find_orphans(assets, jobs, manifest.jobs, manifest.out_dir),
        to_run=[j for j, a in actions if a in (Action.RUN, Action.PENDING)],
        waiting=[j for j, a in actions if a is Action.WAITING],
        up_to_date=sum(1 for j, a in actions if a is Action.KEEP and j.requested),
    )


def mark_running(prepared: Prepared, manifest: Manifest) -> None:
    """The jobs that will run stop being vouched for before anything starts: should the
    run stop half way, the manifest never calls current what a worker began to replace."""
    for job in prepared.to_run:
        if prepared.plan.action(job) is not Action.RUN:
            continue
        manifest.mark(job.id, STATUS_RUNNING, job.asset.display, job.key or None, job.function)
