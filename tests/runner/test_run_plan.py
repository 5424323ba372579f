"""Planning without processes: graph checks, key naming, upstream matching, versions."""

from __future__ import annotations

import itertools
import json
import re

import pytest

from quarn.runner.graph.build import build_graph
from quarn.runner.graph.signature import parse_signature
from quarn.runner.plan import jobs as plan_jobs
from quarn.runner.plan import select as plan_select
from quarn.runner.plan.versions import stale_jobs
from quarn.runner.store.manifest import Manifest

ROOT = "/srv/app"
SAFE_NAME = re.compile(r"[A-Za-z0-9_][A-Za-z0-9._-]*")


def entry(function, params="", *, file="pipe.py", module="pipe", inputs=None, partitions=None,
          name=None, body="return 1", source=None) -> dict:  # fmt: skip
    """One inspection-document entry, shaped as discovery writes it."""
    source = source or f"@asset()\ndef {function}({params}):\n    {body}\n"
    parts = partitions and {
        d: {"kind": "inline", "values_json": json.dumps(v)} for d, v in partitions.items()
    }
    metadata = {"inputs": inputs, "kind": "asset", "name": name, "partitions": parts,
                "serializer": None}  # fmt: skip
    return {
        "decorator_metadata": metadata, "file_path": f"{ROOT}/{file}", "function_name": function,
        "function_source": source, "kind": "asset", "module_path": module,
        "module_source": source, "python_version": "3.12.1", "return_type": None,
    }  # fmt: skip


def ref(function: str) -> str:
    return f"{ROOT}/pipe.py:{function}"


def graph_of(*entries: dict):
    return build_graph({"assets": list(entries)})


def jobs_for(*entries: dict):
    graph = graph_of(*entries)
    assert graph.diagnostics == []
    return plan_jobs.build_jobs(plan_select.select(graph, []), {})


def jobs_of(jobs, label: str):
    return [j for j in jobs if j.asset.label == label]


# Graph checks -------------------------------------------------------------------------------


CHECKS = {
    "dimension-not-a-parameter": (
        [entry("a", partitions={"d": [1]})],
        "a: partition dimension 'd' is not a parameter of 'a'",
    ),
    "input-is-a-dimension": (
        [entry("a", "d", partitions={"d": [1]}, inputs={"d": ref("z")}), entry("z")],
        "a: input 'd' has the same name as a partition dimension",
    ),
    "positional-only": (
        [entry("a", "x, /")],
        "a: required parameter 'x' is positional-only, but inputs and partition keys are "
        "passed by keyword",
    ),
    "shared-key-missing-upstream": (
        [
            entry("u", "k", partitions={"k": ["x"]}),
            entry("d", "k, v", partitions={"k": ["x", "y"]}, inputs={"v": ref("u")}),
        ],
        "d: input 'v': key \"y\" of partition dimension 'k' is not a key of that dimension in "
        "upstream 'u'",
    ),
    "cycle": (
        [
            entry(f, "v", inputs={"v": ref(up)})
            for f, up in [("a", "c"), ("b", "a"), ("c", "b"), ("tail", "c")]
        ],
        "a: dependency cycle: a -> b -> c -> a",  # `tail` is downstream of it, not on it
    ),
    "self-cycle": ([entry("a", "v", inputs={"v": ref("a")})], "a: dependency cycle: a -> a"),
    "declared-twice-differently": (
        [entry("f", name="one"), entry("f", name="two", module="other")],
        "one: function is declared as an asset more than once, with different declarations; "
        "an input reference cannot tell them apart",
    ),
    "star-args-is-not-a-keyword": (
        [entry("up"), entry("f", "a, *args", inputs={"a": ref("up"), "args": ref("up")})],
        "f: input 'args' is not a parameter of 'f'",
    ),
    "keyword-catch-all-takes-any-input": (
        [entry("up"), entry("f", "a, *args, b, **kw", inputs={p: ref("up") for p in "abz"})],
        None,
    ),
    "unreadable-source-left-to-the-worker": (  # what getsource gives for some lambdas
        [entry("up"), entry("<lambda>", source="x = (lambda: 1,\n", inputs={"v": ref("up")})],
        None,
    ),
}


@pytest.mark.parametrize(("entries", "message"), CHECKS.values(), ids=CHECKS)
def test_each_check_reports_its_problem_and_nothing_else(entries, message):
    graph = graph_of(*entries)
    asset, _, text = (message or "").partition(": ")
    expected = [f"{ROOT}/pipe.py:2: error: asset '{asset}': {text}"] if message else []
    assert [str(d) for d in graph.diagnostics] == expected


