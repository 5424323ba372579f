"""`quarn.load` and `quarn.load_all`: stored values read back as downstream assets receive
them, and only when the state model calls them current, exactly as `quarn show` does.

The asset's module and its upstreams' modules are inspected in this process (a module the
caller imported is not imported again), their graph is planned against the output
directory, and the job's assessment decides: its code edited since it ran, an upstream
that is not current, a key or an asset no longer declared, a failed last run, all refuse
the value unless `allow_stale=True`.
"""

from __future__ import annotations

import difflib
import importlib
import json
import os
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from quarn._quarn import AssetWrapper, inspect_modules
from quarn.runner.canonical import canonical_json
from quarn.runner.config import ConfigError, load_settings
from quarn.runner.contract import ManifestEntry, module_reference
from quarn.runner.graph.build import build_graph
from quarn.runner.graph.model import Asset, Graph
from quarn.runner.plan.observe import FolderObserver
from quarn.runner.plan.params import settle_params
from quarn.runner.plan.prepare import code_roots, code_versions, prepare
from quarn.runner.plan.recorded import assess_recorded
from quarn.runner.plan.select import PlanError, select
from quarn.runner.project import in_roots
from quarn.runner.report.status import describe
from quarn.runner.state.assess import Assessment, orphaned
from quarn.runner.state.words import State
from quarn.runner.store import serializers
from quarn.runner.store.layout import job_path
from quarn.runner.store.manifest import Manifest
from quarn.runner.store.value_file import read_result, stored_value, stored_value_file
from quarn.runner.trace.observe import RecordedDeps

_MODULE_ROUNDS = 20  # upstreams in further modules: how far the search for them goes


class StaleValueError(Exception):
    """The stored value is not current (its code or an upstream changed, its last run
    failed, its key or asset is no longer declared...); the message says why.
    `allow_stale=True` reads it anyway."""


@dataclass(slots=True)
class Stored:
    """One job of an asset as the state model sees it: its key, folder, manifest record and
    assessment."""

    key: dict[str, Any]
    folder: str
    record: ManifestEntry | None
    assessment: Assessment


def load(
    asset: AssetWrapper[..., Any] | str,
    *,
    out: str | os.PathLike[str] = "out",
    partition: Mapping[str, Any] | None = None,
    allow_stale: bool = False,
    params: Mapping[str, Any] | None = None,
) -> Any:
    """The stored value of one job of `asset`, deserialized by the serializer that stored
    it: the same object a downstream asset receives.

    `asset` is the @asset function, its display name or 'module:function'; `partition`
    maps each dimension to its key, and is required exactly when the asset is
    partitioned. Raises LookupError when the job never ran, StaleValueError when it is not
    current (unless `allow_stale`). The job is judged with the run parameters of the
    project file (the nearest pyproject.toml's [tool.quarn.params]), which `params`
    overrides as `quarn run --set` does.
    """
    out = os.fspath(out)
    if partition is not None and not isinstance(partition, Mapping):
        raise TypeError(f"partition must be a dict from dimension to key, not {partition!r}")
    label, dims, jobs = _assess(asset, out, allow_stale, params)
    key = dict(partition) if partition is not None else {}
    if dims is not None:
        _check_partition(label, dims, partition)
    text = canonical_json(key)
    for job in jobs:
        if canonical_json(job.key) == text:
            return job_value(job, label, allow_stale)
    raise LookupError(f"{_where(label, key)} never ran into '{os.path.abspath(out)}'")


def load_all(
    asset: AssetWrapper[..., Any] | str,
    *,
    out: str | os.PathLike[str] = "out",
    allow_stale: bool = False,
    params: Mapping[str, Any] | None = None,
) -> list[tuple[dict[str, Any], Any]]:
    """Every stored job of `asset` as (partition dict, value) pairs, in the declared key
    order. Jobs that never ran are not listed, nor those of keys no longer declared; one
    that is not current raises StaleValueError, unless `allow_stale`, which lists each job
    that has a value at all. `params` as for `load`."""
    label, _, jobs = _assess(asset, os.fspath(out), allow_stale, params)
    found: list[tuple[dict[str, Any], Any]] = []
    for job in jobs:
        state = job.assessment.state
        if state is State.ORPHANED or (state is State.NEVER_RUN and not _has_value(job)):
            continue
        if allow_stale and not _has_value(job):
            continue
        found.append((dict(job.key), job_value(job, label, allow_stale)))
    return found


