"""`quarn graph`: the asset graph as a picture, coloured by state in an output directory."""

from __future__ import annotations

import argparse
import os
import sys

from quarn.runner.commands import shared
from quarn.runner.graph.model import Graph
from quarn.runner.report.look import Nodes, asset_states, look
from quarn.runner.report.render import FORMATS, RenderError, picture, render
from quarn.runner.report.runs import asset_record
from quarn.runner.text import one_line

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
    parser.add_argument(
        "--out",
        metavar="DIR",
        help="colour the nodes by their state in DIR (default: the project's output "
        "directory; without a project, no colours)",
    )
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
    args = shared.parse(build_parser(prog), argv)
    return shared.run_command(prog, lambda: _graph(args, prog))


def _graph(args: argparse.Namespace, prog: str) -> int:
    fmt = args.format or _format_of(args.output)
    if args.output is None and fmt == "png" and sys.stdout.isatty():
        raise shared.CommandError("png is binary: write it to a file with -o FILE", 2)
    graph, paths = shared.load_for(args, checked=False)
    for diagnostic in graph.diagnostics:  # the picture still helps to see them
        sys.stderr.write(f"{one_line(str(diagnostic))}\n")
    if args.out:
        shared.say_where(prog, args.out)
    states, notes = _states(graph, paths, args) if args.out else ({}, {})
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
    """The format a file name asks for; a suffix of another format is refused rather than
    given bytes it does not name."""
    if output is None:
        return "dot"
    suffix = os.path.splitext(output)[1].lower()
    if suffix in _SUFFIXES:
        return _SUFFIXES[suffix]
    known = " ".join(_SUFFIXES)
    raise shared.CommandError(
        f"cannot tell what to write into '{output}': name a file ending in {known}, "
        "or choose the format with --format",
        2,
    )


def _states(graph: Graph, paths: list[str], args: argparse.Namespace) -> Nodes:
    """Each asset's state and a note of its jobs' states; none for a graph with problems,
    which cannot be planned."""
    if graph.diagnostics:
        return {}, {}
    seen = look(graph.order, paths, args.out, args.root, shared.params_of(graph, args))
    return asset_states(graph.order, seen)
