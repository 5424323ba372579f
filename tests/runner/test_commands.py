"""The `quarn` command end to end: module words, messages that help, history, show, clean."""

from __future__ import annotations

import json
import re
import subprocess
import sys
from pathlib import Path

import pytest
from run_support import Pipeline

from quarn.runner.commands import run
from quarn.runner.commands.main import COMMANDS
from quarn.runner.graph import modules
from quarn.runner.report.progress import running_names
from quarn.runner.store.lock import acquire

ORDERS = """
@asset(partitions={"year": partitions(["2007", "2008"])})
def orders(year):
    print("order", year, flush=True)
    return int(year)

@asset(inputs={"o": orders})
def report(o):
    return sum(o.values())
"""
WEB = """
@asset(name="web_report")
def report():
    return "web"
"""


@pytest.fixture(scope="module")
def sales(tmp_path_factory) -> Pipeline:
    """Package `sales` (orders, sub/web, a function `report` in both), a folder of plain
    modules, and package `twins` whose two modules each hold an asset `report`."""
    pipe = Pipeline(tmp_path_factory.mktemp("sales"))
    root = pipe.mods / "sales"
    (root / "sub").mkdir(parents=True)
    for folder in (root, root / "sub"):
        (folder / "__init__.py").write_text("")
    (root / "__main__.py").write_text("raise SystemExit('never imported')\n")
    (root / "README.txt").write_text("not a module\n")
    pipe.write("sales/orders", ORDERS)
    pipe.write("sales/sub/web", WEB)
    (pipe.mods / "loose").mkdir()
    pipe.write("loose/one", "@asset()\ndef one():\n    return 1\n")
    (pipe.mods / "twins").mkdir()
    for twin in ("a", "b"):
        pipe.write(f"twins/{twin}", "@asset()\ndef report():\n    return 1\n")
    return pipe


@pytest.mark.parametrize(
    ("word", "found", "path"),
    [
        ("sales", ["sales.orders", "sales.sub.web"], None),  # empty __init__: no source
        ("sales.sub.web", ["sales.sub.web"], None),
        ("mods/sales/orders.py", ["sales.orders"], "mods"),
        ("mods/sales/sub", ["sales.sub.web"], "mods"),
        ("mods/loose", ["one"], "mods/loose"),
        ("nosuch", "no module named 'nosuch'", None),
        # from the folder it was resolved, with the file of that name below it
        ("mods/orders.py", "'mods/orders.py': no such file in {root}; did you mean "
         "'mods/sales/orders.py'?", None),
        ("mods/sales/README.txt", "'mods/sales/README.txt' is not a Python file (.py)", None),
        ("sale", "no module named 'sale' in {root}/mods, {root} or the installed packages; "
         "did you mean 'sales'?", None),
        ("ordrs", "; did you mean 'sales.orders'?", None),  # a module one package down
    ],
)  # fmt: skip
def test_module_words_resolve_without_importing(sales, monkeypatch, word, found, path):
    monkeypatch.chdir(sales.root)
    if isinstance(found, str):
        with pytest.raises(modules.ModuleError, match=re.escape(found.format(root=sales.root))):
            modules.resolve([word], [str(sales.mods)])
        return
    resolved = modules.resolve([word], [str(sales.mods)])
    assert resolved.modules == found
    assert resolved.paths == ([str(sales.root / path)] if path else [])


@pytest.mark.parametrize(
    ("argv", "modules_", "selected"),
    [
        (["--select", "a", "m"], ["m"], ["a"]),  # before the modules: one word
        (["m", "--select", "a", "b"], ["m"], ["a", "b"]),  # after them: every word, as before
        (["--select", "a,b", "m1", "m2"], ["m1", "m2"], ["a", "b"]),
        (["--select", "a", "--select", "b", "m"], ["m"], ["a", "b"]),
    ],
)
def test_select_takes_comma_lists_and_may_come_first(argv, modules_, selected):
    parser = run.build_parser()
    args = parser.parse_args(argv)
    run.split_selection(args, parser)
    assert (args.modules, args.select) == (modules_, selected)


def test_messages_that_help(sales):
    twin = sales.mods / "twins" / "a.py"
    cases = [
        (("check", "sales"), 0, r"^ok: 3 assets$"),
        (("check", "twins"), 1,  # two assets could be confused: both places are named
         rf"/twins/b.py:4: error: asset 'report': its output folder 'report' is also that of "
         rf"asset 'report' \({re.escape(str(twin))}:4\)"),
        (("run", "sales", "--select", "ordres"), 2,
         r"--select 'ordres' matches no asset; did you mean 'orders'\?"),
        (("run", "--select", "sales.sub.web:report", "sales"), 0,  # by module:function, first
         r"^web_report +- +succeeded"),
        (("grpah", "sales"), 2, r"unknown command 'grpah'; did you mean 'graph'\?"),
    ]  # fmt: skip
    for args, status, pattern in cases:
        done = sales.quarn(*args, "--path", str(sales.mods))
        text = done.stdout + done.stderr
        assert done.returncode == status, (args, done.stderr)
        assert re.search(pattern, text.strip(), re.MULTILINE), (args, text)


