"""`quarn show`: the assets of some modules, or one asset's jobs in an output directory."""

from __future__ import annotations

import argparse
import os
import sys

from quarn.runner.commands import shared
from quarn.runner.graph.model import Asset, Graph
from quarn.runner.plan.select import PlanError, find_asset, select
from quarn.runner.report.look import job_states
from quarn.runner.report.status import asset_state, count_states
from quarn.runner.store.history import latest_jobs, load_runs
from quarn.runner.text import clock, duration


def build_parser(prog: str) -> argparse.ArgumentParser:
    parser = shared.parser(
        prog,
        "List the assets of MODULEs (name, module:function, partitions, inputs, and their "
        "state in DIR), or with --asset, that asset's jobs: partition, state, when it last "
        "ran, how long it took and its folder.",
        "States: current (its value is of its present version), stale (its code, "
        "declaration, keys or upstreams changed, or its value is missing), failed (its "
        "latest run failed), never run.",
    )
    shared.add_modules(parser)
    shared.add_out(parser)
    parser.add_argument("--asset", metavar="ASSET", help="show this asset's jobs")
    return parser


def main(argv: list[str] | None = None, prog: str = "quarn show") -> int:
    args = shared.parse(build_parser(prog), argv, shared.DEFAULT_OUT)
    return shared.run_command(prog, lambda: _show(args, prog))


def _show(args: argparse.Namespace, prog: str) -> int:
    graph, paths = shared.load(args.modules, args.path, base=args.base)
    shared.say_where(prog, args.out)
    if args.asset is None:
        sys.stdout.write(assets_table(graph, paths, args.out, args.root))
        return 0
    try:
        asset = find_asset(graph, args.asset)
    except PlanError as exc:
        raise shared.CommandError(str(exc).replace("--select ", ""), 2) from None
    sys.stdout.write(jobs_table(graph, paths, asset, args.out, args.root))
    return 0


def assets_table(graph: Graph, paths: list[str], out: str, root: str | None = None) -> str:
    states = job_states(graph.order, paths, out, root)
    rows = []
    for asset in graph.order:
        mine = {j.id: s for j, s in states.items() if j.asset is asset}
        state = f"{asset_state(mine.values())} ({count_states(mine)})"
        dims = ", ".join(f"{d}: {len(k)}" for d, k in asset.dims.items()) or "-"
        inputs = ", ".join(f"{p}={up.display}" for p, up in sorted(asset.upstream.items()))
        rows.append(
            [asset.display, f"{asset.module}:{asset.function_name}", dims, inputs or "-", state]
        )
    return shared.table(["ASSET", "FUNCTION", "PARTITIONS", "INPUTS", "STATE"], rows)


def jobs_table(
    graph: Graph, paths: list[str], asset: Asset, out: str, root: str | None = None
) -> str:
    states = job_states(select(graph, [asset.ref]), paths, out, root)
    jobs = [j for j in states if j.asset is asset]
    latest = latest_jobs(load_runs(out)[0])
    rows = []
    for job in jobs:
        last = latest.get(job.id)
        rows.append(
            [
                job.partition_label or "-",
                states[job],
                clock(last["started"] if last else None),
                duration(last["seconds"] if last else None),
                os.path.join(out, job.asset.dir_name, job.partition_dir),
            ]
        )
    return shared.table(["PARTITION", "STATE", "LAST RUN", "DURATION", "FOLDER"], rows)
