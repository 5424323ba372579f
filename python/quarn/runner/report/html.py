"""The run report: one self-contained HTML page (styles, script and graph inline, nothing
fetched), so it can be mailed, archived or opened from a CI artifact as it is."""

from __future__ import annotations

import html
import re
from collections.abc import Sequence
from dataclasses import dataclass

from quarn.runner.report.render import COLOURS
from quarn.runner.text import clock

# Kept as their own constants so the page stays readable as a template.
_STYLE = """
body{font:14px/1.4 system-ui,-apple-system,"Segoe UI",Helvetica,Arial,sans-serif;margin:24px;
color:#1d1d1f;background:#fff}
h1{font-size:20px;margin:0 0 4px}h2{font-size:16px;margin:28px 0 8px}
.meta{color:#555;margin:0 0 16px}code{font-family:ui-monospace,Menlo,Consolas,monospace}
#graph{overflow:auto;border:1px solid #ddd;border-radius:6px;padding:8px;max-height:70vh}
#graph svg{max-width:100%;height:auto}
.legend span{display:inline-block;padding:1px 8px;margin-right:6px;border-radius:4px;
border:1px solid #bbb;font-size:12px}
.controls{margin:8px 0}.controls input,.controls select{font:inherit;padding:3px 6px}
table{border-collapse:collapse;width:100%}th,td{text-align:left;padding:4px 8px;
border-bottom:1px solid #eee;vertical-align:top}
th{cursor:pointer;user-select:none;background:#f6f6f6;position:sticky;top:0}
th[aria-sort=ascending]::after{content:" \\25B2"}th[aria-sort=descending]::after{content:" \\25BC"}
td.num{text-align:right;font-variant-numeric:tabular-nums}
tr.failed td{background:#fdecec}tr.skipped td,tr.interrupted td,tr.not-run td{color:#8a5a00}
pre{background:#f6f6f6;padding:8px;overflow:auto;max-height:320px;font-size:12px}
.none{color:#777}
"""

_SCRIPT = """
(function () {
  "use strict";
  var table = document.getElementById("jobs");
  var body = table.tBodies[0];
  var filter = document.getElementById("filter");
  var status = document.getElementById("status");
  var shown = document.getElementById("shown");
  function apply() {
    var text = filter.value.toLowerCase();
    var wanted = status.value;
    var count = 0;
    Array.prototype.forEach.call(body.rows, function (row) {
      var ok = (!text || row.textContent.toLowerCase().indexOf(text) >= 0) &&
        (!wanted || row.getAttribute("data-status") === wanted);
      row.hidden = !ok;
      if (ok) { count += 1; }
    });
    shown.textContent = count + " of " + body.rows.length + " jobs";
  }
  function key(row, index) {
    var cell = row.cells[index];
    var value = cell.getAttribute("data-value");
    return value === null ? cell.textContent : value;
  }
  Array.prototype.forEach.call(table.tHead.rows[0].cells, function (th, index) {
    th.addEventListener("click", function () {
      var ascending = th.getAttribute("aria-sort") !== "ascending";
      Array.prototype.forEach.call(table.tHead.rows[0].cells, function (other) {
        other.removeAttribute("aria-sort");
      });
      th.setAttribute("aria-sort", ascending ? "ascending" : "descending");
      var numeric = th.getAttribute("data-type") === "number";
      var rows = Array.prototype.slice.call(body.rows);
      rows.sort(function (a, b) {
        var x = key(a, index), y = key(b, index);
        var order = numeric ? (parseFloat(x) || 0) - (parseFloat(y) || 0)
          : x.localeCompare(y, undefined, {numeric: true});
        return ascending ? order : -order;
      });
      rows.forEach(function (row) { body.appendChild(row); });
    });
  });
  filter.addEventListener("input", apply);
  status.addEventListener("change", apply);
  apply();
})();
"""


@dataclass(frozen=True, slots=True)
class JobRow:
    asset: str
    module: str
    partition: str
    status: str
    started: float | None
    seconds: float | None
    attempts: int
    folder: str  # link target, relative to the page
    folder_text: str
    state: str = ""  # the job's state now, with its reasons


