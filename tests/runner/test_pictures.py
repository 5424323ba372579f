"""The graph as text and as a picture, and the run report in a real headless Chromium."""

from __future__ import annotations

import os
import re
import shutil
import struct
import subprocess
import xml.etree.ElementTree as ET
import zlib
from pathlib import Path

import pytest
from run_support import Pipeline

from quarn.runner.graph.render import COLOURS, picture, to_dot, to_mermaid

ASSETS = [
    {"name": 'say "hi"', "label": "x", "module": "m", "function": "f", "dims": {}, "inputs": {}},
    {"name": "down", "label": "down", "module": "m", "function": "g", "dims": {"day": 3},
     "inputs": {"v": 'say "hi"', "w": "elsewhere"}},
]  # fmt: skip


def test_dot_and_mermaid_text_carry_nodes_edges_states_and_escapes():
    pic = picture(ASSETS, {"down": "never run"}, {"down": "3 never run"})
    dot = to_dot(pic)
    assert 'a0 [label="say \\"hi\\"\\nm:f"' in dot
    assert 'label="down\\nm:g\\nday: 3 keys\\n3 never run"' in dot
    assert f'fillcolor="{COLOURS["never run"]}", class="never-run"' in dot
    assert re.findall(r"a\d -> a\d", dot) == ["a0 -> a1"]  # an input from outside: no edge
    mermaid = to_mermaid(pic).splitlines()
    assert mermaid[1] == '  a0["say #quot;hi#quot;<br/>m:f"]'
    assert '  a0 -->|"v"| a1' in mermaid
    assert mermaid[-2:] == [f"  classDef never_run fill:{COLOURS['never run']},color:#000",
                            "  class a1 never_run"]  # fmt: skip


# Four assets, one per state: current, stale (edited after the run), failed, never run.
STATES = """
@asset()
def fine():
    return 1

@asset()
def edited():
    return 1

@asset(inputs={"v": fine})
def broken(v):
    print("about to fail", flush=True)
    raise ValueError("no <good> & worse")

@asset(inputs={"v": broken}, partitions={"day": partitions([1, 2])})
def after(v, day):
    return v
"""
EXPECTED = {"fine": "current", "edited": "stale", "broken": "failed", "after": "never-run"}


@pytest.fixture(scope="module")
def states(tmp_path_factory) -> Pipeline:
    pipe = Pipeline(tmp_path_factory.mktemp("states"))
    path = pipe.write("states", STATES)
    assert pipe.run("states").returncode == 1
    edited = path.read_text().replace("def edited():\n    return 1", "def edited():\n    return 2")
    path.write_text(edited)
    return pipe


needs_graphviz = pytest.mark.skipif(shutil.which("dot") is None, reason="needs Graphviz")


@needs_graphviz
def test_graph_colours_each_asset_by_its_state(states):
    svg = states.root / "g.svg"
    done = states.quarn("graph", "states", "--path", "mods", "--out", "out", "-o", str(svg))
    assert done.returncode == 0, done.stderr
    assert node_classes(svg.read_text()) == EXPECTED


def test_images_without_graphviz_say_what_to_install(states, tmp_path):
    env = {**os.environ, "PATH": str(tmp_path)}  # no `dot` there
    done = subprocess.run(
        [*states.command("states")[:2], "quarn", "graph", "states", "--path", "mods",
         "--format", "png", "-o", str(tmp_path / "g.png")],
        cwd=states.root, env=env, capture_output=True, text=True, timeout=60,
    )  # fmt: skip
    assert done.returncode == 1
    assert "install Graphviz (Debian and Ubuntu: apt-get install graphviz" in done.stderr
    text = states.quarn("graph", "states", "--path", "mods", "--format", "mermaid")
    assert text.returncode == 0 and text.stdout.startswith("flowchart LR\n")


def node_classes(svg: str) -> dict[str, str]:
    """asset name -> state class, from the nodes of Graphviz's svg."""
    ns = {"svg": "http://www.w3.org/2000/svg"}
    found = {}
    for group in ET.fromstring(svg).iterfind(".//svg:g[@class]", ns):
        kind, *state = group.get("class", "").split()
        if kind == "node":
            name = group.find(".//svg:text", ns)
            assert name is not None
            found[name.text] = state[0] if state else ""
    return found


# The report in a real browser --------------------------------------------------------------

BROWSER = shutil.which("chromium") or shutil.which("chromium-browser")


@pytest.mark.skipif(
    BROWSER is None and not os.environ.get("QUARN_REQUIRE_BROWSER"),
    reason="needs Chromium (make test installs it)",
)
@needs_graphviz
def test_the_report_loads_in_a_browser_without_errors(states, tmp_path):
    assert BROWSER is not None, "Chromium is required here"
    page = tmp_path / "report.html"
    done = states.quarn("report", "out", "-o", str(page))
    assert done.returncode == 0, done.stderr
    text = page.read_text()
    assert not re.search(r"""(src|href)=["']?(https?:)?//""", text)  # nothing fetched
    dom, console = browse(page, "--dump-dom")
    assert console == []
    assert re.search(r'<span id="shown">5 of 5 jobs</span>', dom)  # the script ran to its end
    # without the modules, the report knows the states as the runs left them
    svg = re.search(r"<svg.*</svg>", dom, re.S)
    assert svg and node_classes(svg.group(0)) == {**EXPECTED, "edited": "current"}
    rows = re.findall(r'<tr class="[^"]*" data-status="([^"]*)"><td>([^<]*)</td>', dom)
    assert sorted(rows) == sorted(
        [("succeeded", "fine"), ("succeeded", "edited"), ("failed", "broken"),
         ("skipped", "after"), ("skipped", "after")]
    )  # fmt: skip
    assert "no &lt;good&gt; &amp; worse" in dom and "about to fail" in dom  # error, log tail
    shot = tmp_path / "shot.png"
    browse(page, f"--screenshot={shot}")
    colours = png_colours(shot.read_bytes())
    assert len(colours) > 20 and set(COLOURS.values()) <= colours  # drawn, not blank


def browse(page: Path, *what: str) -> tuple[str, list[str]]:
    """Chromium headless on the page; its standard output and the console messages."""
    done = subprocess.run(
        [BROWSER, "--headless", "--disable-gpu", "--no-sandbox", "--enable-logging=stderr",
         "--v=0", "--window-size=1000,700", *what, page.as_uri()],
        capture_output=True, text=True, timeout=120,
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    return done.stdout, re.findall(r":CONSOLE\W?\d*\W?\] (.*)", done.stderr)


def png_colours(data: bytes) -> set[str]:
    """The distinct colours of an 8-bit RGB or RGBA png, as `#rrggbb`."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    width = height = channels = 0
    idat = b""
    pos = 8
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos : pos + 4])
        kind, body = data[pos + 4 : pos + 8], data[pos + 8 : pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            assert depth == 8 and colour in (2, 6)
            channels = 3 if colour == 2 else 4
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw = zlib.decompress(idat)
    stride = width * channels
    previous = bytearray(stride)
    colours = set()
    for row in range(height):
        start = row * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1 : start + 1 + stride])
        for i in range(stride):
            left = line[i - channels] if i >= channels else 0
            up, corner = previous[i], previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                pred = left if pa <= pb and pa <= pc else up if pb <= pc else corner
                line[i] = (line[i] + pred) & 0xFF
        colours.update("#" + line[i : i + 3].hex() for i in range(0, stride, channels))
        previous = line
    return colours
