"""`quarn history`: the runs an output directory has seen, or one asset's jobs across them."""

from __future__ import annotations

import argparse
import os
import sys

from quarn.runner.commands import shared
from quarn.runner.contract import RunRecord
from quarn.runner.report.look import look_recorded
from quarn.runner.report.status import count_states
from quarn.runner.text import clock, counted, duration, one_line


def build_parser(prog: str) -> argparse.ArgumentParser:
    parser = shared.parser(
        prog,
        "List the runs recorded in DIR/.quarn/history (one line per run: its id, start, "
        "duration, exit status, jobs by status and command), or with ASSET, that asset's "
        "jobs in every run that planned it (status, attempts, duration, version). "
        "A single word that names no file or folder is the ASSET.",
    )
    shared.add_out(parser, "positional")
    parser.add_argument(
        "asset", nargs="?", metavar="ASSET", help="an asset's name (or its folder name)"
    )
    parser.add_argument(
        "--last", type=int, metavar="N", help="only the N latest runs (default: all)"
    )
    shared.add_project(parser)
    return parser


def main(argv: list[str] | None = None, prog: str = "quarn history") -> int:
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    if args.asset is None and args.out is not None and not os.path.exists(args.out):
        args.out, args.asset = None, args.out  # `quarn history ASSET`: of the default DIR
    shared.configure(args, parser, shared.DEFAULT_OUT)
    return shared.run_command(prog, lambda: _history(args, prog))


def _history(args: argparse.Namespace, prog: str) -> int:
    runs = shared.recorded_runs(args.out, prog)
    if args.last is not None:
        runs = runs[-args.last :] if args.last > 0 else []
    if args.asset is None:
        sys.stdout.write(runs_table(runs))
    else:
        name = asset_name(runs, args.asset, args.out)
        sys.stdout.write(asset_table(runs, name))
        sys.stdout.write(now_line(args.out, runs, name))
    return 0


def runs_table(runs: list[RunRecord]) -> str:
    rows = [
        [
            run["run"],
            clock(run["started"]),
            duration(run["ended"] - run["started"]),
            str(run["exit_status"]),
            counted([j["status"] for j in run["jobs"]]),
            " ".join(run["command"]),
        ]
        for run in runs
    ]
    header = ["RUN", "STARTED", "DURATION", "EXIT", "JOBS", "COMMAND"]
    return shared.table(header, rows)


def asset_name(runs: list[RunRecord], name: str, out: str = "") -> str:
    """The shown name `name` stands for: a shown name itself, or the one label of an asset.
    Two assets with that label are listed with their modules."""
    shown: dict[str, tuple[str, str]] = {}  # shown name -> (label, module:function)
    for run in runs:
        for a in run["assets"]:
            shown[a["name"]] = (a["label"], f"{a['module']}:{a['function']}")
    if name in shown:
        return name
    matches = sorted(n for n, (label, _) in shown.items() if label == name)
    if len(matches) == 1:
        return matches[0]
    if matches:
        listed = "; ".join(f"'{n}' ({shown[n][1]})" for n in matches)
        raise shared.CommandError(f"'{name}' names {len(matches)} assets: {listed}", 2)
    where = f" in {os.path.abspath(out)}" if out else ""
    raise shared.CommandError(f"no run recorded{where} planned an asset named '{name}'", 2)


def now_line(out: str, runs: list[RunRecord], name: str) -> str:
    """`now: 2 current, 1 stale`: the states of the asset's recorded jobs today, judged
    against the versions the runs planned (`quarn show` judges the code as it is now)."""
    seen, assessed = look_recorded(out, runs)
    states = [a.state for i, a in assessed.items() if seen.records[i].get("asset") == name]
    return f"now: {count_states(states)}\n" if states else ""


def asset_table(runs: list[RunRecord], name: str) -> str:
    rows = [
        [
            run["run"],
            clock(job["started"] or run["started"]),
            job["partition"] or "-",
            job["status"],
            str(job["attempts"]),
            duration(job["seconds"]),
            job["version"][:12],
            one_line(job["error"]),
        ]
        for run in runs
        for job in run["jobs"]
        if job["asset"] == name
    ]
    header = ["RUN", "STARTED", "PARTITION", "STATUS", "ATTEMPTS", "DURATION", "VERSION", "ERROR"]
    return shared.table(header, rows)
