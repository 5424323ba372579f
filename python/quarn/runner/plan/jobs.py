"""Jobs: one per asset and partition key combination, wired to the upstream jobs they read."""

from __future__ import annotations

import hashlib
import heapq
import itertools
import os
import re
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

from quarn.runner.canonical import canonical_json, key_label, short_hash
from quarn.runner.contract import UNPARTITIONED_DIR
from quarn.runner.graph.mapping import KeyMapping
from quarn.runner.graph.model import Asset
from quarn.runner.plan.params import used_params
from quarn.runner.plan.select import PlanError
from quarn.runner.plan.versions import version_jobs

_UNSAFE = re.compile(r"[^A-Za-z0-9._-]")


@dataclass(eq=False, slots=True)
class Job:
    """One materialization: an asset, or one combination of its partition keys."""

    index: int
    asset: Asset
    key: dict[str, Any]  # dimension -> key value, dimensions sorted
    key_texts: dict[str, str]  # dimension -> canonical JSON of the key
    partition_dir: str
    # parameter -> the one upstream job, or (member name, job) pairs for a fan-in
    inputs: list[tuple[str, Job | list[tuple[str, Job]]]] = field(default_factory=list)
    deps: list[Job] = field(default_factory=list)  # distinct upstream jobs
    downstream: list[Job] = field(default_factory=list)
    params: dict[str, Any] = field(default_factory=dict)  # run parameter -> the value given
    version: str = ""
    parts: dict[str, str] = field(default_factory=dict)  # the version's parts, each a digest
    requested: bool = True  # inside the run's --partition restriction

    @property
    def id(self) -> str:
        return f"{self.asset.dir_name}/{self.partition_dir}"

    @property
    def partition_label(self) -> str:
        """The key combination as a person reads it, dimensions in their declared order:
        `ticker=AAPL, day=2026-01-05`."""
        return key_label(self.key, self.asset.dims)

    @property
    def function(self) -> str:
        """`module:function` of the asset, as the worker imports it."""
        return f"{self.asset.module}:{self.asset.function_name}"

    @property
    def display(self) -> str:
        label = self.partition_label
        return f"{self.asset.display}[{label}]" if label else self.asset.display


def partition_dir_name(key: dict[str, Any]) -> str:
    """A directory name for one key combination: a readable slug and a hash of the keys.

    The hash covers the canonical JSON of the whole combination, so keys whose slugs agree
    (1 and "1", "a/b" and "a_b", ("a_b", "c") and ("a", "b_c")) still get distinct names.
    """
    if not key:
        return UNPARTITIONED_DIR
    parts = [v if isinstance(v, str) else canonical_json(v) for _, v in sorted(key.items())]
    slug = _UNSAFE.sub("_", "_".join(parts))[:48].lstrip(".-")
    digest = short_hash(canonical_json(key))
    return f"{slug}-{digest}" if slug else digest


def fan_in_member(key: dict[str, Any], key_texts: dict[str, str], dims: list[str]) -> str:
    """Name of an upstream partition inside the object a downstream receives.

    With one dimension that the downstream lacks: that key's compact JSON text (so the
    string key AAPL is the member "\\"AAPL\\""). With several: the compact JSON text of the
    object {dimension: key} over those dimensions, members sorted by dimension.
    """
    if len(dims) == 1:
        return key_texts[dims[0]]
    return canonical_json({d: key[d] for d in dims})


def build_jobs(
    assets: list[Asset],
    kept: dict[str, set[str]],
    code_versions: dict[Asset, str] | None = None,
    params: Mapping[str, Any] | None = None,
) -> list[Job]:
    """Every job of the planned assets, upstream jobs before their downstream ones.

    Jobs outside the `--partition` restriction are built too, with `requested` False: a
    fan-in consumes every upstream partition, and those must be known to be current.
    `params` are the values given to run parameters (the others take their defaults).
    """
    jobs: list[Job] = []
    by_asset: dict[Asset, list[Job]] = {}
    for asset in assets:
        dims = sorted(asset.dims)
        own: list[Job] = []
        names: set[str] = set()
        for combo in itertools.product(*(asset.dims[d] for d in dims)):
            key = {d: value for d, (_, value) in zip(dims, combo, strict=True)}
            texts = {d: text for d, (text, _) in zip(dims, combo, strict=True)}
            directory = partition_dir_name(key)
            if directory in names:  # a hash prefix collision: fall back to the whole digest
                directory = hashlib.sha256(canonical_json(key).encode()).hexdigest()
            names.add(directory)
            job = Job(len(jobs) + len(own), asset, key, texts, directory)
            job.requested = all(texts[d] in kept[d] for d in dims if d in kept)
            own.append(job)
        by_asset[asset] = own
        jobs.extend(own)
    # Connected once every job exists: an input may take earlier keys of its own asset.
    for asset in assets:
        for param, upstream in sorted(asset.upstream.items()):
            mapping = asset.mappings.get(param)
            _connect(by_asset[asset], param, upstream, by_asset[upstream], mapping)
    code = code_versions or {}
    for asset in assets:
        version_jobs(asset, by_asset[asset], code.get(asset, ""), used_params(asset, params or {}))
    return _upstream_first(jobs)