@dataclass(frozen=True, slots=True)
class FailedJob:
    title: str  # asset[partition]
    error: str
    tail: str  # the end of its output: the traceback, where there is one
    log: str  # link target, relative to the page; empty when there is no log


def page(
    title: str,
    meta: str,
    svg: str | None,
    graph_note: str,
    rows: Sequence[JobRow],
    failures: Sequence[FailedJob],
) -> str:
    """The whole page. `svg` is Graphviz's output, inlined; None shows `graph_note` instead."""
    statuses = sorted({r.status for r in rows})
    options = "".join(f'<option value="{_a(s)}">{_t(s)}</option>' for s in statuses)
    legend = "".join(
        f'<span style="background:{colour}">{_t(state)}</span>' for state, colour in COLOURS.items()
    )
    graph = (
        f'<div id="graph">{inline_svg(svg)}</div><p class="legend">{legend}</p>'
        if svg is not None
        else f'<p id="graph" class="none">{_t(graph_note)}</p>'
    )
    headers = [
        ("Asset", "text"),
        ("Module", "text"),
        ("Partition", "text"),
        ("Status", "text"),
        ("State", "text"),
        ("Start", "text"),
        ("Duration (s)", "number"),
        ("Attempts", "number"),
        ("Folder", "text"),
    ]
    head = "".join(f'<th data-type="{kind}" scope="col">{_t(h)}</th>' for h, kind in headers)
    body = "".join(_row(r) for r in rows)
    return (
        "<!DOCTYPE html>\n"
        '<html lang="en"><head><meta charset="utf-8">'
        '<meta name="viewport" content="width=device-width, initial-scale=1">'
        f"<title>{_t(title)}</title><style>{_STYLE}</style></head><body>"
        f'<h1>{_t(title)}</h1><p class="meta">{_t(meta)}</p>'
        f"<h2>Graph</h2>{graph}"
        f"<h2>Jobs</h2>"
        '<div class="controls"><input id="filter" type="search" placeholder="filter" '
        'aria-label="filter the jobs"> <select id="status" aria-label="status">'
        f'<option value="">every status</option>{options}</select> <span id="shown"></span>'
        "</div>"
        f'<table id="jobs"><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>'
        f"<h2>Failed jobs</h2>{_failures(failures)}"
        f"<script>{_SCRIPT}</script></body></html>\n"
    )


def inline_svg(svg: str) -> str:
    """Graphviz's document without what only a stand-alone file needs (prolog, doctype,
    comments), so it can sit inside the page."""
    svg = re.sub(r"<\?xml.*?\?>", "", svg, flags=re.DOTALL)
    svg = re.sub(r"<!DOCTYPE.*?>", "", svg, flags=re.DOTALL)
    return re.sub(r"<!--.*?-->", "", svg, flags=re.DOTALL).strip()


def _row(r: JobRow) -> str:
    seconds = "" if r.seconds is None else f"{r.seconds:.2f}"
    started = "" if r.started is None else f"{r.started:.3f}"
    css = r.status.replace(" ", "-")
    return (
        f'<tr class="{_a(css)}" data-status="{_a(r.status)}">'
        f"<td>{_t(r.asset)}</td><td><code>{_t(r.module)}</code></td>"
        f"<td>{_t(r.partition or '-')}</td><td>{_t(r.status)}</td><td>{_t(r.state)}</td>"
        f'<td data-value="{started}">{_t(clock(r.started))}</td>'
        f'<td class="num" data-value="{seconds}">{seconds or "-"}</td>'
        f'<td class="num">{r.attempts}</td>'
        f'<td><a href="{_a(r.folder)}"><code>{_t(r.folder_text)}</code></a></td></tr>'
    )


def _failures(failures: Sequence[FailedJob]) -> str:
    if not failures:
        return '<p class="none">none</p>'
    parts = []
    for f in failures:
        log = f' <a href="{_a(f.log)}">full log</a>' if f.log else ""
        tail = f"<pre>{_t(f.tail)}</pre>" if f.tail else ""
        parts.append(f"<h3>{_t(f.title)}</h3><p><code>{_t(f.error)}</code>{log}</p>{tail}")
    return f'<div id="failures">{"".join(parts)}</div>'


def _t(text: str) -> str:
    return html.escape(text, quote=False)


def _a(text: str) -> str:
    return html.escape(text, quote=True)
