"""Every view tells one story: after each change, `quarn show`, `quarn graph --out`,
`quarn report`, `--check-only --why` and `quarn.load` give a job the same state."""

from __future__ import annotations

import html
import re
import sys

import pytest
from run_support import Pipeline, statuses

import quarn

CHAIN = """
@asset(partitions={{"k": partitions([1, 2])}})
def a(k):
    return {n} * k

@asset(inputs={{"x": a}})
def b(x, scale=1):
    return scale * sum(x.values())
"""


def views(pipe: Pipeline, asset: str, key: dict | None = None) -> dict[str, str]:
    """The state word each view gives the job (or, for the pictures, the asset)."""
    found: dict[str, str] = {}
    where = ("--path", str(pipe.mods), "--out", str(pipe.out))
    shown = pipe.quarn("show", "chain", *where, "--asset", asset).stdout.splitlines()[1:]
    label = ", ".join(f"{d}={v}" for d, v in (key or {}).items()) or "-"
    found["show"] = next(re.split(r" {2,}", r)[1] for r in shown if r.startswith(label + " "))
    dot = pipe.quarn("graph", "chain", *where, "--format", "dot").stdout
    found["graph"] = re.search(rf'label="{asset}\\n.*class="([\w-]+)"', dot)[1].replace("-", " ")
    done = pipe.quarn("report", str(pipe.out), "chain", "--path", str(pipe.mods))
    assert done.returncode == 0, done.stderr
    page = (pipe.out / "report.html").read_text()
    row = rf"<tr[^>]*><td>{asset}</td><td><code>[^<]*</code></td><td>{re.escape(label)}</td>"
    found["report"] = html.unescape(re.search(row + r"<td>[^<]*</td><td>([^<]*)</td>", page)[1])
    dry = pipe.run("chain", extra=("--check-only", "--why")).stdout
    name = f"{asset}[{label}]" if key else asset
    listed = [line for line in dry.splitlines() if line.startswith(f"{name}: ")]
    found["dry run"] = listed[0].split(": ", 2)[1] if listed else "current"
    try:
        quarn.load(asset, out=pipe.out, partition=key)
        found["load"] = "current"
    except quarn.StaleValueError as exc:
        found["load"] = str(exc).split("not current: ", 1)[1]
    except LookupError as exc:
        found["load"] = str(exc)
    return found


def same(found: dict[str, str], state: str, reason: str = "") -> None:
    """Every view says `state`; those that give reasons give `reason`."""
    assert found["graph"] == state.split(" (")[0], found
    assert found["dry run"] == ("current" if state == "current" else found["dry run"]), found
    for view in ("show", "report", "load"):
        assert found[view].startswith(state) and reason in found[view], (view, found)


@pytest.fixture()
def pipe(tmp_path, monkeypatch):
    pipe = Pipeline(tmp_path)
    monkeypatch.syspath_prepend(str(pipe.mods))
    monkeypatch.delitem(sys.modules, "chain", raising=False)  # another test's namesake
    pipe.write("chain", CHAIN.format(n=1))
    assert pipe.run("chain").returncode == 0
    yield pipe
    sys.modules.pop("chain", None)


def test_an_upstream_run_alone_leaves_its_downstream_stale_in_every_view(pipe):
    same(views(pipe, "b"), "current")
    pipe.write("chain", CHAIN.format(n=2))
    assert pipe.run("chain", extra=("--select", "a")).returncode == 0
    found = views(pipe, "b")
    same(found, "stale", "the value of a[k=1] changed")
    assert found["dry run"] == "run"
    # a value file that is not the one its run wrote is never called current either
    next((pipe.out / "a").glob("*/value.json")).write_text("7")
    with pytest.raises(quarn.StaleValueError, match="not the one its last success wrote"):
        quarn.load_all("a", out=pipe.out)


def test_a_code_edit_not_yet_run_is_stale_in_every_view_and_reaches_the_downstream(pipe):
    pipe.write("chain", CHAIN.format(n=3))
    same(views(pipe, "a", {"k": 1}), "stale", "its code changed")
    found = views(pipe, "b")
    same(found, "stale", "its upstream a[k=1] is not current")
    assert found["dry run"] == "pending"


def test_a_removed_key_is_orphaned_and_refused(pipe):
    pipe.write("chain", CHAIN.format(n=1).replace("[1, 2]", "[1]"))
    shown = pipe.quarn("show", "chain", "--path", str(pipe.mods), "--out", str(pipe.out),
                       "--asset", "a").stdout  # fmt: skip
    assert re.search(r"^k=2 +orphaned \(its partition key is no longer declared\)", shown, re.M)
    with pytest.raises(quarn.StaleValueError, match="orphaned"):
        quarn.load("a", out=pipe.out, partition={"k": 2})
    assert quarn.load("a", out=pipe.out, partition={"k": 2}, allow_stale=True) == 2
    assert [key for key, _ in quarn.load_all("a", out=pipe.out)] == [{"k": 1}]
    same(views(pipe, "b"), "stale", "its set of upstream jobs changed")


def test_a_renamed_asset_is_orphaned_under_its_old_name(pipe):
    renamed = CHAIN.format(n=1).replace(
        '@asset(inputs={"x": a})', '@asset(name="t", inputs={"x": a})'
    )
    pipe.write("chain", renamed)
    with pytest.raises(quarn.StaleValueError, match="its asset is now named 't'"):
        quarn.load("b", out=pipe.out)
    assert quarn.load("b", out=pipe.out, allow_stale=True) == 3
    pipe.write("chain", renamed.replace("def b(", "def c("))
    sys.modules.pop("chain")  # load judges declarations as this process imported them
    with pytest.raises(quarn.StaleValueError, match="its asset is no longer declared"):
        quarn.load("b", out=pipe.out)


def test_set_runs_the_jobs_that_take_the_value_and_views_name_it_till_the_project_gives_it(
    pipe, monkeypatch
):
    done = pipe.run("chain", extra=("--set", "scale=2"))
    assert statuses(done.stdout) == {("b", "-"): "succeeded"}  # a has no such parameter
    same(views(pipe, "b"), "stale", "its parameter scale changed")
    assert quarn.load("b", out=pipe.out, params={"scale": 2}) == 6
    (pipe.root / "pyproject.toml").write_text("[tool.quarn]\n[tool.quarn.params]\nscale = 2\n")
    monkeypatch.chdir(pipe.root)  # quarn.load reads the project file, as the commands do
    same(views(pipe, "b"), "current")
    shown = pipe.quarn("show", "chain", "--path", str(pipe.mods), "--out", str(pipe.out))
    assert re.search(r"^b .* scale=2 +current", shown.stdout, re.M)


def test_a_failed_job_keeps_its_last_good_value_readable(pipe):
    pipe.write("chain", CHAIN.format(n=1).replace("return 1 * k", "raise ValueError(k)"))
    assert pipe.run("chain").returncode == 1
    found = views(pipe, "a", {"k": 1})
    same(found, "failed (last good value from ")
    with pytest.raises(quarn.StaleValueError, match="failed"):
        quarn.load_all("a", out=pipe.out)
    assert quarn.load_all("a", out=pipe.out, allow_stale=True) == [({"k": 1}, 1), ({"k": 2}, 2)]
    assert (pipe.out / "a").is_dir() and list((pipe.out / "a").glob("*/failed/result.json"))
    # b was skipped: its value stands, but its upstream is not current
    same(views(pipe, "b"), "stale", "its upstream a[k=1] is not current")
