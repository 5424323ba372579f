"""`quarn report`: the latest run of an output directory as one self-contained HTML page."""

from __future__ import annotations

import argparse
import os
import sys
import urllib.parse
from collections.abc import Mapping

from quarn.runner.commands import shared
from quarn.runner.contract import REPORT_FILE, AssetRecord, JobRecord, RunRecord
from quarn.runner.report.html import FailedJob, JobRow, page
from quarn.runner.report.look import Look, Nodes, asset_states, look, look_recorded
from quarn.runner.report.render import RenderError, picture, render
from quarn.runner.report.status import asset_state, count_states, describe
from quarn.runner.state.assess import Assessment
from quarn.runner.state.words import NOT_STARTED, Action, State, Status
from quarn.runner.store.paths import LayoutError, inside, read_inside, write_inside
from quarn.runner.text import clock

_TAIL_LINES = 40


def build_parser(prog: str) -> argparse.ArgumentParser:
    parser = shared.parser(
        prog,
        "Write one self-contained HTML file about the latest run in DIR: the asset graph "
        "coloured by state, a table of every job (asset, partition, how its latest run ended, "
        "its state now, start, duration, attempts, folder) to sort and filter, and for each "
        "failed job its error, the end of its output and a link to the whole log. Nothing is "
        "fetched when the page is viewed.",
        "With MODULEs, states are those `quarn show` and `quarn graph --out` give (code edited "
        "since the latest run counts); without, each job is judged against the version the "
        "latest run that planned it wanted. The graph needs Graphviz's 'dot' program "
        "(apt-get install graphviz); without it the page says so and holds the rest.",
    )
    shared.add_out(parser, "positional")
    parser.add_argument(
        "modules", nargs="*", metavar="MODULE", help=f"{shared.MODULE_HELP}: judge states by them"
    )
    shared.add_path(parser)
    parser.add_argument(
        "-o", "--output", metavar="FILE", help="where to write the page (default: DIR/report.html)"
    )
    shared.add_project(parser)
    return parser


def main(argv: list[str] | None = None, prog: str = "quarn report") -> int:
    args = shared.parse(build_parser(prog), argv, shared.DEFAULT_OUT, need_modules=False)
    return shared.run_command(prog, lambda: _report(args, prog))


def _report(args: argparse.Namespace, prog: str) -> int:
    runs = shared.recorded_runs(args.out, prog, "; run `quarn run` first")
    output = args.output or os.path.join(args.out, REPORT_FILE)
    if args.modules:
        graph, paths = shared.load_for(args)
        seen = look(graph.order, paths, args.out, args.root, shared.params_of(graph, args))
        nodes: Nodes | None = asset_states(graph.order, seen)
        assessed = seen.by_id()
    else:
        seen, assessed = look_recorded(args.out, runs)
        nodes = None
    page_dir = os.path.dirname(os.path.abspath(output))
    text = report_page(args.out, runs, page_dir, seen, assessed, nodes)
    try:
        if args.output is None:  # quarn's own file in DIR: never written through a link
            write_inside(args.out, REPORT_FILE, text)
        else:
            with open(output, "w", encoding="utf-8") as handle:
                handle.write(text)
    except OSError as exc:
        raise shared.CommandError(f"cannot write {output}: {exc}") from None
    sys.stdout.write(f"wrote {os.path.abspath(output)}\n")
    return 0


def report_page(
    out: str,
    runs: list[RunRecord],
    page_dir: str,
    seen: Look,
    assessed: Mapping[str, Assessment],
    nodes: Nodes | None = None,
) -> str:
    """The page for the jobs of the latest run and every other job the manifest records,
    each with the facts of the latest run that planned it and its state in `assessed`;
    `nodes` colours the graph (else the listed jobs' states do); links are relative to
    `page_dir`."""
    run = runs[-1]
    planned: dict[str, JobRecord] = {}
    assets: dict[str, AssetRecord] = {}
    for past in runs:
        planned.update((j["id"], j) for j in past["jobs"])
        assets.update((a["name"], a) for a in past["assets"])
    wanted = {j["id"] for j in run["jobs"]} | set(seen.records)
    jobs = [j for key, j in planned.items() if key in wanted]
    names = {j["asset"] for j in jobs}
    modules = {name: f"{a['module']}:{a['function']}" for name, a in assets.items()}
    rows: list[JobRow] = []
    failures: list[FailedJob] = []
    states: dict[str, list[State]] = {}
    for job in jobs:
        folder = os.path.join(out, job["id"])
        started = job["status"] not in NOT_STARTED  # only this run's facts are shown
        assessment = assessed.get(job["id"]) or Assessment(State.NEVER_RUN, Action.RUN)
        states.setdefault(job["asset"], []).append(assessment.state)
        rows.append(
            JobRow(
                asset=job["asset"],
                module=modules.get(job["asset"], ""),
                partition=job["partition"],
                status=job["status"],
                started=job["started"] if started else None,
                seconds=job["seconds"] if started else None,
                attempts=job["attempts"],
                folder=_link(folder, page_dir),
                folder_text=job["id"],
                state=describe(assessment, seen.records.get(job["id"])),
            )
        )
        if job["status"] == Status.FAILED:
            failures.append(_failure(out, job, page_dir))
    shown = [a for name, a in assets.items() if name in names]
    if nodes is None:
        notes = {name: count_states(s) for name, s in states.items() if len(s) > 1}
        nodes = ({name: asset_state(s) for name, s in states.items()}, notes)
    pic = picture(shown, *nodes)
    try:
        svg: str | None = render(pic, "svg").decode("utf-8")
        note = ""
    except RenderError as exc:
        svg, note = None, str(exc)
    meta = (
        f"latest run {run['run']}, {clock(run['started'])}, "
        f"{run['ended'] - run['started']:.1f}s, exit status {run['exit_status']}: "
        f"{' '.join(run['command'])}"
    )
    return page(f"quarn report: {out}", meta, svg, note, rows, failures)


def _failure(out: str, job: JobRecord, page_dir: str) -> FailedJob:
    title = f"{job['asset']}[{job['partition']}]" if job["partition"] else job["asset"]
    log = inside(out, job["log"]) if job["log"] else ""
    tail = ""
    if log:
        try:
            lines = read_inside(out, job["log"]).decode("utf-8", "replace").splitlines(True)
            tail = "".join(lines[-_TAIL_LINES:])
        except (OSError, LayoutError):
            log = ""
    return FailedJob(title, job["error"], tail, _link(log, page_dir) if log else "")


def _link(path: str, page_dir: str) -> str:
    relative = os.path.relpath(os.path.abspath(path), page_dir)
    return urllib.parse.quote("/".join(relative.split(os.sep)))
