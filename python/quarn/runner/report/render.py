"""The asset graph as a picture: Graphviz and Mermaid text, and Graphviz's `dot` for images.

The text is generated here without any program; only svg and png need `dot`, which lays
the graph out (upstreams left, downstreams right).
"""

from __future__ import annotations

import shutil
import subprocess
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field

from quarn.runner.contract import AssetRecord
from quarn.runner.state.words import State
from quarn.runner.text import one_line

TEXT_FORMATS = ("dot", "mermaid")
IMAGE_FORMATS = ("svg", "png")
FORMATS = (*IMAGE_FORMATS, *TEXT_FORMATS)
INSTALL_GRAPHVIZ = (
    "drawing svg or png needs Graphviz's 'dot' program: install Graphviz "
    "(Debian and Ubuntu: apt-get install graphviz; macOS: brew install graphviz), "
    "or ask for --format dot or mermaid"
)

# Fill colours by state, light enough for black text; the report's legend uses them too.
COLOURS = {
    State.CURRENT: "#b7e4c7",
    State.STALE: "#ffe08a",
    State.FAILED: "#f4a3a3",
    State.INTERRUPTED: "#ffc58a",
    State.RUNNING: "#a8d0f0",
    State.NEVER_RUN: "#e4e4e4",
    State.ORPHANED: "#d9c8f0",
}


class RenderError(Exception):
    """The picture cannot be drawn (no Graphviz, or Graphviz failed)."""


@dataclass(frozen=True, slots=True)
class Node:
    name: str
    module: str
    function: str
    dims: Mapping[str, int]
    state: State | None = None  # None: uncoloured
    note: str = ""  # e.g. how many jobs are in which state

    def lines(self) -> list[str]:
        text = [self.name, f"{self.module}:{self.function}"]
        text += [f"{dim}: {n} key{'' if n == 1 else 's'}" for dim, n in self.dims.items()]
        return [*text, self.note] if self.note else text


@dataclass(slots=True)
class Picture:
    nodes: list[Node] = field(default_factory=list)
    edges: list[tuple[int, int, str]] = field(default_factory=list)  # upstream, downstream, param


def picture(
    assets: Sequence[AssetRecord],
    states: Mapping[str, State] | None = None,
    notes: Mapping[str, str] | None = None,
) -> Picture:
    """Nodes in the order given, an edge per input (labelled by its parameter, and the keys
    it takes when it maps them: `prev [day-1]`); states and notes keyed by asset name."""
    states = states or {}
    notes = notes or {}
    index = {a["name"]: i for i, a in enumerate(assets)}
    result = Picture()
    for a in assets:
        result.nodes.append(
            Node(a["name"], a["module"], a["function"], a["dims"], states.get(a["name"]),
                 notes.get(a["name"], ""))
        )  # fmt: skip
        mapped = a.get("mappings") or {}
        for param, upstream in a["inputs"].items():
            if upstream in index:
                label = f"{param} [{mapped[param]}]" if param in mapped else param
                result.edges.append((index[upstream], index[a["name"]], label))
    return result


def to_dot(pic: Picture) -> str:
    out = [
        "digraph quarn {",
        "  rankdir=LR;",
        '  node [shape=box, style="rounded,filled", fillcolor="#ffffff", fontname="Helvetica",'
        " fontsize=11];",
        '  edge [fontname="Helvetica", fontsize=9, color="#555555"];',
    ]
    for i, node in enumerate(pic.nodes):
        label = "\\n".join(_dot_escape(line) for line in node.lines())
        attrs = [f'label="{label}"', f'tooltip="{_dot_escape(node.name)}"', f'id="asset-{i}"']
        if node.state is not None:
            attrs.append(f'fillcolor="{COLOURS[node.state]}"')
            attrs.append(f'class="{node.state.replace(" ", "-")}"')
        out.append(f"  a{i} [{', '.join(attrs)}];")
    for up, down, param in pic.edges:
        out.append(f'  a{up} -> a{down} [label="{_dot_escape(param)}"];')
    out.append("}")
    return "\n".join(out) + "\n"


def to_mermaid(pic: Picture) -> str:
    out = ["flowchart LR"]
    for i, node in enumerate(pic.nodes):
        label = "<br/>".join(_mermaid_escape(line) for line in node.lines())
        out.append(f'  a{i}["{label}"]')
    for up, down, param in pic.edges:
        out.append(f'  a{up} -->|"{_mermaid_escape(param)}"| a{down}')
    used = sorted({n.state for n in pic.nodes if n.state is not None})
    for state in used:
        out.append(f"  classDef {_class(state)} fill:{COLOURS[state]},color:#000")
    for i, node in enumerate(pic.nodes):
        if node.state is not None:
            out.append(f"  class a{i} {_class(node.state)}")
    return "\n".join(out) + "\n"


def render(pic: Picture, fmt: str) -> bytes:
    """The picture in `fmt`; svg and png are laid out by Graphviz."""
    if fmt == "dot":
        return to_dot(pic).encode()
    if fmt == "mermaid":
        return to_mermaid(pic).encode()
    program = shutil.which("dot")
    if program is None:
        raise RenderError(INSTALL_GRAPHVIZ)
    try:
        done = subprocess.run(
            [program, f"-T{fmt}"], input=to_dot(pic).encode(), capture_output=True, timeout=120
        )
    except (OSError, subprocess.TimeoutExpired) as exc:
        raise RenderError(f"Graphviz could not run: {exc}") from None
    if done.returncode != 0:
        message = done.stderr.decode("utf-8", "replace").strip()
        raise RenderError(f"Graphviz failed (exit status {done.returncode}): {message}")
    return done.stdout


def _dot_escape(text: str) -> str:
    """`text` for inside a double-quoted Graphviz string: control characters shown escaped
    as everywhere else (`\\n`, `\\x1b`), then every backslash doubled (a label reads `\\n`,
    `\\l` and `\\N` as its own escapes) and every quote escaped."""
    return _shown(text).replace("\\", "\\\\").replace('"', '\\"')


def _mermaid_escape(text: str) -> str:
    """`text` for inside a double-quoted Mermaid label, which reads `#name;` and `#123;` as
    characters: so `#` becomes one too, as does what would end the label or open markup."""
    codes = {"#": "#35;", '"': "#quot;", "&": "#amp;", "<": "#lt;", ">": "#gt;", "`": "#96;"}
    return "".join(codes.get(char, char) for char in _shown(text))


def _shown(text: str) -> str:
    """One line without control characters, and no lone surrogate the file cannot hold."""
    return one_line(text).encode("utf-8", "backslashreplace").decode("utf-8")


def _class(state: str) -> str:
    return state.replace(" ", "_")
