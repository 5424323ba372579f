"""Finding the stored jobs of an asset in an output directory, and whether each is current.

An asset is named by its `AssetWrapper`, its display name, or `module:function`. The
manifest says which jobs the runs recorded and under which display name; a job's folder
may also hold files the manifest no longer vouches for (its last run failed, or it was
skipped), which are found too, so that they are refused rather than silently left out.
"""

from __future__ import annotations

import difflib
import importlib
import json
import os
import re
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any, cast

from quarn.runner.canonical import canonical_json
from quarn.runner.contract import RESULT_FILE, ManifestEntry
from quarn.runner.plan.jobs import partition_dir_name
from quarn.runner.store.digest import value_digest, value_file_name
from quarn.runner.store.manifest import Manifest

_UNSAFE = re.compile(r"[^A-Za-z0-9._-]")


@dataclass(slots=True)
class Wanted:
    """What the caller named: the label to show, how the manifest may call it, and, when
    the declaration is at hand, the function and the declared keys of each dimension."""

    label: str
    displays: set[str]
    module: str | None = None
    function: str | None = None
    dims: dict[str, list[Any]] | None = None


@dataclass(slots=True)
class StoredJob:
    key: dict[str, Any]
    folder: str
    entry: Mapping[str, Any] | None  # the manifest's record, None when it has none
    record: Any = field(default=None)  # result.json, None when unreadable
    stale: str = ""  # why the value is not current; "" when it is

    def describe(self, label: str) -> str:
        shown = ", ".join(f"{d}={canonical_json(v)}" for d, v in self.key.items())
        return f"asset '{label}'" + (f" [{shown}]" if shown else "")


_STATUS_REASONS = {
    "failed": "its last run failed",
    "skipped": "it was skipped in the last run (an upstream failed)",
    "running": "a run started it and did not record how it ended",
}


def stale_reason(entry: Mapping[str, Any] | None, record: Any, recorded: Mapping[str, Any]) -> str:
    """Why a job's stored value is not current, or "" when it is: the manifest records its
    last run as succeeded, its folder holds a success record, and each upstream value it
    consumed is still the one recorded for that upstream (where the manifest records the
    digests; a manifest without statuses records successes only)."""
    if isinstance(record, dict) and record.get("ok") is False:
        return f"its last run failed: {record.get('error')}"
    if entry is None:
        return "the last run that planned it did not finish it (an upstream failed, or a stop)"
    status = entry.get("status", "succeeded")
    if status != "succeeded":
        return _STATUS_REASONS.get(str(status), f"its last run ended as {status}")
    if not (isinstance(record, dict) and record.get("ok") is True):
        return "its folder holds no success record"
    return _inputs_reason(entry, recorded, set())


def _inputs_reason(entry: Mapping[str, Any], recorded: Mapping[str, Any], seen: set[str]) -> str:
    """Why a value made from the recorded inputs of `entry` is not current: an upstream
    value changed since, or an upstream is itself not current (however far up)."""
    consumed = entry.get("inputs")
    for upstream, digest in consumed.items() if isinstance(consumed, dict) else ():
        now = recorded.get(upstream)
        name = now.get("asset", upstream) if isinstance(now, dict) else upstream
        if not isinstance(now, dict) or now.get("digest") != digest:
            return f"the value of its upstream {name} changed since it ran"
        if upstream in seen:
            continue
        seen.add(upstream)
        if now.get("status", "succeeded") != "succeeded" or _inputs_reason(now, recorded, seen):
            return f"its upstream {name} is not current"
    return ""


def wanted(asset: object) -> Wanted:
    if isinstance(asset, str):
        if ":" not in asset:
            return Wanted(asset, {asset})
        module_name, _, function = asset.rpartition(":")
        try:
            module = importlib.import_module(module_name)
        except ImportError as exc:
            raise LookupError(f"cannot import module '{module_name}' of '{asset}': {exc}") from exc
        found = getattr(module, function, None)
        if getattr(found, "__quarn_kind__", None) != "asset":
            raise LookupError(f"'{asset}' is not an asset: module '{module_name}' binds no "
                              f"@asset function '{function}'")  # fmt: skip
        asset = found
    if getattr(asset, "__quarn_kind__", None) != "asset":
        raise TypeError(
            "asset must be an @asset function, its display name or 'module:function', "
            f"not {type(asset).__name__}"
        )
    meta: dict[str, Any] = asset.__quarn_metadata__  # type: ignore[attr-defined]
    function = str(asset.__name__)  # type: ignore[attr-defined]
    label = meta.get("name") or function
    dims = {
        dim: json.loads(spec["values_json"])
        for dim, spec in sorted((meta.get("partitions") or {}).items())
    }
    return Wanted(label, {label}, str(asset.__module__), function, dims)


