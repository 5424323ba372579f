"""Job versions: what a job's result depends on besides the values it consumes."""

from __future__ import annotations

import hashlib
import json
from typing import TYPE_CHECKING, Any

from quarn.runner.canonical import canonical_json
from quarn.runner.graph.model import Asset
from quarn.runner.state.assess import PARAM_PART
from quarn.runner.store.serializers import DEFAULT

if TYPE_CHECKING:
    from quarn.runner.plan.jobs import Job

_VERSION_TAG = "quarn job version 2"


def declaration(asset: Asset) -> Any:
    """The declaration as a job's version sees it.

    Inputs name their upstream by label, not by file path, so moving the project keeps
    every version. Partitions count by their dimension names only: the job's own key is
    hashed apart, so adding or removing a key leaves every other job's version alone (a
    fan-in notices the change through the set of upstream jobs it consumes).
    """
    meta = asset.metadata
    if not isinstance(meta, dict):
        return meta
    shown = dict(meta)
    if isinstance(meta.get("inputs"), dict):
        shown["inputs"] = {p: _input(asset, p, r) for p, r in meta["inputs"].items()}
    if isinstance(meta.get("partitions"), dict):
        shown["partitions"] = sorted(meta["partitions"])
    return shown


def default_serializer(asset: Asset) -> str | None:
    """The project's default serializer when the asset stores its values by it, None when
    it declares its own or the default is JSON's: a version that changes with the default
    alone, so changing it runs again exactly the assets it changes, and a project without
    one keeps every version it had."""
    if asset.declared_serializer is not None or asset.default_serializer in (None, DEFAULT):
        return None
    return asset.default_serializer


def _input(asset: Asset, param: str, text: Any) -> Any:
    """An input as its version sees it: the upstream's label, and the keys it takes."""
    if param not in asset.upstream:
        return text
    mapping = asset.mappings.get(param)
    label = asset.upstream[param].label
    return f"{label}[{mapping.text}]" if mapping is not None else label


def asset_version(asset: Asset, code_version: str) -> str:
    """What every job of the asset shares: its code version and declaration, and the
    project's default serializer when it stores by it."""
    payload = [_VERSION_TAG, code_version, declaration(asset)]
    serializer = default_serializer(asset)
    if serializer is not None:
        payload.append({"serializer": serializer})
    return hashlib.sha256(canonical_json(payload).encode("utf-8")).hexdigest()


def version_jobs(asset: Asset, jobs: list[Job], code_version: str, params: dict[str, Any]) -> None:
    """Sets the version of each job of `asset` and the digest of each of its parts, what
    they share computed once.

    A job's version is the hash of the asset's version, the job's key text (`key_text`)
    and, when it is given parameter values, their digest. The parts are recorded apart
    from the whole so a changed version can say which part changed. Parameter values count
    by a digest each (`params.NAME`), so a reason can name the parameter without the record
    holding its value; a job given none has no such part, and the version it always had."""
    shared = asset_version(asset, code_version)
    common = {"code": code_version, "declaration": _digest(canonical_json(declaration(asset)))}
    serializer = default_serializer(asset)
    if serializer is not None:
        common["serializer"] = _digest(serializer)
    if params:
        each = {f"{PARAM_PART}{n}": _digest(canonical_json([n, v])) for n, v in params.items()}
        common["params"] = _digest(canonical_json(each))
        common.update(each)
    tail = "\nparams " + common["params"] if params else ""
    for job in jobs:
        key = key_text(job)
        job.params = params
        job.parts = {**common, "key": _digest(key)}
        job.version = _digest(shared + key + tail)


def key_text(job: Job) -> str:
    """The job's key; for a fan-in, also the order of the members it receives (the
    upstream's declared key order: the function may iterate over it) when that order is not
    the sorted one. Which members it receives is compared apart, as its set of upstream
    jobs, so a key added in order keeps the version."""
    text = "\n" + key_json(job.key_texts)
    orders = [[m for m, _ in s] for _, s in job.inputs if isinstance(s, list)]
    if any(order != sorted(order) for order in orders):
        text += "\n" + canonical_json(orders)
    return text


def key_json(key_texts: dict[str, str]) -> str:
    """`canonical_json` of a key combination, put together from the texts of its keys."""
    members = (f"{json.dumps(d, ensure_ascii=False)}:{key_texts[d]}" for d in sorted(key_texts))
    return "{" + ",".join(members) + "}"


def _digest(text: str) -> str:
    return hashlib.sha256(text.encode("utf-8")).hexdigest()