# Finding the asset and assessing its jobs -----------------------------------------------------


def _assess(
    asset: object, out: str, allow_stale: bool, params: Mapping[str, Any] | None = None
) -> tuple[str, list[str] | None, list[Stored]]:
    """The asset's label, its dimensions in declared order (None when unknown), and each
    of its jobs with its assessment: declared keys first, in declared order, then keys no
    longer declared."""
    manifest, warning = Manifest.load(out)
    if warning:
        raise LookupError(warning)
    wrapper, label = _named(asset, manifest)
    modules = _modules_of(wrapper, label, manifest)
    try:
        graph = _graph(modules, label, manifest.roots, manifest.serializer)
    except _CannotImport:
        if not allow_stale:
            raise
        return label, None, _as_recorded(label, manifest, out)
    found = _find(graph, wrapper, label)
    if found is None:
        return label, None, _undeclared(label, manifest, out, graph)
    assets = select(graph, [found.ref])
    roots = manifest.roots or code_roots(assets, [])
    values = _param_values(graph, params)
    deps = RecordedDeps(manifest.parts)
    code = code_versions(assets, roots)
    prepared = prepare(assets, {}, code, manifest, params=values, dependencies=deps)
    jobs = [
        Stored(dict(j.key), job_path(out, j.id), manifest.jobs.get(j.id), a)
        for j, a in prepared.plan.assessments.items()
        if j.asset is found
    ]
    prefix = found.dir_name + "/"
    for job_id in prepared.orphans:
        record = manifest.jobs.get(job_id)
        if job_id.startswith(prefix) and record is not None:
            gone = orphaned("its partition key is no longer declared")
            jobs.append(Stored(_recorded_key(record), job_path(out, job_id), record, gone))
    if not any(j.record is not None for j in jobs):
        raise LookupError(_never_ran(found.display, out, manifest))
    return found.display, list(found.dims), jobs


def _param_values(graph: Graph, params: Mapping[str, Any] | None) -> dict[str, Any]:
    """The values a run gives the parameters: the project file's, overridden by `params`."""
    if params is not None and not isinstance(params, Mapping):
        raise TypeError(f"params must be a dict from parameter name to value, not {params!r}")
    try:
        configured = load_settings(None, os.getcwd()).params
        return settle_params(graph, params or {}, configured, given_as="params['{}']").values
    except (ConfigError, PlanError) as exc:
        raise ValueError(str(exc)) from None


def _named(asset: object, manifest: Manifest) -> tuple[Any, str]:
    """The wrapper (None when named by its display name alone) and the asset's label."""
    if isinstance(asset, str) and ":" in asset:
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
    if isinstance(asset, str):
        return None, asset
    if getattr(asset, "__quarn_kind__", None) != "asset":
        raise TypeError(
            "asset must be an @asset function, its display name or 'module:function', "
            f"not {type(asset).__name__}"
        )
    meta: dict[str, Any] = asset.__quarn_metadata__  # type: ignore[attr-defined]
    return asset, meta.get("name") or str(asset.__name__)  # type: ignore[attr-defined]


def _modules_of(wrapper: Any, label: str, manifest: Manifest) -> list[str]:
    """The module that declares the asset: the wrapper's, else the one the runs recorded
    for that name; and those of the upstream jobs the runs recorded."""
    modules: list[str] = []
    if wrapper is not None:
        modules.append(str(wrapper.__module__))
    mine = [i for i, r in manifest.jobs.items() if r.get("asset") == label]
    stack = list(mine)
    seen = set(stack)
    while stack:
        job_id = stack.pop()
        record = manifest.jobs.get(job_id)
        if record is None:
            continue
        module = _recorded_module(record, manifest.out_dir, job_id)
        if module and module not in modules:
            modules.append(module)
        for up in record.get("inputs") or {}:
            if up not in seen:
                seen.add(up)
                stack.append(up)
    if not modules:
        raise LookupError(_never_ran(label, manifest.out_dir, manifest))
    return modules


class _CannotImport(LookupError):
    """A module the value's state depends on cannot be imported in this process."""


