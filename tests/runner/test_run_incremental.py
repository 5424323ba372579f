"""Incremental runs end to end: what runs again after each kind of change, and what never
passes for current."""

from __future__ import annotations

import os
import py_compile

from run_support import Pipeline, edit, statuses, succeeded, summary_rows

# `source` reads data the runner cannot see; `scaled` reads a helper and a constant of
# another module.
PIPE = """
import helpers

print("loading", end="")  # no newline: discovery's document must not care

@asset()
def source():
    with open("input.txt") as handle:
        return int(handle.read())

@asset(inputs={"x": source})
def doubled(x):
    return 2 * x

@asset(inputs={"x": "pipe:doubled"})
def scaled(x):
    # a comment
    return helpers.scale(x)
"""

HELPERS = """
FACTOR = 10

def scale(x):
    return x * FACTOR
"""


def ran(pipe: Pipeline, *extra: str, modules: tuple[str, ...] = ("pipe",)) -> list[str]:
    return succeeded(pipe.run(*modules, extra=extra))


def test_code_data_and_refresh_changes_run_exactly_what_they_reach(tmp_path):
    pipe = Pipeline(tmp_path)
    pipe.write("pipe", PIPE)
    helpers = pipe.write("helpers", HELPERS)
    (tmp_path / "input.txt").write_text("1")
    assert ran(pipe) == ["doubled", "scaled", "source"]

    # New data under an unchanged function: --select --force refreshes it, and the next
    # run carries the new value downstream.
    (tmp_path / "input.txt").write_text("5")
    assert ran(pipe, "--select", "source", "--force") == ["source"]
    check = pipe.run("pipe", extra=("--check-only", "--why"))
    assert check.stdout == (
        "doubled: run: the value of source changed\n"
        "scaled: pending: its upstream doubled is not current\n"
        f"ok: 3 assets, 3 jobs, 2 to run in {pipe.out}\n"
    )
    assert ran(pipe) == ["doubled", "scaled"]
    assert pipe.value("scaled") == 100
    # The same bytes again stop at the forced job (early cut-off); --force forces what
    # --select names, --force-all its upstreams too, and no --select means every job.
    for forced, expected in [
        (("--select", "source", "--force"), ["source"]),
        (("--select", "scaled", "--force"), ["scaled"]),
        (("--select", "scaled", "--force-all"), ["doubled", "scaled", "source"]),
        (("--force",), ["doubled", "scaled", "source"]),
    ]:
        assert ran(pipe, *forced) == expected, forced
    assert ran(pipe) == []
    # A code edit that gives the same bytes: the downstream jobs were pending on it and
    # are found current within the same run.
    edit(pipe.mods / "pipe.py", "int(handle.read())", "int(handle.read().strip())")
    done = pipe.run("pipe")
    assert statuses(done.stdout) == {("source", "-"): "succeeded"}
    assert "3 jobs: 1 succeeded, 2 up to date" in done.stdout

    for old, new, expected in [
        ("# a comment", "# another comment", []),
        ("FACTOR = 10", "FACTOR = 3", ["scaled"]),  # a constant the helper reads
        ("return x * FACTOR", "return x * FACTOR + 1", ["scaled"]),  # the helper
        ("return 2 * x", "return 3 * x", ["doubled", "scaled"]),
    ]:
        edit(helpers if old in helpers.read_text() else pipe.mods / "pipe.py", old, new)
        assert ran(pipe) == expected, old
    assert pipe.value("scaled") == 46

    # An edit in the same second with the same size, over a compiled module: the new code.
    path = pipe.mods / "pipe.py"
    py_compile.compile(str(path))  # as any import of the project by the user would leave
    stat = path.stat()
    edit(path, "return 3 * x", "return 4 * x")
    os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns))
    assert path.stat().st_size == stat.st_size
    assert ran(pipe) == ["doubled", "scaled"]
    assert pipe.value("doubled") == 20

    # Files that are not the recorded success are not current.
    edit(pipe.out / "scaled" / "_" / "result.json", '"ok":true', '"ok":false')
    assert ran(pipe) == ["scaled"]
    value = pipe.out / "doubled" / "_" / "value.json"
    stat = value.stat()  # rewritten with the same size and mtime: the change time tells
    value.write_text("99")
    os.utime(value, ns=(stat.st_atime_ns, stat.st_mtime_ns))
    assert ran(pipe) == ["doubled"]  # the same bytes again: scaled stays

    (tmp_path / "input.txt").write_text("not a number")
    done = pipe.run("pipe", extra=("--select", "source", "--force", "--select", "scaled"))
    assert done.returncode == 1
    jobs = pipe.manifest()["jobs"]
    assert [jobs[j]["status"] for j in ("source/_", "doubled/_", "scaled/_")] == [
        "failed", "skipped", "skipped"]  # fmt: skip
    (tmp_path / "input.txt").write_text("5")
    assert ran(pipe) == ["source"]  # the skipped jobs' files stand: source's bytes are the same