def test_history_show_and_clean_follow_the_runs(sales, tmp_path):
    out = str(tmp_path / "out")
    # a --select before the modules, a file path as the module, -v streaming job output
    first = sales.quarn("run", "--select", "orders", "mods/sales/orders.py", "--out", out, "-v")
    assert first.returncode == 0, first.stderr
    assert {"[orders[year=2007]] order 2007", "[orders[year=2008]] order 2008"} <= set(
        first.stderr.splitlines()
    )
    assert sales.quarn("run", "sales.orders", "--path", "mods", "--out", out).returncode == 0

    listing = sales.quarn("history", out)
    rows = listing.stdout.splitlines()
    assert [r.split("  ")[-1] for r in rows[1:]] == [
        f"quarn run --select orders mods/sales/orders.py --out {out} -v",
        f"quarn run sales.orders --path mods --out {out}",
    ]
    assert re.search(r"\s2 succeeded\s", rows[1]) and re.search(r"2 up to date, 1 succ", rows[2])
    *jobs, now = sales.quarn("history", out, "orders").stdout.splitlines()[1:]
    assert now == "now: 2 current"
    assert [re.split(" {2,}", j)[2:5] for j in jobs] == [
        [f"year={y}", status, runs] for status, runs in (("succeeded", "1"), ("up to date", "0"))
        for y in (2007, 2008)]  # fmt: skip
    # each key's state in `show --asset`: test_views_agree
    assets = sales.quarn("show", "sales", "--path", "mods", "--out", out).stdout
    web = r"^web_report +sales.sub.web:report .* never run \(1 never run\)$"
    assert re.search(web, assets, re.MULTILINE)

    dry = sales.quarn("clean", out, "--keep-runs", "1", "--dry-run")
    assert dry.stdout.splitlines()[-1] == "would remove 1 path"
    done = sales.quarn("clean", out, "--keep-runs", "1")
    assert done.stdout.splitlines()[-1] == "removed 1 path", done.stdout
    assert len(sales.quarn("history", out).stdout.splitlines()) == 2
    record = json.loads(next(Path(out, ".quarn", "history").iterdir()).read_text())
    assert record["command"][-1] == out and Path(out, "orders").is_dir()
    Path(out, ".quarn", "runs", "dead-run").mkdir(parents=True)
    lock = acquire(out, ["a", "running", "run"])  # what a run holds: clean keeps away
    try:
        held = sales.quarn("clean", out)
    finally:
        lock.release()
    assert held.returncode == 2 and "in use by another run" in held.stderr
    assert sales.quarn("clean", out).stdout.splitlines() == [
        f"removed {out}/.quarn/runs/dead-run",
        "removed 1 path",
    ]


@pytest.mark.parametrize(
    ("names", "room", "expected"),
    [
        (["a", "bb", "cccccccc"], 17, "  a, bb, cccccccc"),
        (["a", "bb", "cccccccc"], 16, "  a, bb, +1"),
        (["a", "bb", "cccccccc"], 7, "  a, +2"),
        (["a", "bb", "cccccccc"], 6, ""),  # not even one name and the count
        # a long name is shortened rather than left out
        (["daily_prices[day=2026-01-05, ticker=AAPL]", "x"], 24, "  daily_prices[day=…, +1"),
        (["daily_prices[day=2026-01-05, ticker=AAPL]"], 9, ""),
    ],
)
def test_the_progress_line_names_the_running_jobs_that_fit(names, room, expected):
    assert running_names(names, room) == expected
    assert len(expected) <= room


def test_every_subcommand_has_help_and_every_option_is_documented():
    listed = subprocess.run(
        [sys.executable, "-m", "quarn", "--help"], capture_output=True, text=True, timeout=60
    )
    assert listed.returncode == 0
    assert [line.split()[0] for line in listed.stdout.split("commands:\n")[1].splitlines()[:8]] == [
        *COMMANDS
    ]
    docs = "".join(p.read_text() for p in (Path(__file__).parents[2] / "docs").glob("*.md"))
    for name, (module, _) in COMMANDS.items():
        parser = __import__(f"quarn.runner.commands.{module}", fromlist=["x"]).build_parser(
            f"quarn {name}"
        )
        assert parser.format_help().startswith(f"usage: quarn {name}")
        options = {o for a in parser._actions for o in a.option_strings if o.startswith("--")}
        missing = {o for o in options - {"--help"} if f"`{o}" not in docs}
        assert not missing, (name, missing)


def test_history_of_a_file_instead_of_a_folder_is_a_message(tmp_path):
    pipe = Pipeline(tmp_path)
    (tmp_path / "notes.txt").write_text("")
    for command in ("history", "report"):
        done = pipe.quarn(command, "notes.txt")
        assert (done.returncode, done.stderr.splitlines()[0]) == (1, (
            f"quarn {command}: error: no runs recorded in {tmp_path / 'notes.txt'}"
            + ("; run `quarn run` first" if command == "report" else "")
        ))  # fmt: skip
