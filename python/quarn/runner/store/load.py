"""`quarn.load` and `quarn.load_all`: the stored values of an asset, read back as the
downstream assets receive them."""

from __future__ import annotations

import os
from collections.abc import Mapping
from typing import Any

from quarn._quarn import AssetWrapper
from quarn.runner.canonical import canonical_json
from quarn.runner.store import serializers
from quarn.runner.store.lookup import (
    StoredJob,
    Wanted,
    declared_keys,
    find_jobs,
    order,
    stray_folders,
    wanted,
)


class StaleValueError(Exception):
    """The stored value is not current: its job failed or was skipped in the last run that
    planned it, or its inputs changed since. `allow_stale=True` reads it anyway."""


def load(
    asset: AssetWrapper[..., Any] | str,
    *,
    out: str | os.PathLike[str] = "out",
    partition: Mapping[str, Any] | None = None,
    allow_stale: bool = False,
) -> Any:
    """The stored value of one job of `asset`, deserialized by the serializer that stored
    it: the same object a downstream asset receives.

    `asset` is the @asset function, its display name or 'module:function'; `partition`
    maps each dimension to its key, and is required exactly when the asset is
    partitioned. Raises LookupError when the job never ran, StaleValueError when it is not
    current (unless `allow_stale`).
    """
    want = wanted(asset)
    out = os.path.abspath(os.fspath(out))  # its errors say where they looked
    if partition is not None and not isinstance(partition, Mapping):
        raise TypeError(f"partition must be a dict from dimension to key, not {partition!r}")
    key = dict(partition) if partition is not None else {}
    _, jobs = find_jobs(want, out, [key])
    _check_partition(want, jobs, partition)
    text = canonical_json(key)
    for job in jobs:
        if canonical_json(job.key) == text:
            return _value(job, want, allow_stale)
    shown = StoredJob(key, "", None).describe(want.label)
    raise LookupError(f"{shown} never ran into '{out}'")


def load_all(
    asset: AssetWrapper[..., Any] | str,
    *,
    out: str | os.PathLike[str] = "out",
    allow_stale: bool = False,
) -> list[tuple[dict[str, Any], Any]]:
    """Every stored job of `asset` as (partition dict, value) pairs, in the declared key
    order when `asset` is the @asset function (else by key). Jobs that never ran are not
    listed; one that is not current raises StaleValueError, unless `allow_stale`, which
    lists each job that has a value at all."""
    want = wanted(asset)
    out = os.path.abspath(os.fspath(out))  # its errors say where they looked
    folder, jobs = find_jobs(want, out, declared_keys(want))
    jobs = order(jobs, want)
    stray = stray_folders(folder, jobs)
    if stray and not allow_stale:
        raise StaleValueError(
            f"asset '{want.label}': {len(stray)} stored job(s) are not current and their "
            f"keys are not recorded (folders {', '.join(stray[:5])}); run the asset again, "
            "or pass allow_stale=True to leave them out"
        )
    found: list[tuple[dict[str, Any], Any]] = []
    for job in jobs:
        if allow_stale and not _has_value(job):
            continue
        found.append((dict(job.key), _value(job, want, allow_stale)))
    return found


def _check_partition(
    want: Wanted, jobs: list[StoredJob], partition: Mapping[str, Any] | None
) -> None:
    if want.dims is not None:
        dims = set(want.dims)
    elif any(job.entry is not None for job in jobs):
        dims = {d for job in jobs if job.entry is not None for d in job.key}
    else:
        return  # neither the declaration nor a record says: the folders answer
    if partition is None:
        if dims:
            raise ValueError(
                f"asset '{want.label}' is partitioned by {', '.join(sorted(dims))}: pass "
                "partition={dimension: key, ...}"
            )
        return
    if not dims:
        raise ValueError(f"asset '{want.label}' is not partitioned: leave out partition")
    if set(partition) != dims:
        raise ValueError(
            f"asset '{want.label}' is partitioned by {', '.join(sorted(dims))}; partition "
            f"names {', '.join(sorted(map(str, partition))) or 'none'}"
        )


def _has_value(job: StoredJob) -> bool:
    return isinstance(job.record, dict) and job.record.get("ok") is True


def _value(job: StoredJob, want: Wanted, allow_stale: bool) -> Any:
    where = job.describe(want.label)
    if job.stale:
        if not _has_value(job):
            raise LookupError(f"{where} has no stored value: {job.stale}")
        if not allow_stale:
            raise StaleValueError(
                f"{where}: the stored value is not current: {job.stale}; "
                "run it again, or pass allow_stale=True to read it anyway"
            )
    record: dict[str, Any] = job.record
    name = record.get("artifact_format")
    value_path = record.get("value_path")
    if not isinstance(name, str) or not isinstance(value_path, str):
        raise LookupError(f"{where}: its result.json does not say where its value is")
    try:
        serializer = serializers.get(name)
    except LookupError as exc:
        raise LookupError(
            f"{where} was stored by serializer {name!r}, which this process does not know; "
            f"import the module that registers it first ({exc})"
        ) from None
    path = os.path.join(job.folder, os.path.basename(value_path))
    return serializers.read_value(serializer, path)