KEYS = """
@asset(partitions={"year": partitions([2007, 2008, 2009])})
def sales(year):
    return year % 100

@asset(partitions={"year": partitions([2007, 2008, 2009])}, inputs={"s": sales})
def taxed(year, s):
    return s * 2

@asset(inputs={"s": sales})
def total(s):
    return list(s.values())
"""


def test_keys_are_independent_a_fan_in_waits_for_all_in_order_and_removed_are_orphans(tmp_path):
    pipe = Pipeline(tmp_path)
    path = pipe.write("keys", KEYS)
    rest = ["sales[year=2007]", "sales[year=2009]", "taxed[year=2007]", "taxed[year=2009]"]
    for step in ("first run", "code edit"):  # a fan-in never describes a subset of its keys
        if step == "code edit":
            edit(path, "return year % 100", "return year % 100 + 1")  # the other keys' too
        done = pipe.run("keys", extra=("--partition", "year=2008"))
        assert done.returncode == 0, done.stderr
        assert statuses(done.stdout) == {("sales", "year=2008"): "succeeded",
            ("taxed", "year=2008"): "succeeded", ("total", "-"): "waiting"}, step  # fmt: skip
        assert "waiting for partitions that are not up to date: sales[year=2007]" in done.stdout
        assert (pipe.out / "total").exists() is (step != "first run")
        assert ran(pipe, modules=("keys",)) == [*rest, "total"]
    assert pipe.value("total") == [8, 9, 10]
    assert ran(pipe, "--partition", "year=2008", "--force", modules=("keys",)) == [
        "sales[year=2008]", "taxed[year=2008]", "total"]  # fmt: skip

    edit(path, "2008, 2009])", "2008, 2009, 2010])")
    assert ran(pipe, modules=("keys",)) == ["sales[year=2010]", "taxed[year=2010]", "total"]
    assert pipe.value("total") == [8, 9, 10, 11]
    edit(path, "[2007, 2008, 2009, 2010]", "[2008, 2009, 2010]")
    done = pipe.run("keys")
    assert [r[0] for r in summary_rows(done.stdout)] == ["total"]
    orphans = "quarn: orphaned: 2 jobs of keys no longer declared: sales[year=2007], "
    assert orphans in done.stderr and "--prune deletes them" in done.stderr
    assert len(list((pipe.out / "sales").iterdir())) == 4  # kept until pruned
    done = pipe.run("keys", extra=("--prune",))
    assert "quarn: pruned 2 jobs of keys" in done.stderr
    assert len(list((pipe.out / "sales").iterdir())) == 3
    assert not [j for j in pipe.manifest()["jobs"] if "2007" in j]
    # keys in another order: the fan-in receives them so, its upstreams stand
    edit(path, "[2008, 2009, 2010]", "[2010, 2008, 2009]")
    assert ran(pipe, modules=("keys",)) == ["total"]
    assert pipe.value("total") == [11, 9, 10]


TWO = """
@asset(name="report")
def make_report():
    return "m1"
"""


def test_folders_depend_on_the_asset_alone(tmp_path):
    pipe = Pipeline(tmp_path)
    pipe.write("m1", TWO)
    pipe.write("m2", '@asset(inputs={"r": "m1:make_report"})\ndef summary(r):\n    return r\n')
    assert ran(pipe, modules=("m1",)) == ["report"]
    assert ran(pipe, modules=("m1", "m2")) == ["summary"]
    assert pipe.value("report") == "m1" and pipe.value("summary") == "m1"
    # moved to another module under the same declared name: same folder, still current
    (pipe.mods / "m1.py").unlink()
    pipe.write("m3", TWO)
    edit(pipe.mods / "m2.py", "m1:make_report", "report")
    assert ran(pipe, modules=("m3", "m2")) == []
    edit(pipe.mods / "m2.py", '"report"', '"reprot"')
    done = pipe.run("m3", "m2")
    assert done.returncode == 1
    assert "did you mean 'report'?" in done.stderr
