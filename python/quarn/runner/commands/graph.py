"""`quarn graph`: the asset graph as a picture, coloured by state in an output directory."""

from __future__ import annotations

import argparse
import os
import sys

from quarn.runner.commands import shared
from quarn.runner.graph.model import Graph
from quarn.runner.report.look import Nodes, asset_states, look
from quarn.runner.report.render import FORMATS, IMAGE_FORMATS, RenderError, picture, render
from quarn.runner.report.runs import asset_record

_SUFFIXES = {".svg": "svg", ".png": "png", ".dot": "dot", ".gv": "dot", ".mmd": "mermaid"}


def build_parser(prog: str) -> argparse.ArgumentParser:
    parser = shared.parser(
        prog,
        "Draw the asset graph of MODULEs: one node per asset (with its module, and the "
        "dimensions and key counts of a partitioned one), one edge per input, upstreams on "
        "the left. With --out, each node is coloured by its state in that output directory: "
        "current, stale, failed or never run.",
        "svg and png are laid out by Graphviz's 'dot' program (apt-get install graphviz); "
        "dot and mermaid are text and need nothing.",
    )
    shared.add_modules(parser)
    parser.add_argument("--out", metavar="DIR", help="colour the nodes by their state in DIR")
    parser.add_argument(
        "--format",
        choices=FORMATS,
        help="what to write (default: from the -o file's suffix, .svg .png .dot .gv .mmd; "
        "dot without -o)",
    )
    parser.add_argument(
        "-o", "--output", metavar="FILE", help="write to FILE (default: standard output)"
    )
    return parser


def main(argv: list[str] | None = None, prog: str = "quarn graph") -> int:
    args = build_parser(prog).parse_args(argv)
    return shared.run_command(prog, lambda: _graph(args))


def _graph(args: argparse.Namespace) -> int:
    fmt = args.format or _format_of(args.output)
    if args.output is None and fmt == "png" and sys.stdout.isatty():
        raise shared.CommandError("png is binary: write it to a file with -o FILE", 2)
    graph, paths = shared.load(args.modules, args.path, checked=False)
    for diagnostic in graph.diagnostics:  # the picture still helps to see them
        sys.stderr.write(f"{diagnostic}\n")
    states, notes = _states(graph, paths, args.out) if args.out else ({}, {})
    pic = picture([asset_record(a) for a in graph.order or graph.assets], states, notes)
    try:
        data = render(pic, fmt)
    except RenderError as exc:
        raise shared.CommandError(str(exc)) from None
    if args.output is None:
        sys.stdout.buffer.write(data)
        sys.stdout.flush()
    else:
        try:
            with open(args.output, "wb") as handle:
                handle.write(data)
        except OSError as exc:
            raise shared.CommandError(f"cannot write {args.output}: {exc}") from None
        sys.stdout.write(f"wrote {args.output}\n")
    return 1 if graph.diagnostics else 0


def _format_of(output: str | None) -> str:
    if output is None:
        return "dot"
    return _SUFFIXES.get(os.path.splitext(output)[1].lower(), IMAGE_FORMATS[0])


def _states(graph: Graph, paths: list[str], out: str) -> Nodes:
    """Each asset's state and a note of its jobs' states; none for a graph with problems,
    which cannot be planned."""
    if graph.diagnostics:
        return {}, {}
    seen = look(graph.order, paths, out)
    return asset_states(graph.order, seen)
