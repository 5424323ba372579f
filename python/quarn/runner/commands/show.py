"""`quarn show`: the assets of some modules, or one asset's jobs in an output directory."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Mapping
from typing import Any

from quarn.runner.canonical import canonical_json, key_label
from quarn.runner.commands import shared
from quarn.runner.graph.model import Asset, Graph
from quarn.runner.plan.params import used_params
from quarn.runner.plan.select import PlanError, find_asset, select
from quarn.runner.report.look import Look, look
from quarn.runner.report.runs import latest_jobs
from quarn.runner.report.status import asset_state, count_states, describe
from quarn.runner.store.history import load_runs
from quarn.runner.store.manifest import Manifest
from quarn.runner.text import clock, duration, one_line
from quarn.runner.trace.deps import join, listing


def build_parser(prog: str) -> argparse.ArgumentParser:
    parser = shared.parser(
        prog,
        "List the assets of MODULEs (name, module:function, partitions, inputs, and their "
        "state in DIR), or with --asset, that asset's jobs: partition, state and why, when it "
        "last ran, how long it took and its folder.",
        "States: current (its value is that of its present version and inputs), stale (with "
        "the reasons: its code, declaration, keys or an upstream value changed, or its files "
        "did), failed (its latest run failed; its last good value is kept), interrupted (its "
        "latest run was stopped), running, never run, orphaned (its key is no longer "
        "declared).",
    )
    shared.add_modules(parser)
    shared.add_out(parser)
    parser.add_argument("--asset", metavar="ASSET", help="show this asset's jobs")
    parser.add_argument(
        "--deps",
        action="store_true",
        help="with --asset: also list what its jobs' last successful runs were seen to use "
        "(the code that ran, the files read, the environment variables read) and in how many "
        "of its jobs",
    )
    return parser


def main(argv: list[str] | None = None, prog: str = "quarn show") -> int:
    args = shared.parse(build_parser(prog), argv, shared.DEFAULT_OUT)
    return shared.run_command(prog, lambda: _show(args, prog))


def _show(args: argparse.Namespace, prog: str) -> int:
    graph, paths = shared.load_for(args)
    shared.say_where(prog, args.out)
    params = shared.params_of(graph, args)
    if args.asset is None:
        seen = look(graph.order, paths, args.out, args.root, params)
        _warn(seen, prog)
        sys.stdout.write(assets_table(graph, seen, params))
        return 0
    try:
        asset = find_asset(graph, args.asset)
    except PlanError as exc:
        raise shared.CommandError(str(exc).replace("--select ", ""), 2) from None
    seen = look(select(graph, [asset.ref]), paths, args.out, args.root, params)
    _warn(seen, prog)
    sys.stdout.write(jobs_table(asset, seen, args.out))
    if args.deps:
        sys.stdout.write("\n" + deps_table(asset, seen, args.out))
    return 0


def deps_table(asset: Asset, seen: Look, out: str) -> str:
    """What the asset's jobs used when they last succeeded, as recorded while they ran."""
    parts = Manifest.load(out)[0].parts
    records = []
    for job in (j for j in seen.jobs if j.asset is asset):
        refs = seen.records.get(job.id, {}).get("deps")
        deps = join(refs, parts) if isinstance(refs, dict) else None
        if deps is not None:
            records.append(deps)
    if not records:
        return "no job of this asset has a record of what it used\n"
    rows = [[kind, one_line(what), str(n)] for kind, what, n in listing(records, os.getcwd())]
    return shared.table(["USED", "WHAT", "JOBS"], rows)


def _warn(seen: Look, prog: str) -> None:
    if seen.warning:
        sys.stderr.write(f"{prog}: warning: {one_line(seen.warning)}\n")


def assets_table(graph: Graph, seen: Look, params: Mapping[str, Any] | None = None) -> str:
    """One row per asset; a PARAMETERS column when any asset has run parameters, each as
    `name=value` when the run gives it one, else as `name (default)`."""
    with_params = any(a.params for a in graph.order)
    rows = []
    for asset in graph.order:
        states = seen.of_asset(asset)
        state = f"{asset_state(states.values())} ({count_states(states.values())})"
        dims = ", ".join(f"{d}: {len(k)}" for d, k in asset.dims.items()) or "-"
        inputs = ", ".join(f"{p}={_upstream(asset, p)}" for p in sorted(asset.upstream))
        cells = [asset.display, f"{asset.module}:{asset.function_name}", dims, inputs or "-"]
        if with_params:
            cells.append(_params(asset, params or {}) or "-")
        rows.append([one_line(c) for c in [*cells, state]])
    header = ["ASSET", "FUNCTION", "PARTITIONS", "INPUTS"]
    return shared.table([*header, *(["PARAMETERS"] if with_params else []), "STATE"], rows)


def _upstream(asset: Asset, param: str) -> str:
    mapping = asset.mappings.get(param)
    shown = asset.upstream[param].display
    return f"{shown}[{mapping.text}]" if mapping is not None else shown


def _params(asset: Asset, values: Mapping[str, Any]) -> str:
    given = used_params(asset, values)
    return ", ".join(
        f"{n}={canonical_json(given[n])}" if n in given else f"{n} (default)" for n in asset.params
    )


def jobs_table(asset: Asset, seen: Look, out: str) -> str:
    latest = latest_jobs(load_runs(out)[0])
    rows = []
    shown = [(j.id, j.partition_label, a) for j, a in seen.jobs.items() if j.asset is asset]
    prefix = asset.dir_name + "/"
    shown += [
        (i, _recorded_label(seen, i, list(asset.dims)), a)
        for i, a in seen.orphans.items()
        if i.startswith(prefix)
    ]
    for job_id, label, assessment in shown:
        record = seen.records.get(job_id)
        last = latest.get(job_id) if record is not None else None
        cells = [
            label or "-",
            describe(assessment, record),
            clock(last["started"] if last else None),
            duration(last["seconds"] if last else None),
            os.path.join(out, job_id),
        ]
        rows.append([one_line(c) for c in cells])
    return shared.table(["PARTITION", "STATE", "LAST RUN", "DURATION", "FOLDER"], rows)


def _recorded_label(seen: Look, job_id: str, dims: list[str]) -> str:
    record = seen.records.get(job_id)
    partition = record.get("partition") if record else None
    if not isinstance(partition, dict):
        return job_id.partition("/")[2]
    return key_label(partition, dims)