def _recorded_module(record: ManifestEntry, out: str, job_id: str) -> str:
    """The module the runs imported for a job: its record says, or (recorded by an older
    quarn) the success record in its folder."""
    function = record.get("function")
    if isinstance(function, str) and ":" in function:
        return function.rpartition(":")[0]
    result = read_result(job_path(out, job_id))
    module = result.get("module_path") if isinstance(result, dict) else None
    return module if isinstance(module, str) else ""


def _graph(modules: list[str], label: str, roots: list[str], serializer: str | None) -> Graph:
    """The graph of `modules` and of the modules their inputs name, inspected here, with
    the default serializer the run recorded; each module must be the project's (under the
    folders the run recorded), not a namesake."""
    import sys

    for name in modules:
        try:
            module = importlib.import_module(name)
        except Exception as exc:  # noqa: BLE001 - whatever the project's import raises
            raise _CannotImport(
                f"cannot import module '{name}' to check that the value of '{label}' is "
                f"current ({type(exc).__name__}: {exc}); put the project's folder on the "
                "import path, or pass allow_stale=True to read the value as it is"
            ) from None
        file = getattr(module, "__file__", None)
        if roots and isinstance(file, str) and not in_roots(file, roots):
            raise _CannotImport(
                f"module '{name}' imported here is {file}, not the project's module the run "
                f"imported (from {', '.join(roots)}); put the project's folder first on the "
                "import path, or pass allow_stale=True to read the value as it is"
            )
    asked = (*modules, serializer or "")
    cached = _GRAPHS.get(asked)
    if cached is not None and cached[0] == _fingerprint(cached[1], sys.modules):
        return cached[2]
    document = json.loads(inspect_modules(modules))
    for _ in range(_MODULE_ROUNDS):
        missing = _modules_of_unresolved(document, modules, sys.modules)
        if not missing:
            break
        modules = [*modules, *missing]
        document = json.loads(inspect_modules(modules))
    graph = build_graph(document, serializer=serializer)
    _GRAPHS[asked] = (_fingerprint(modules, sys.modules), modules, graph)
    return graph


# The graphs inspected in this process, by the modules asked for and the default
# serializer: reused while those modules (and those their inputs led to) are the same
# objects with the same files.
_GRAPHS: dict[tuple[str, ...], tuple[object, list[str], Graph]] = {}


def _fingerprint(modules: list[str], loaded: Mapping[str, Any]) -> object:
    found = []
    for name in modules:
        module = loaded.get(name)
        path = getattr(module, "__file__", None)
        try:
            st = os.stat(path) if isinstance(path, str) else None
        except OSError:
            st = None
        stamp = (st.st_size, st.st_mtime_ns, st.st_ctime_ns) if st is not None else None
        found.append((name, id(module), stamp))
    return tuple(found)


def _modules_of_unresolved(
    document: Any, modules: list[str], loaded: Mapping[str, Any]
) -> list[str]:
    """The imported modules that hold the functions some input names by its file path and
    that the document does not describe yet."""
    entries = [e for e in document.get("assets", []) if isinstance(e, dict)]
    have = {os.path.realpath(str(e.get("file_path"))) for e in entries}
    wanted: set[str] = set()
    for entry in entries:
        meta = entry.get("decorator_metadata")
        inputs = meta.get("inputs") if isinstance(meta, dict) else None
        for ref in inputs.values() if isinstance(inputs, dict) else ():
            path = str(ref).rpartition(":")[0]
            if path.startswith(os.sep) and os.path.realpath(path) not in have:
                wanted.add(os.path.realpath(path))
    if not wanted:
        return []
    found = []
    for name, module in list(loaded.items()):
        file = getattr(module, "__file__", None)
        if isinstance(file, str) and os.path.realpath(file) in wanted and name not in modules:
            found.append(name)
    return found


def _find(graph: Graph, wrapper: Any, label: str) -> Asset | None:
    if wrapper is not None:
        original = getattr(wrapper, "__quarn_original__", wrapper)
        path = getattr(getattr(original, "__code__", None), "co_filename", "")
        for asset in graph.assets:
            if asset.function_name == wrapper.__name__ and os.path.realpath(
                asset.file_path
            ) == os.path.realpath(path):
                return asset
    matches = [a for a in graph.assets if label in (a.label, a.display)]
    return matches[0] if len(matches) == 1 else None