@pytest.mark.parametrize(
    ("source", "name", "keywords", "required", "var_keyword"),
    [
        ("def f(a, /, b, *c, d, e=2, **k): pass", "f", {"b", "d", "e"}, ("a", "b", "d"), True),
        ("x = asset()(lambda t, n=2: t)\n", "<lambda>", {"t", "n"}, ("t",), False),
    ],
)
def test_signature_parsing(source, name, keywords, required, var_keyword):
    sig = parse_signature(source, name)
    assert (sig.keyword_names, sig.required, sig.var_keyword) == (keywords, required, var_keyword)


def test_an_asset_listed_twice_is_one_asset_run_from_the_module_binding_its_name():
    importer = entry("raw", module="importer")
    importer["module_source"] = "from elsewhere import raw as renamed\n"
    graph = graph_of(importer, entry("raw"), entry("raw"))
    assert graph.diagnostics == []
    assert [a.module for a in graph.assets] == ["pipe"]


def test_asset_directories_are_safe_and_distinct():
    graph = graph_of(
        entry("raw", file="a.py"), entry("raw", file="b.py"), entry("x", name="my asset"),
        entry("y", name="my_asset"), entry("u", name="plain"), entry("z", name="manifest.json"),
        entry("w", name="../up"), entry("v", name=""),
    )  # fmt: skip
    names = [a.dir_name for a in graph.assets]
    assert len(set(names)) == len(names)
    assert "plain" in names  # a safe label no other asset maps to is used as it is
    assert all(SAFE_NAME.fullmatch(n) and n != "manifest.json" for n in names), names


# Partition keys -----------------------------------------------------------------------------

AWKWARD_KEYS = [1, "1", 1.0, True, "true", None, "null", "", "a/b", "a_b", "a b", ".hidden",
                "..", "-", {"x": 1}, [1], "é", "e\u0301", "x" * 300]  # fmt: skip


def test_partition_directory_names_are_collision_free_and_safe():
    combos = [{"d": k} for k in AWKWARD_KEYS]
    combos += [{"a": "a_b", "b": "c"}, {"a": "a", "b": "b_c"}, {"a": 1, "b": 2}, {"a": 2, "b": 1}]
    names = [plan_jobs.partition_dir_name(c) for c in combos]
    assert len(set(names)) == len(names)
    assert all(SAFE_NAME.fullmatch(n) and n != "_" and len(n) <= 64 for n in names), names
    assert plan_jobs.partition_dir_name({}) == "_"


def test_jobs_are_the_cross_product_of_keys_distinct_by_json_text():
    jobs = jobs_for(entry("a", "x, y", partitions={"x": [1, True, 1.0, "1", 1], "y": ["p", "q"]}))
    texts = ["1", "true", "1.0", '"1"']
    assert [(j.key_texts["x"], j.key["y"]) for j in jobs] == list(
        itertools.product(texts, ["p", "q"])
    )
    assert len({j.id for j in jobs}) == 8


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("ticker=AAPL", ("ticker", "AAPL")),
        ("n=1", ("n", 1)),
        ('s="1"', ("s", "1")),
        ("x=[1", ("x", "[1")),
        ("x=a=b", ("x", "a=b")),
        ("x=", ("x", "")),
        ("x=null", ("x", None)),
        ("ticker", plan_select.PlanError),
        ("=AAPL", plan_select.PlanError),
    ],
)
def test_partition_option_reads_json_else_string(text, expected):
    if expected is plan_select.PlanError:
        with pytest.raises(plan_select.PlanError):
            plan_select.parse_partition_option(text)
    else:
        assert plan_select.parse_partition_option(text) == expected


# Upstream matching --------------------------------------------------------------------------


def test_shared_dimension_gets_the_same_key_and_unpartitioned_feeds_every_job():
    jobs = jobs_for(
        entry("one"),
        entry("u", "t, v", partitions={"t": ["A", "B"]}, inputs={"v": ref("one")}),
        entry("d", "t, v", partitions={"t": ["B", "A"]}, inputs={"v": ref("u")}),
    )
    (one,) = jobs_of(jobs, "one")
    assert [j.inputs for j in jobs_of(jobs, "u")] == [[("v", one)]] * 2
    assert one.downstream == jobs_of(jobs, "u")
    for job in jobs_of(jobs, "d"):
        ((param, source),) = job.inputs
        assert param == "v" and source.key == job.key