def find_jobs(want: Wanted, out: str, probe: list[dict[str, Any]]) -> tuple[str, list[StoredJob]]:
    """The asset's folder and its stored jobs: those the manifest records, and those of the
    `probe` keys whose folders hold a result the manifest does not vouch for."""
    manifest, warning = Manifest.load(out)
    if warning:
        raise LookupError(warning)
    exact: dict[str, list[tuple[str, Mapping[str, Any]]]] = {}
    similar: dict[str, list[tuple[str, Mapping[str, Any]]]] = {}
    shared = _UNSAFE.sub("_", want.label)[:80].lstrip(".") + "-"
    for job_id, entry in manifest.jobs.items():
        display = entry.get("asset")
        if display in want.displays:
            exact.setdefault(job_id.split("/", 1)[0], []).append((job_id, entry))
        elif want.function is not None and isinstance(display, str) and display.startswith(shared):
            # Assets that share a label are shown by their folder names, the label and a hash.
            similar.setdefault(job_id.split("/", 1)[0], []).append((job_id, entry))
    by_dir = exact or {d: jobs for d, jobs in similar.items() if _made_by(out, jobs, want)}
    if len(by_dir) > 1 and want.function is not None:
        by_dir = {d: jobs for d, jobs in by_dir.items() if _made_by(out, jobs, want)}
    if not by_dir and os.path.isdir(os.path.join(out, shared[:-1])) and shared[:-1] == want.label:
        by_dir = {want.label: []}  # no job recorded, but its folder is there: not current
    if not by_dir:
        raise LookupError(_never_ran(want, out, manifest))
    if len(by_dir) > 1:
        raise LookupError(
            f"'{want.label}' names several assets ({', '.join(sorted(by_dir))}); name one by "
            "its @asset function or 'module:function'"
        )
    asset_dir, entries = next(iter(by_dir.items()))
    jobs: dict[str, StoredJob] = {}
    for job_id, recorded in entries:
        key = dict(recorded.get("partition") or {})
        folder = os.path.join(out, job_id)
        record = _read(folder)
        stale = stale_reason(recorded, record, manifest.jobs) or _value_changed(folder, recorded)
        jobs[canonical_json(key)] = StoredJob(key, folder, recorded, record, stale)
    for key in probe:
        folder = os.path.join(out, asset_dir, partition_dir_name(key))
        if canonical_json(key) not in jobs and os.path.exists(os.path.join(folder, RESULT_FILE)):
            record = _read(folder)
            stale = stale_reason(None, record, manifest.jobs)
            jobs[canonical_json(key)] = StoredJob(key, folder, None, record, stale)
    return os.path.join(out, asset_dir), list(jobs.values())


def stray_folders(parent: str, jobs: list[StoredJob]) -> list[str]:
    """Folders of the asset that hold a result none of `jobs` accounts for: jobs that the
    manifest forgot and whose keys the caller could not name."""
    known = {os.path.basename(j.folder) for j in jobs}
    try:
        names = sorted(os.listdir(parent))
    except OSError:
        return []
    return [
        n for n in names
        if n not in known and os.path.exists(os.path.join(parent, n, RESULT_FILE))
    ]  # fmt: skip


def order(jobs: list[StoredJob], want: Wanted) -> list[StoredJob]:
    """Declared key order when the declaration is at hand, else by the keys' JSON text."""
    if want.dims:
        rank = {canonical_json(k): i for i, k in enumerate(declared_keys(want))}
        return sorted(jobs, key=lambda j: (rank.get(canonical_json(j.key), len(rank)),
                                           canonical_json(j.key)))  # fmt: skip
    return sorted(jobs, key=lambda j: canonical_json(j.key))


def declared_keys(want: Wanted) -> list[dict[str, Any]]:
    """Every declared key combination; without the declaration, the unpartitioned one."""
    if not want.dims:
        return [{}]
    combos: list[dict[str, Any]] = [{}]
    for dim, keys in want.dims.items():
        unique = list({canonical_json(k): k for k in keys}.values())
        combos = [{**c, dim: k} for c in combos for k in unique]
    return combos


def _made_by(out: str, jobs: list[tuple[str, Mapping[str, Any]]], want: Wanted) -> bool:
    for job_id, _ in jobs:
        record = _read(os.path.join(out, job_id))
        if isinstance(record, dict) and record.get("function_name") is not None:
            return bool(
                record.get("function_name") == want.function
                and record.get("module_path") == want.module
            )
    return False


def _value_changed(folder: str, entry: Mapping[str, Any]) -> str:
    """Why the value file is not the one the recorded success wrote, or "" when it is (read
    again only when its stat differs from the recorded one, as a run does)."""
    name = value_file_name(folder)
    found = None if name is None else value_digest(folder, name, cast(ManifestEntry, entry))
    if found is None:
        return "its value file is missing"
    if found[0] != entry.get("digest"):
        return "its value file is not the one its last success wrote"
    return ""


def _read(folder: str) -> Any:
    try:
        with open(os.path.join(folder, RESULT_FILE), encoding="utf-8") as handle:
            return json.load(handle)
    except (OSError, ValueError):
        return None


def _never_ran(want: Wanted, out: str, manifest: Manifest) -> str:
    known = sorted({str(e.get("asset")) for e in manifest.jobs.values()})
    if not known:
        return f"asset '{want.label}' never ran into '{out}': it holds no recorded job"
    close = difflib.get_close_matches(want.label, known, n=1)
    hint = f"; did you mean '{close[0]}'?" if close else f"; it holds {', '.join(known[:10])}"
    return f"asset '{want.label}' never ran into '{out}'{hint}"