def _undeclared(label: str, manifest: Manifest, out: str, graph: Graph) -> list[Stored]:
    """The recorded jobs of an asset that no module declares any more (renamed or
    removed), each orphaned."""
    jobs = []
    for job_id, record in manifest.jobs.items():
        if record.get("asset") != label:
            continue
        function = record.get("function")
        now = [a.display for a in graph.assets if function in _forms(a)]
        text = f"its asset is now named '{now[0]}'" if now else "its asset is no longer declared"
        assessment = orphaned(text)
        jobs.append(Stored(_recorded_key(record), job_path(out, job_id), record, assessment))
    if not jobs:
        raise LookupError(_never_ran(label, out, manifest))
    return jobs


def _as_recorded(label: str, manifest: Manifest, out: str) -> list[Stored]:
    """The asset's recorded jobs judged by their records alone (their code unseen), for
    `allow_stale` when the modules cannot be imported."""
    mine = {i: r for i, r in manifest.jobs.items() if r.get("asset") == label}
    observer = FolderObserver(out)
    assessed = assess_recorded(
        manifest.jobs,
        {},
        lambda i, r: observer.folder(i, job_path(out, i), r),
        dependencies=RecordedDeps(manifest.parts),
    )
    return [Stored(_recorded_key(r), job_path(out, i), r, assessed[i]) for i, r in mine.items()]


def _forms(asset: Asset) -> set[str]:
    return {module_reference(m, asset.function_name) for m in asset.modules}


def _recorded_key(record: ManifestEntry) -> dict[str, Any]:
    partition = record.get("partition")
    return dict(partition) if isinstance(partition, dict) else {}


# Reading values ---------------------------------------------------------------------------------


def _check_partition(label: str, dims: list[str], partition: Mapping[str, Any] | None) -> None:
    if partition is None:
        if dims:
            raise ValueError(
                f"asset '{label}' is partitioned by {', '.join(dims)}: pass "
                "partition={dimension: key, ...}"
            )
        return
    if not dims:
        raise ValueError(f"asset '{label}' is not partitioned: leave out partition")
    if set(partition) != set(dims):
        raise ValueError(
            f"asset '{label}' is partitioned by {', '.join(dims)}; partition "
            f"names {', '.join(sorted(map(str, partition))) or 'none'}"
        )


def _has_value(job: Stored) -> bool:
    recorded = job.record is not None and "digest" in job.record
    return recorded and stored_value_file(job.folder) is not None


def job_value(job: Stored, label: str, allow_stale: bool) -> Any:
    """The job's value, read by the serializer its record names; refused as `load` refuses
    it when the job is not current."""
    where = _where(label, job.key)
    state = job.assessment.state
    if state is not State.CURRENT:
        shown = describe(job.assessment, job.record)
        if not _has_value(job):
            raise LookupError(f"{where} has no stored value: {shown}")
        if not allow_stale:
            raise StaleValueError(
                f"{where}: the stored value is not current: {shown}; "
                "run it again, or pass allow_stale=True to read it anyway"
            )
    path, name = stored_value(job.folder) or (None, None)
    if path is None or name is None:
        raise LookupError(f"{where}: its result.json does not say where its value is")
    try:
        serializer = serializers.get(name)
    except LookupError as exc:
        raise LookupError(
            f"{where} was stored by serializer {name!r}, which this process does not know; "
            f"import the module that registers it first ({exc})"
        ) from None
    return serializers.read_value(serializer, path)


def _where(label: str, key: Mapping[str, Any]) -> str:
    shown = ", ".join(f"{d}={canonical_json(v)}" for d, v in key.items())
    return f"asset '{label}'" + (f" [{shown}]" if shown else "")


def _never_ran(label: str, out: str, manifest: Manifest) -> str:
    where = os.path.abspath(out)
    known = sorted({str(e.get("asset")) for e in manifest.jobs.values()})
    if not known:
        return f"asset '{label}' never ran into '{where}': it holds no recorded job"
    close = difflib.get_close_matches(label, known, n=1)
    hint = f"; did you mean '{close[0]}'?" if close else f"; it holds {', '.join(known[:10])}"
    return f"asset '{label}' never ran into '{where}'{hint}"
