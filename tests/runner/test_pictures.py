"""The graph as text and as a picture, and the run report in a real headless Chromium."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest
from run_support import Pipeline, edit

from quarn.runner.commands import graph as graph_command
from quarn.runner.commands import shared
from quarn.runner.report.render import COLOURS, picture, to_dot, to_mermaid

ASSETS = [
    {"name": 'say "hi"', "label": "x", "module": "m", "function": "f", "dims": {}, "inputs": {}},
    {"name": "down", "label": "down", "module": "m", "function": "g", "dims": {"day": 3},
     "inputs": {"v": 'say "hi"', "w": "elsewhere", "prev": "down"},
     "mappings": {"prev": "day-1"}},  # its own previous key
]  # fmt: skip


def test_dot_and_mermaid_text_carry_nodes_edges_states_and_escapes():
    pic = picture(ASSETS, {"down": "never run"}, {"down": "3 never run"})
    dot = to_dot(pic)
    assert 'a0 [label="say \\"hi\\"\\nm:f"' in dot
    assert 'label="down\\nm:g\\nday: 3 keys\\n3 never run"' in dot
    assert f'fillcolor="{COLOURS["never run"]}", class="never-run"' in dot
    # an input from outside: no edge; one that takes the previous key says so
    assert re.findall(r"a\d -> a\d", dot) == ["a0 -> a1", "a1 -> a1"]
    assert 'a1 -> a1 [label="prev [day-1]"]' in dot
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
    edit(path, "def edited():\n    return 1", "def edited():\n    return 2")
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


@pytest.mark.parametrize(
    ("output", "expected"),
    [(None, "dot"), ("g.SVG", "svg"), ("g.gv", "dot"), ("g.mmd", "mermaid"), ("g.jpg", None)],
)
def test_the_format_comes_from_the_suffix_and_an_unknown_one_is_refused(output, expected):
    if expected is None:  # never svg bytes in a file named .jpg
        with pytest.raises(shared.CommandError, match="cannot tell what to write into 'g.jpg'"):
            graph_command._format_of(output)
    else:
        assert graph_command._format_of(output) == expected


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
    # without the modules, the report still sees the edit: the code the job ran changed
    svg = re.search(r"<svg.*</svg>", dom, re.S)
    assert svg and node_classes(svg.group(0)) == EXPECTED
    rows = re.findall(r'<tr class="[^"]*" data-status="([^"]*)"><td>([^<]*)</td>', dom)
    assert sorted(rows) == sorted(
        [("succeeded", "fine"), ("succeeded", "edited"), ("failed", "broken"),
         ("skipped", "after"), ("skipped", "after")]
    )  # fmt: skip
    assert "no &lt;good&gt; &amp; worse" in dom and "about to fail" in dom  # error, log tail
    fills = set(re.findall(r'fill="(#[0-9a-f]{6})"', svg.group(0)))
    assert {COLOURS[state] for state in ("current", "failed", "never run")} <= fills
    (tmp_path / "blank.html").write_text("<html><body></body></html>")
    sizes = []
    for shown in (page, tmp_path / "blank.html"):
        browse(shown, f"--screenshot={tmp_path / 'shot.png'}")
        sizes.append((tmp_path / "shot.png").stat().st_size)
    assert sizes[0] > 5 * sizes[1], sizes  # drawn, not blank: a blank page compresses to little


def browse(page: Path, *what: str) -> tuple[str, list[str]]:
    """Chromium headless on the page; its standard output and the console messages."""
    done = subprocess.run(
        [BROWSER, "--headless", "--disable-gpu", "--no-sandbox", "--enable-logging=stderr",
         "--v=0", "--window-size=1000,700", *what, page.as_uri()],
        capture_output=True, text=True, timeout=120,
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    return done.stdout, re.findall(r":CONSOLE\W?\d*\W?\] (.*)", done.stderr)