def _connect(
    own: list[Job],
    param: str,
    upstream: Asset,
    theirs: list[Job],
    mapping: KeyMapping | None = None,
) -> None:
    """Gives each job of a downstream its value source for `param`. With a mapping, the
    upstream keys of its dimension are those the mapping takes (none: no value, the
    function's default applies)."""
    shared = sorted(set(upstream.dims) & set(own[0].asset.dims)) if own else []
    rest = sorted(set(upstream.dims) - set(shared))
    index: dict[tuple[str, ...], list[Job]] = {}
    for job in theirs:
        index.setdefault(tuple(job.key_texts[d] for d in shared), []).append(job)
    members = rest
    if mapping is not None:
        if mapping.dim not in shared:  # the graph checks make it a dimension of both
            raise PlanError(f"input '{param}' maps a dimension its assets do not share")
        keys = [text for text, _ in upstream.dims[mapping.dim]]
        position = {text: i for i, text in enumerate(keys)}
        if mapping.window:
            members = sorted([mapping.dim, *rest])
    for job in own:
        if mapping is None:
            matches = index.get(tuple(job.key_texts[d] for d in shared), [])
        else:
            matches = []
            mine = position.get(job.key_texts[mapping.dim])
            if mine is None:  # the graph checks make every shared key present upstream
                raise PlanError(f"asset '{job.asset.display}': no upstream job for '{param}'")
            for at in mapping.positions(mine):
                texts = {**job.key_texts, mapping.dim: keys[at]}
                matches += index.get(tuple(texts[d] for d in shared), [])
            if not matches:
                continue
        if members:
            job.inputs.append(
                (param, [(fan_in_member(m.key, m.key_texts, members), m) for m in matches])
            )
        elif len(matches) == 1:
            job.inputs.append((param, matches[0]))
        else:  # the graph checks make every shared key present upstream
            raise PlanError(f"asset '{job.asset.display}': no upstream job for input '{param}'")
        for match in matches:
            if match not in job.deps:
                job.deps.append(match)
                match.downstream.append(job)


def _upstream_first(jobs: list[Job]) -> list[Job]:
    """The jobs with every upstream job before its downstream ones, as built when that
    holds (it does unless an asset takes earlier keys of one that depends on it), else
    sorted so, keeping the built order where it can; numbered in that order."""
    place = {job: i for i, job in enumerate(jobs)}
    if all(place[d] < i for i, job in enumerate(jobs) for d in job.deps):
        return jobs
    waiting = {job: len(job.deps) for job in jobs}
    ready = [(place[j], j) for j in jobs if not j.deps]
    heapq.heapify(ready)
    ordered: list[Job] = []
    while ready:
        job = heapq.heappop(ready)[1]
        job.index = len(ordered)
        ordered.append(job)
        for down in job.downstream:
            waiting[down] -= 1
            if waiting[down] == 0:
                heapq.heappush(ready, (place[down], down))
    if len(ordered) < len(jobs):  # the graph checks leave no cycle between jobs
        raise PlanError("the jobs' inputs form a cycle")
    return ordered


def folder_clashes(jobs: list[Job]) -> list[tuple[Job, Job]]:
    """Pairs of jobs whose final folders are one, whatever made their names."""
    seen: dict[str, Job] = {}
    clashes: list[tuple[Job, Job]] = []
    for job in jobs:
        key = os.path.normpath(os.path.join(job.asset.dir_name, job.partition_dir))
        other = seen.setdefault(key, job)
        if other is not job:
            clashes.append((other, job))
    return clashes
