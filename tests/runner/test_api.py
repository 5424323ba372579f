"""`quarn.materialize`: a run from Python gives what `quarn run` gives, raises instead of
printing, and forgets the project modules it imported; the project's default serializer."""

from __future__ import annotations

import json
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from run_support import Pipeline

import quarn
from quarn.runner.state.words import Action, State, Status, Why

CHAIN = """
@asset(partitions={"n": partitions([1, 2, 3])})
def base(n):
    print("base", n)
    return {"n": n, "sq": n * n}

@asset(inputs={"b": base})
def total(b):
    return sum(v["sq"] for v in b.values())

@asset(inputs={"t": total}, serializer="pickle")
def wrapped(t):
    return (t, {t})
"""

# What a run records of each job and that does not depend on when it ran.
_KEPT = ("status", "version", "parts", "function", "inputs", "digest", "value", "partition")


def records(pipe: Pipeline, out) -> dict:
    return {i: {k: e.get(k) for k in _KEPT} for i, e in pipe.manifest(out)["jobs"].items()}


def test_in_process_and_forked_runs_give_the_same_records(tmp_path):
    pipe = Pipeline(tmp_path)
    pipe.write("chain", CHAIN)
    here = quarn.materialize("chain", path=pipe.mods, out=tmp_path / "here", isolation="none")
    script = textwrap.dedent(f"""
        import json, quarn
        r = quarn.materialize("chain", path={str(pipe.mods)!r}, out="forked")
        print(json.dumps([[j.name, j.status, j.state, j.value()[0]] for j in r.jobs[-1:]]))
        print(json.dumps([[j.name, j.status, j.action, j.state] for j in r.jobs]))
    """)  # fmt: skip
    done = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, capture_output=True,
                          text=True, timeout=120, stdin=subprocess.DEVNULL)  # fmt: skip
    assert done.returncode == 0 and done.stderr == "", done.stderr
    last, forked = (json.loads(line) for line in done.stdout.splitlines())
    assert last == [["wrapped", "succeeded", "current", 14]]
    assert forked == [[j.name, j.status, j.action, j.state] for j in here.jobs]
    assert records(pipe, tmp_path / "here") == records(pipe, tmp_path / "forked")
    assert here.ok and [j.name for j in here.ran] == [*(f"base[n={n}]" for n in (1, 2, 3)),
                                                      "total", "wrapped"]  # fmt: skip
    assert here.value("total") == 14 and here.value("base", {"n": 2}) == {"n": 2, "sq": 4}
    assert here.job("wrapped").value() == (14, {14})
    assert "base 2" in open(here.job("base", {"n": 2}).log).read()  # the job's own output


def test_failures_are_results_and_states_follow_the_run(tmp_path):
    pipe = Pipeline(tmp_path)
    pipe.write("fails", """
        @asset(partitions={"n": partitions([1, 2])})
        def part(n):
            if n == 2:
                raise ValueError("no two")
            return n

        @asset(inputs={"p": part})
        def summed(p):
            return sum(p.values())
    """)  # fmt: skip
    run = lambda **kw: quarn.materialize("fails", path=pipe.mods, out=pipe.out,  # noqa: E731
                                         isolation="none", **kw)  # fmt: skip
    result = run()
    shown = {j.name: (j.status, j.state, j.attempts) for j in result.jobs}
    assert shown == {
        "part[n=1]": (Status.SUCCEEDED, State.CURRENT, 1),
        "part[n=2]": (Status.FAILED, State.FAILED, 1),
        "summed": (Status.SKIPPED, State.NEVER_RUN, 0),
    }
    assert not result.ok and [j.name for j in result.failed] == ["part[n=2]", "summed"]
    assert "ValueError: no two" in result.job("part", {"n": 2}).error
    with pytest.raises(quarn.RunError, match="2 jobs did not succeed") as caught:
        result.raise_for_failures()
    assert "part[n=2]: failed: ValueError: no two" in caught.value.details
    with pytest.raises(LookupError, match="has no stored value"):
        result.value("summed")
    with pytest.raises(ValueError, match="2 jobs of 'part': pass partition="):
        result.job("part")
    again = run(check_only=True)  # a check looks, runs nothing, and says why
    assert [(j.name, j.status, j.action) for j in again.jobs if j.action is not Action.KEEP] == [
        ("part[n=2]", None, Action.RUN), ("summed", None, Action.RUN)]  # fmt: skip
    assert [r.why for r in again.job("part", {"n": 2}).why] == [Why.FAILED]


