"""Job versions, and which planned jobs are stale."""

from __future__ import annotations

import hashlib
import os
from typing import TYPE_CHECKING, Any

from quarn.runner.canonical import canonical_json
from quarn.runner.graph.model import Asset
from quarn.runner.store.value_file import stored_value_file

if TYPE_CHECKING:
    from quarn.runner.plan.jobs import Job

_VERSION_TAG = "quarn job version 1"


def _declaration(asset: Asset) -> Any:
    """The declaration as hashed: inputs name their upstream by label, not by file path,
    so moving the project to another directory keeps every version."""
    meta = asset.metadata
    if not isinstance(meta, dict) or not isinstance(meta.get("inputs"), dict):
        return meta
    inputs = {
        p: (asset.upstream[p].label if p in asset.upstream else r)
        for p, r in meta["inputs"].items()
    }
    return {**meta, "inputs": inputs}


def job_version(job: Job) -> str:
    sources: list[Any] = []
    for param, source in job.inputs:
        if isinstance(source, list):  # a fan-in: (member, job) pairs
            sources.append([param, [[member, m.version] for member, m in source]])
        else:
            sources.append([param, source.version])
    payload = [
        _VERSION_TAG,
        job.asset.function_source,
        _declaration(job.asset),
        job.key,
        sources,
    ]
    return hashlib.sha256(canonical_json(payload).encode("utf-8")).hexdigest()


def stale_jobs(jobs: list[Job], recorded: dict[str, str], out_dir: str, force: bool) -> list[Job]:
    """The jobs to run: changed, never run, missing outputs, or downstream of any of those."""
    stale: set[Job] = set()
    for job in jobs:  # upstreams come first
        if force or recorded.get(job.id) != job.version or any(d in stale for d in job.deps):
            stale.add(job)
            continue
        directory = os.path.join(out_dir, job.asset.dir_name, job.partition_dir)
        value = stored_value_file(directory)
        if value is None or not os.path.isfile(value):
            stale.add(job)
    return [j for j in jobs if j in stale]
