"""Planning without processes: graph checks, key naming, upstream matching, versions."""

from __future__ import annotations

import itertools
import json
import re

import pytest

from quarn.runner.graph.build import build_graph
from quarn.runner.plan import jobs as plan_jobs
from quarn.runner.plan import select as plan_select
from quarn.runner.store.manifest import Manifest

ROOT = "/srv/app"
SAFE_NAME = re.compile(r"[A-Za-z0-9_][A-Za-z0-9._-]*")


def entry(function, params="", *, file="pipe.py", module="pipe", inputs=None, partitions=None,
          name=None, source=None) -> dict:  # fmt: skip
    """One inspection-document entry, shaped as discovery writes it."""
    source = source or f"@asset()\ndef {function}({params}):\n    return 1\n"
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


# Graph checks -------------------------------------------------------------------------------


# fmt: off
CHECKS = {
    "dimension-not-a-parameter": ([entry("a", partitions={"d": [1]})],
                                  "a: partition dimension 'd' is not a parameter of 'a'"),
    "input-is-a-dimension": (
        [entry("a", "d", partitions={"d": [1]}, inputs={"d": ref("z")}), entry("z")],
        "a: input 'd' has the same name as a partition dimension"),
    "positional-only": ([entry("a", "x, /")],
                        "a: required parameter 'x' is positional-only, but inputs and partition "
                        "keys are passed by keyword"),
    "shared-key-missing-upstream": (
        [entry("u", "k", partitions={"k": ["x"]}),
         entry("d", "k, v", partitions={"k": ["x", "y"]}, inputs={"v": ref("u")})],
        "d: input 'v': key \"y\" of partition dimension 'k' is not a key of that dimension in "
        "upstream 'u'"),
    "cycle": ([entry(f, "v", inputs={"v": ref(up)})
               for f, up in [("a", "c"), ("b", "a"), ("c", "b"), ("tail", "c")]],
              "a: dependency cycle: a -> b -> c -> a"),  # `tail` is downstream of it, not on it
    "self-cycle": ([entry("a", "v", inputs={"v": ref("a")})], "a: dependency cycle: a -> a"),
    "declared-twice-differently": (
        [entry("f", name="one"), entry("f", name="two", module="other")],
        "one: function is declared as an asset more than once, with different declarations; "
        "an input reference cannot tell them apart"),
    "star-args-is-not-a-keyword": (
        [entry("up"), entry("f", "a, *args", inputs={"a": ref("up"), "args": ref("up")})],
        "f: input 'args' is not a parameter of 'f'"),
    "keyword-catch-all-takes-any-input": (
        [entry("up"), entry("f", "a, *args, b, **kw", inputs={p: ref("up") for p in "abz"})], None),
    "unreadable-source-left-to-the-worker": (  # what getsource gives for some lambdas
        [entry("up"), entry("<lambda>", source="x = (lambda: 1,\n", inputs={"v": ref("up")})],
        None),
}
# fmt: on


@pytest.mark.parametrize(("entries", "message"), CHECKS.values(), ids=CHECKS)
def test_each_check_reports_its_problem_and_nothing_else(entries, message):
    graph = graph_of(*entries)
    asset, _, text = (message or "").partition(": ")
    expected = [f"{ROOT}/pipe.py:2: error: asset '{asset}': {text}"] if message else []
    assert [str(d) for d in graph.diagnostics] == expected


def test_an_asset_listed_twice_is_one_asset_run_from_the_module_binding_its_name():
    importer = entry("raw", module="importer")
    importer["module_source"] = "from elsewhere import raw as renamed\n"
    graph = graph_of(importer, entry("raw"), entry("raw"))
    assert graph.diagnostics == []
    assert [a.module for a in graph.assets] == ["pipe"]


