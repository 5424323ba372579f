"""Turns the asset graph into jobs: partition keys, upstream matching, directories, versions."""

from __future__ import annotations

import hashlib
import itertools
import json
import os
import re
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any

from quarn._graph import Asset, Graph, canonical_json, short_hash

# A run that would start more jobs than this asks for confirmation first.
CONFIRM_ABOVE_JOBS = 100_000
UNPARTITIONED_DIR = "_"
_UNSAFE = re.compile(r"[^A-Za-z0-9._-]")
_VERSION_TAG = "quarn job version 1"


class PlanError(Exception):
    """A request that cannot be planned (unknown asset or partition key); exit status 2."""


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
    version: str = ""

    @property
    def id(self) -> str:
        return f"{self.asset.dir_name}/{self.partition_dir}"

    @property
    def partition_label(self) -> str:
        """The key combination as a person reads it: `ticker=AAPL, day=2026-01-05`."""
        return ", ".join(
            f"{dim}={value if isinstance(value, str) else self.key_texts[dim]}"
            for dim, value in self.key.items()
        )

    @property
    def display(self) -> str:
        label = self.partition_label
        return f"{self.asset.display}[{label}]" if label else self.asset.display


def parse_partition_option(text: str) -> tuple[str, Any]:
    """DIM=KEY; KEY is read as JSON when it parses, else taken as a string."""
    dim, sep, raw = text.partition("=")
    if not sep or not dim:
        raise PlanError(f"--partition expects DIM=KEY, got '{text}'")
    try:
        value = json.loads(raw)
    except ValueError:
        value = raw
    return dim, value


def select(graph: Graph, names: Iterable[str]) -> list[Asset]:
    """The assets to plan, in dependency order: the named ones and all their upstreams.

    A name matches an asset's label (declared name, else function name), its display name
    or its reference (`/path/file.py:function`). No names means every asset.
    """
    names = list(names)
    if not names:
        return list(graph.order)
    wanted: set[Asset] = set()
    for name in names:
        matches = [a for a in graph.assets if name in (a.label, a.display, a.ref)]
        if not matches:
            raise PlanError(f"--select '{name}' matches no asset")
        wanted.update(matches)
    stack = list(wanted)
    while stack:
        for up in stack.pop().upstream.values():
            if up not in wanted:
                wanted.add(up)
                stack.append(up)
    return [a for a in graph.order if a in wanted]


def restrict(assets: list[Asset], options: list[tuple[str, Any]]) -> dict[str, set[str]]:
    """Keys kept per restricted dimension, as canonical JSON texts.

    Several options for one dimension keep the union of their keys. Every planned asset
    with that dimension is restricted; one left with none of the keys is an error.
    """
    kept: dict[str, set[str]] = {}
    for dim, value in options:
        kept.setdefault(dim, set()).add(canonical_json(value))
    for dim, texts in kept.items():
        having = [a for a in assets if dim in a.dims]
        if not having:
            raise PlanError(f"--partition {dim}=...: no planned asset has a dimension '{dim}'")
        for asset in having:
            if not any(k in texts for k, _ in asset.dims[dim]):
                shown = ", ".join(sorted(texts))
                raise PlanError(
                    f"--partition {dim}=...: asset '{asset.display}' has no key {shown} "
                    f"in dimension '{dim}'"
                )
    return kept


def _keys(asset: Asset, dim: str, kept: dict[str, set[str]]) -> list[tuple[str, Any]]:
    keys = asset.dims[dim]
    if dim in kept:
        keys = [(t, v) for t, v in keys if t in kept[dim]]
    return keys


def count_jobs(assets: list[Asset], kept: dict[str, set[str]]) -> int:
    """How many jobs a plan would hold, without building it."""
    total = 0
    for asset in assets:
        count = 1
        for dim in asset.dims:
            count *= len(_keys(asset, dim, kept))
        total += count
    return total


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


def build_jobs(assets: list[Asset], kept: dict[str, set[str]]) -> list[Job]:
    """Every job of the planned assets, upstream jobs before their downstream ones."""
    jobs: list[Job] = []
    by_asset: dict[Asset, list[Job]] = {}
    for asset in assets:
        dims = sorted(asset.dims)
        own: list[Job] = []
        names: set[str] = set()
        for combo in itertools.product(*(_keys(asset, d, kept) for d in dims)):
            key = {d: value for d, (_, value) in zip(dims, combo, strict=True)}
            texts = {d: text for d, (text, _) in zip(dims, combo, strict=True)}
            directory = partition_dir_name(key)
            if directory in names:  # a hash prefix collision: fall back to the whole digest
                directory = hashlib.sha256(canonical_json(key).encode()).hexdigest()
            names.add(directory)
            own.append(Job(len(jobs) + len(own), asset, key, texts, directory))
        for param, upstream in sorted(asset.upstream.items()):
            _connect(own, param, upstream, by_asset[upstream])
        by_asset[asset] = own
        jobs.extend(own)
    for job in jobs:
        job.version = _version(job)
    return jobs


def _connect(own: list[Job], param: str, upstream: Asset, theirs: list[Job]) -> None:
    """Gives each job of a downstream its value source for `param`."""
    shared = sorted(set(upstream.dims) & set(own[0].asset.dims)) if own else []
    rest = sorted(set(upstream.dims) - set(shared))
    index: dict[tuple[str, ...], list[Job]] = {}
    for job in theirs:
        index.setdefault(tuple(job.key_texts[d] for d in shared), []).append(job)
    for job in own:
        matches = index.get(tuple(job.key_texts[d] for d in shared), [])
        if rest:
            job.inputs.append(
                (param, [(fan_in_member(m.key, m.key_texts, rest), m) for m in matches])
            )
        elif len(matches) == 1:
            job.inputs.append((param, matches[0]))
        else:  # the graph checks make every shared key present upstream
            raise PlanError(f"asset '{job.asset.display}': no upstream job for input '{param}'")
        for match in matches:
            if match not in job.deps:
                job.deps.append(match)
                match.downstream.append(job)


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


def _version(job: Job) -> str:
    sources: list[Any] = []
    for param, source in job.inputs:
        if isinstance(source, Job):
            sources.append([param, source.version])
        else:
            sources.append([param, [[member, m.version] for member, m in source]])
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
        if not (
            os.path.isfile(os.path.join(directory, "value.json"))
            and os.path.isfile(os.path.join(directory, "result.json"))
        ):
            stale.add(job)
    return [j for j in jobs if j in stale]