def test_fan_in_members_are_json_texts_of_the_missing_keys_in_upstream_order():
    days = ["2026-01-05", 3, "3"]
    jobs = jobs_for(
        entry("u", "t, day, h", partitions={"t": ["A", "B"], "day": days, "h": [None]}),
        entry(
            "one_dim", "t, h, v", partitions={"t": ["A", "B"], "h": [None]}, inputs={"v": ref("u")}
        ),
        entry("two_dims", "h, v", partitions={"h": [None]}, inputs={"v": ref("u")}),
    )
    for job in jobs_of(jobs, "one_dim"):
        ((_, members),) = job.inputs
        assert [m for m, _ in members] == ['"2026-01-05"', "3", '"3"']
        assert all(up.key == {**job.key, "day": json.loads(m)} for m, up in members)
        assert job.deps == [up for _, up in members]
    ((_, members),) = jobs_of(jobs, "two_dims")[0].inputs
    assert [m for m, _ in members] == [
        json.dumps({"day": d, "t": t}, separators=(",", ":"))
        for d, t in itertools.product(days, ["A", "B"])
    ]
    assert all(up.key == {**json.loads(m), "h": None} for m, up in members)


def test_restriction_applies_to_every_asset_with_the_dimension():
    graph = graph_of(
        entry("u", "t, day", partitions={"t": ["A", "B"], "day": [1, 2, 3]}),
        entry("d", "t, v", partitions={"t": ["A", "B"]}, inputs={"v": ref("u")}),
    )
    assets = plan_select.select(graph, [])
    kept = plan_select.restrict(assets, [("t", "B"), ("day", 2), ("day", 3)])
    jobs = plan_jobs.build_jobs(assets, kept)
    assert [(j.asset.label, j.key) for j in jobs] == [
        ("u", {"day": 2, "t": "B"}),
        ("u", {"day": 3, "t": "B"}),
        ("d", {"t": "B"}),
    ]
    assert [m for m, _ in jobs[2].inputs[0][1]] == ["2", "3"]
    assert plan_select.count_jobs(assets, plan_select.restrict(assets, [("t", "B")])) == 4
    with pytest.raises(plan_select.PlanError, match="no key"):
        plan_select.restrict(assets, [("day", "9")])
    with pytest.raises(plan_select.PlanError, match="no planned asset"):
        plan_select.restrict(assets, [("month", 1)])


def chain(body_of_b: str = "return 1", where: str = ROOT) -> list[dict]:
    """a -> b -> c, and a -> side."""
    entries = [
        entry("a"),
        entry("b", "v", inputs={"v": ref("a")}, body=body_of_b),
        entry("c", "v", inputs={"v": ref("b")}),
        entry("side", "v", inputs={"v": ref("a")}),
    ]
    return json.loads(json.dumps(entries).replace(ROOT, where))


def test_select_takes_upstreams_and_not_downstreams():
    graph = graph_of(*chain())
    assert [a.label for a in plan_select.select(graph, ["b"])] == ["a", "b"]
    assert [a.label for a in plan_select.select(graph, [ref("c")])] == ["a", "b", "c"]
    with pytest.raises(plan_select.PlanError, match="'nope' matches no asset"):
        plan_select.select(graph, ["nope"])


# Versions and staleness ---------------------------------------------------------------------


def versions(*args: str) -> dict:
    return {j.asset.label: j.version for j in jobs_for(*chain(*args))}


def test_a_source_edit_changes_the_job_and_its_descendants_only_wherever_it_lives():
    before, after = versions(), versions("return 2")
    assert {name for name in before if before[name] != after[name]} == {"b", "c"}
    assert versions("return 1", "/elsewhere/checkout") == before


def test_stale_jobs_follow_versions_files_and_upstreams(tmp_path):
    jobs = jobs_for(*chain())
    by_name = {j.asset.label: j for j in jobs}
    for job in jobs:
        directory = tmp_path / job.id
        directory.mkdir(parents=True)
        (directory / "value.json").write_text("1")
        (directory / "result.json").write_text('{"ok": true, "value_path": "x/value.json"}')
    recorded = {j.id: j.version for j in jobs}

    def stale(record, force=False) -> set[str]:
        return {j.asset.label for j in stale_jobs(jobs, record, str(tmp_path), force)}

    assert stale(recorded) == set()
    assert stale(recorded, force=True) == set(by_name)
    assert stale({**recorded, by_name["b"].id: "old"}) == {"b", "c"}
    (tmp_path / by_name["b"].id / "value.json").unlink()
    (tmp_path / by_name["side"].id / "result.json").unlink()
    assert stale(recorded) == {"b", "c", "side"}


def test_manifest_round_trip_and_unreadable_manifest(tmp_path):
    manifest, warning = Manifest.load(str(tmp_path))
    assert warning is None and manifest.jobs == {}
    manifest.record("a/_", {"version": "v1"})
    manifest.save()
    assert [p.name for p in tmp_path.iterdir()] == ["manifest.json"]  # no temporary left
    again, warning = Manifest.load(str(tmp_path))
    assert warning is None and again.versions() == {"a/_": "v1"}
    (tmp_path / "manifest.json").write_text('{"format": 1, "jobs": {"a/_": {"vers')
    broken, warning = Manifest.load(str(tmp_path))
    assert broken.jobs == {} and "every job runs again" in warning
