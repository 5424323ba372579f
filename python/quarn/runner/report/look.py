"""Every job's state in an output directory, assessed as a run would: what `quarn show`,
`quarn graph --out`, `quarn report` and `quarn history` show."""

from __future__ import annotations

from collections.abc import Collection, Mapping
from dataclasses import dataclass, field
from typing import Any

from quarn.runner.contract import STATUS_RUNNING, ManifestEntry, RunRecord
from quarn.runner.graph.model import Asset
from quarn.runner.plan.jobs import Job
from quarn.runner.plan.observe import FolderObserver
from quarn.runner.plan.prepare import code_roots, code_versions, prepare
from quarn.runner.plan.recorded import assess_recorded
from quarn.runner.report.status import asset_state, count_states
from quarn.runner.state.assess import Assessment, orphaned
from quarn.runner.state.words import State
from quarn.runner.store.layout import job_path
from quarn.runner.store.lock import held
from quarn.runner.store.manifest import Manifest
from quarn.runner.trace.observe import RecordedDeps


@dataclass(slots=True)
class Look:
    records: Mapping[str, ManifestEntry]
    jobs: dict[Job, Assessment] = field(default_factory=dict)  # upstream jobs first
    orphans: dict[str, Assessment] = field(default_factory=dict)  # job id -> assessment
    warning: str | None = None  # why the manifest could not be read, when it could not

    def by_id(self) -> dict[str, Assessment]:
        return {**{j.id: a for j, a in self.jobs.items()}, **self.orphans}

    def of_asset(self, asset: Asset) -> dict[str, State]:
        """Job id -> state for every job of the asset, its orphaned ones included."""
        states = {j.id: a.state for j, a in self.jobs.items() if j.asset is asset}
        prefix = asset.dir_name + "/"
        states.update((i, a.state) for i, a in self.orphans.items() if i.startswith(prefix))
        return states


def look(
    assets: list[Asset],
    paths: list[str],
    out_dir: str,
    root: str | None = None,
    params: Mapping[str, Any] | None = None,
) -> Look:
    """Each job of `assets` (upstreams first) with its assessment, and the jobs of keys no
    longer declared; `paths` are the project's import folders and `root` its root, for
    the code versions; `params` the values of the run parameters."""
    manifest, warning = Manifest.load(out_dir)
    running = _running(out_dir, manifest.jobs)
    code = code_versions(assets, code_roots(assets, paths, root))
    deps = RecordedDeps(manifest.parts)
    prepared = prepare(
        assets, {}, code, manifest, running=running, params=params, dependencies=deps
    )
    gone = orphaned("its partition key is no longer declared")
    return Look(
        manifest.jobs,
        {j: prepared.plan.assessments[j] for j in prepared.jobs},
        dict.fromkeys(prepared.orphans, gone),
        warning,
    )


def look_recorded(out_dir: str, runs: list[RunRecord]) -> tuple[Look, dict[str, Assessment]]:
    """Every recorded job's assessment from the records alone (no declarations at hand):
    each job's version is the one the latest run that planned it wanted."""
    manifest, warning = Manifest.load(out_dir)
    versions: dict[str, str] = {}
    for run in runs:
        versions.update((j["id"], j["version"]) for j in run["jobs"])
    observer = FolderObserver(out_dir)
    assessed = assess_recorded(
        manifest.jobs,
        versions,
        lambda job_id, record: observer.folder(job_id, job_path(out_dir, job_id), record),
        _running(out_dir, manifest.jobs),
        RecordedDeps(manifest.parts),
    )
    return Look(manifest.jobs, warning=warning), assessed


def _running(out_dir: str, records: Mapping[str, ManifestEntry]) -> Collection[str]:
    """The jobs a run that still holds DIR has started."""
    if not held(out_dir):
        return ()
    return {i for i, r in records.items() if r.get("status") == STATUS_RUNNING}


# The graph's node colours and notes, by asset name.
Nodes = tuple[dict[str, State], dict[str, str]]


def asset_states(assets: list[Asset], seen: Look) -> Nodes:
    """Each asset's state, and for an asset of several jobs, how many are in each state:
    the colours and notes of the graph's nodes, in `quarn graph --out` and the report."""
    states: dict[str, State] = {}
    notes: dict[str, str] = {}
    for asset in assets:
        mine = seen.of_asset(asset).values()
        states[asset.display] = asset_state(mine)
        if len(mine) > 1:
            notes[asset.display] = count_states(mine)
    return states, notes