def test_asset_folders_come_from_the_asset_alone_safe_and_distinct():
    declared = [entry(f, name=n) for f, n in zip("xyuzwvq", ["my asset", "my_asset", "plain",
                "manifest.json", "../up", "", ".quarn"], strict=True)]  # fmt: skip
    names = [a.dir_name for a in graph_of(*declared).assets]
    assert len(set(names)) == len(names) and "plain" in names
    assert all(SAFE_NAME.fullmatch(n) and n != "manifest.json" for n in names), names
    assert [graph_of(e).assets[0].dir_name for e in declared] == names  # whatever else runs
    clash = graph_of(entry("raw", file="a.py"), entry("raw", file="b.py"), entry("Up", name="up"),
                     entry("down", name="UP", file="c.py"))  # fmt: skip
    assert [str(d) for d in clash.diagnostics] == [
        f"{ROOT}/b.py:2: error: asset 'raw': its output folder 'raw' is also that of asset "
        f"'raw' ({ROOT}/a.py:2); give one of them another name with name=",
        f"{ROOT}/c.py:2: error: asset 'UP': its output folder 'UP' is also that of asset "
        f"'up' ({ROOT}/pipe.py:2); give one of them another name with name=",
    ]


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


def chain() -> list[dict]:
    """a -> b -> c, and a -> side."""
    return [
        entry("a"),
        entry("b", "v", inputs={"v": ref("a")}),
        entry("c", "v", inputs={"v": ref("b")}),
        entry("side", "v", inputs={"v": ref("a")}),
    ]


def test_an_unreadable_manifest_is_said_and_dropped(tmp_path):
    for text, message in [
        ('{"format": 2, "jobs": {"a/_": {"vers', "cannot read"),
        ('{"format": 1, "jobs": {}}', "has an unknown format; every job runs again"),
        ('{"format": 3, "jobs": {}}', "is of a newer format (3) than this quarn reads (2)"),
    ]:
        (tmp_path / "manifest.json").write_text(text)
        broken, warning = Manifest.load(str(tmp_path))
        assert broken.jobs == {} and message in warning


def test_diagnostics_come_in_file_and_line_order():
    module_a = "@asset()\ndef w(x):\n    return 1\n\n@asset()\ndef y(x):\n    return 1\n"
    graph = graph_of(  # discovered in another order
        entry("z", "x", file="b.py", module="b"),
        entry("y", "x", file="a.py", module="a", source=module_a),
        entry("w", "x", file="a.py", module="a", source=module_a),
    )
    assert [str(d).split(": error")[0] for d in graph.diagnostics] == [
        f"{ROOT}/a.py:2", f"{ROOT}/a.py:6", f"{ROOT}/b.py:2",
    ]  # fmt: skip


PARTITIONED = [
    entry("orders", "region", partitions={"region": ["north", "south"]}),
    entry("years", "year", partitions={"year": ["2007", "2008"]}),
    entry("days", "day", partitions={"day": list(range(12))}),
]


@pytest.mark.parametrize(
    ("option", "message"),
    [
        ("regoin=north", "no planned asset has a dimension 'regoin'; did you mean 'region'?; "
         "valid dimensions: day, region, year"),
        ("month=1", "no planned asset has a dimension 'month'; valid dimensions: day, "
         "region, year"),
        ("region=nrth", "asset 'orders' has no key \"nrth\" in dimension 'region'; did you mean "
         "region=north?; valid keys: north, south"),
        ("region=west", "has no key \"west\" in dimension 'region'; valid keys: north, south"),
        # the key of another JSON type: that is the guess
        ("year=2008", "has no key 2008 in dimension 'year'; did you mean year='\"2008\"'?; "
         "valid keys: '\"2007\"', '\"2008\"'"),
        ("day=x", "valid keys: 0, 1, 2, 3, 4, 5, 6, 7, 8, 9 and 2 more"),
    ],
)  # fmt: skip
def test_an_unknown_dimension_or_key_gets_a_guess_and_the_valid_ones(option, message):
    assets = plan_select.select(graph_of(*PARTITIONED), [])
    with pytest.raises(plan_select.PlanError) as error:
        plan_select.restrict(assets, [plan_select.parse_partition_option(option)])
    assert str(error.value).endswith(message)