@pytest.mark.parametrize(
    ("body", "options", "error", "message"),
    [
        ("@asset()\ndef a(x):\n    return 1\n", {}, quarn.GraphError,
         "mod.py:4: error: asset 'a': required parameter 'x' is neither an input"),
        ("import no_such_module_q\n", {}, quarn.GraphError,
         "mod.py:3: error: cannot import module 'mod': ModuleNotFoundError: No module named "
         "'no_such_module_q'"),
        ("import no_such_module_q\n", {"isolation": "fork"}, quarn.GraphError,
         "No module named 'no_such_module_q'"),
        ("print('imported')\n", {}, quarn.GraphError, "no assets found in mod"),
        ("@asset()\ndef a():\n    return 1\n", {"partition": {"day": 1}}, quarn.UsageError,
         "no planned asset has a dimension 'day'"),
        ("", {"isolation": "forked"}, quarn.UsageError, "did you mean 'fork'?"),
        ("", {"jobs": 0}, quarn.UsageError, "jobs must be a whole number of at least 1"),
        ("", {"params": {"t": object()}}, quarn.UsageError, "params t: the value is not JSON"),
    ],
)  # fmt: skip
def test_graph_and_usage_errors_are_raised_and_nothing_is_printed(
    tmp_path, capfd, body, options, error, message
):
    pipe = Pipeline(tmp_path)
    pipe.write("mod", body)
    kwargs = {"isolation": "none", **options}
    with pytest.raises(error) as caught:
        quarn.materialize("mod", path=pipe.mods, out=pipe.out, **kwargs)
    assert message in str(caught.value)
    assert capfd.readouterr() == ("", "")
    assert not pipe.out.exists()  # nothing ran, nothing was locked


def test_in_process_runs_see_edited_code_and_namesake_modules_anew(tmp_path):
    """Each run imports the project again: the second sees the edit, and another project's
    module of the same name is that project's, not the one imported before."""
    (tmp_path / "one").mkdir()
    (tmp_path / "two").mkdir()
    pipe = Pipeline(tmp_path / "one")
    pipe.write("chain", CHAIN)
    kwargs = {"path": pipe.mods, "out": pipe.out, "isolation": "none"}
    assert quarn.materialize("chain", **kwargs).value("total") == 14
    assert "chain" not in sys.modules
    pipe.write("chain", CHAIN.replace('v["sq"] for', '10 * v["sq"] for'))
    edited = quarn.materialize("chain", **kwargs)
    assert [(j.name, j.status) for j in edited.ran] == [
        ("total", Status.SUCCEEDED), ("wrapped", Status.SUCCEEDED)]  # fmt: skip
    assert edited.value("total") == 140
    other = Pipeline(tmp_path / "two")
    other.write("chain", CHAIN.replace("[1, 2, 3]", "[4]"))
    alone = quarn.materialize("chain", path=other.mods, out=other.out, isolation="none")
    assert alone.value("total") == 16


AUTO = """
import pandas as pd

@asset()
def frame():
    return pd.DataFrame({"a": [1, 2, 3]})

@asset()
def count():
    return 3

@asset()
def pair():
    return (1, "a")

@asset(serializer="json")  # its own serializer overrides the project's
def listed():
    return (1, 2)

@asset(inputs={"f": frame, "c": count, "p": pair, "l": listed})
def seen(f, c, p, l):
    return [type(f).__name__, int(f["a"].sum()), c, type(p).__name__, l]
"""


def test_auto_stores_each_value_by_its_kind_for_load_and_downstream_jobs(tmp_path, monkeypatch):
    pipe = Pipeline(tmp_path)
    (tmp_path / "pyproject.toml").write_text('[tool.quarn]\nserializer = "auto"\n')
    pipe.write("auto", AUTO)
    result = quarn.materialize("auto", path=pipe.mods, out=pipe.out, project=tmp_path,
                               isolation="none")  # fmt: skip
    assert result.ok
    stored = {}
    for job in result.jobs:
        record = json.loads(open(f"{job.folder}/result.json").read())
        stored[job.name] = (record["artifact_format"], record["value_path"].rsplit("/", 1)[1])
    assert stored == {
        "frame": ("parquet", "value.parquet"), "count": ("json", "value.json"),
        "pair": ("pickle", "value.pickle"), "listed": ("json", "value.json"),
        "seen": ("json", "value.json"),
    }  # fmt: skip
    assert result.value("seen") == ["DataFrame", 6, 3, "tuple", [1, 2]]
    monkeypatch.syspath_prepend(str(pipe.mods))
    import auto

    assert quarn.load(auto.frame, out=pipe.out)["a"].tolist() == [1, 2, 3]
    assert quarn.load(auto.pair, out=pipe.out) == (1, "a")


def test_changing_the_default_serializer_runs_exactly_what_it_changes(tmp_path):
    pipe = Pipeline(tmp_path)
    pipe.write("chain", CHAIN)
    project = tmp_path / "pyproject.toml"

    def run(table: str):
        project.write_text(f"[tool.quarn]\n{table}\n")
        return quarn.materialize("chain", path=pipe.mods, out=pipe.out, project=tmp_path,
                                 isolation="none")  # fmt: skip

    run("")
    assert run('serializer = "json"').ran == ()  # JSON is what no setting means
    pickled = run('serializer = "pickle"')
    # `wrapped` declares its own serializer, but its upstream's value changed
    assert {j.name: j.why[0].text for j in pickled.ran} == {
        **{f"base[n={n}]": "the project's default serializer changed" for n in (1, 2, 3)},
        "total": "the project's default serializer changed",
        "wrapped": "its upstream total is not current",
    }
    assert sorted(p.name for p in (pipe.out / "total" / "_").iterdir()) == [
        "result.json", "value.pickle"]  # fmt: skip
    assert pickled.value("total") == 14
    # the views judge with the project's setting, load with the one the run recorded
    shown = pipe.quarn("show", "chain", "--path", str(pipe.mods), "--out", str(pipe.out),
                       "--project", str(tmp_path))  # fmt: skip
    assert shown.returncode == 0 and "current (1 current)" in shown.stdout, shown.stderr
    back = run("")
    assert [j.name for j in back.ran][:3] == [f"base[n={n}]" for n in (1, 2, 3)]
    assert back.value("wrapped") == (14, {14})


def test_the_testing_page_example_passes_as_written(tmp_path):
    """docs/testing.md's project and its tests, taken from the page, run by pytest."""
    page = (Path(__file__).parents[2] / "docs" / "testing.md").read_text(encoding="utf-8")
    files = {}
    for block in re.findall(r"```(?:python|toml)\n(.*?)```", page, re.DOTALL):
        first, _, rest = block.partition("\n")
        if re.fullmatch(r"# [\w/]+\.(py|toml)", first):
            files[first[2:]] = rest
    assert set(files) == {"pyproject.toml", "pipelines/sales.py", "tests/test_sales.py"}
    for name, text in {**files, "pipelines/__init__.py": ""}.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text, encoding="utf-8")
    done = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "tests"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300, stdin=subprocess.DEVNULL,
    )  # fmt: skip
    tests = files["tests/test_sales.py"].count("\ndef test_")
    assert done.returncode == 0 and f"{tests} passed" in done.stdout, done.stdout + done.stderr
