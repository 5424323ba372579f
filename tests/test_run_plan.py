"""Planning without processes: graph checks, key naming, upstream matching, versions."""

from __future__ import annotations

import itertools
import json
import re
import textwrap

import pytest

from quarn._graph import build_graph, parse_signature
from quarn._manifest import Manifest
from quarn._plan import (
    PlanError,
    build_jobs,
    count_jobs,
    parse_partition_option,
    partition_dir_name,
    restrict,
    select,
    stale_jobs,
)

ROOT = "/srv/app"


def entry(
    function: str,
    params: str = "",
    *,
    file: str = "pipe.py",
    module: str = "pipe",
    inputs: dict[str, str] | None = None,
    partitions: dict[str, list] | None = None,
    name: str | None = None,
    body: str = "return 1",
    module_source: str | None = None,
) -> dict:
    """One inspection-document entry, shaped as discovery writes it."""
    source = f"@asset()\ndef {function}({params}):\n    {body}\n"
    parts = None
    if partitions is not None:
        parts = {
            d: {"kind": "inline", "values_json": json.dumps(v, separators=(",", ":"))}
            for d, v in partitions.items()
        }
    return {
        "decorator_metadata": {
            "inputs": inputs,
            "kind": "asset",
            "name": name,
            "partitions": parts,
            "serializer": None,
        },
        "file_path": f"{ROOT}/{file}",
        "function_name": function,
        "function_source": source,
        "kind": "asset",
        "module_path": module,
        "module_source": module_source if module_source is not None else source,
        "python_version": "3.12.1",
        "return_type": None,
    }


def ref(function: str, file: str = "pipe.py") -> str:
    return f"{ROOT}/{file}:{function}"


def graph_of(*entries: dict):
    return build_graph({"assets": list(entries)})


def plan(*entries: dict, options=()):
    graph = graph_of(*entries)
    assert graph.diagnostics == []
    assets = select(graph, [])
    return build_jobs(assets, restrict(assets, list(options)))


# Graph checks -------------------------------------------------------------------------------

CHECKS = [
    pytest.param(
        [entry("a", partitions={"d": [1]})],
        ["asset 'a': partition dimension 'd' is not a parameter of 'a'"],
        id="dimension-not-a-parameter",
    ),
    pytest.param(
        [entry("a", "d", partitions={"d": [1]}, inputs={"d": ref("z")}), entry("z")],
        ["asset 'a': input 'd' has the same name as a partition dimension"],
        id="input-is-a-dimension",
    ),
    pytest.param(
        [entry("a", "x, /")],
        [
            "asset 'a': required parameter 'x' is positional-only, but inputs and partition keys "
            "are passed by keyword"
        ],
        id="positional-only",
    ),
    pytest.param(
        [
            entry("u", "k", partitions={"k": ["x"]}),
            entry("d", "k, v", partitions={"k": ["x", "y"]}, inputs={"v": ref("u")}),
        ],
        [
            "asset 'd': input 'v': key \"y\" of partition dimension 'k' is not a key of that "
            "dimension in upstream 'u'"
        ],
        id="shared-key-missing-upstream",
    ),
    pytest.param(
        [
            entry("a", "v", inputs={"v": ref("c")}),
            entry("b", "v", inputs={"v": ref("a")}),
            entry("c", "v", inputs={"v": ref("b")}),
            entry("tail", "v", inputs={"v": ref("c")}),
        ],
        ["asset 'a': dependency cycle: a -> b -> c -> a"],
        id="cycle",
    ),
    pytest.param(
        [entry("a", "v", inputs={"v": ref("a")})],
        ["asset 'a': dependency cycle: a -> a"],
        id="self-cycle",
    ),
]


@pytest.mark.parametrize(("entries", "messages"), CHECKS)
def test_each_check_reports_its_problem_and_nothing_else(entries, messages):
    graph = graph_of(*entries)
    shown = [f"asset '{d.asset}': {d.message}" for d in graph.diagnostics]
    assert shown == messages
    for diagnostic in graph.diagnostics:
        assert str(diagnostic).startswith(f"{ROOT}/pipe.py:{diagnostic.line}: error: asset '")


@pytest.mark.parametrize(
    ("params", "inputs", "problems"),
    [
        ("a, *args, b, **kwargs", {"a", "b", "anything"}, []),
        ("a, *args", {"a", "args"}, ["input 'args' is not a parameter of 'f'"]),
    ],
)
def test_keyword_catch_all_accepts_any_input_and_star_args_none(params, inputs, problems):
    graph = graph_of(entry("up"), entry("f", params, inputs={p: ref("up") for p in inputs}))
    assert [d.message for d in graph.diagnostics] == problems


@pytest.mark.parametrize(
    ("source", "name", "keywords", "required", "var_keyword"),
    [
        ("async def f(a, b=1):\n    pass\n", "f", {"a", "b"}, ("a",), False),
        (
            "@dec(x=1)\ndef f(a, /, b, *c, d, e=2, **f):\n    pass\n",
            "f",
            {"b", "d", "e"},
            ("a", "b", "d"),
            True,
        ),
        (
            "x = asset()(lambda ticker, n=2: ticker)\n",
            "<lambda>",
            {"ticker", "n"},
            ("ticker",),
            False,
        ),
        ("def outer(q):\n    def f(z):\n        pass\n", "f", {"z"}, ("z",), False),
    ],
)
def test_signature_parsing(source, name, keywords, required, var_keyword):
    sig = parse_signature(source, name)
    assert sig is not None
    assert (sig.keyword_names, sig.required, sig.var_keyword) == (keywords, required, var_keyword)


def test_unreadable_source_disables_parameter_checks():
    assert parse_signature("def f(:\n", "f") is None
    bad = entry("a")
    bad["function_source"] = "x = (lambda: 1,\n"  # what getsource gives for some lambdas
    bad["function_name"] = "<lambda>"
    assert graph_of(bad).diagnostics == []


def test_diagnostic_names_the_line_of_the_definition_in_the_file(tmp_path):
    path = tmp_path / "mod.py"
    path.write_text(
        textwrap.dedent(
            """\
            from quarn import asset


            @asset()
            def first():
                return 1


            @asset(
                name="x",
            )
            async def broken(value):
                return value
            """
        )
    )
    bad = entry("broken", "value", file="mod.py")
    bad["file_path"] = str(path)
    bad["function_source"] = 'asset(\n    name="x",\n)\nasync def broken(value):\n    return 1\n'
    (diagnostic,) = graph_of(bad).diagnostics
    assert str(diagnostic) == (
        f"{path}:12: error: asset 'broken': required parameter 'value' is neither an input "
        "nor a partition dimension"
    )


def test_an_asset_listed_twice_is_one_asset_run_from_the_module_binding_its_name():
    defining = "from quarn import asset\n\n@asset()\ndef raw():\n    return 1\n"
    importing = "from elsewhere import raw as renamed\n"
    graph = graph_of(
        entry("raw", module="importer", module_source=importing),
        entry("raw", module="pipe", module_source=defining),
        entry("raw", module="pipe", module_source=defining),
    )
    assert graph.diagnostics == []
    (asset,) = graph.assets
    assert asset.module == "pipe"


def test_one_function_declared_twice_differently_is_reported():
    graph = graph_of(entry("f", name="one"), entry("f", name="two", module="other"))
    assert [d.message for d in graph.diagnostics] == [
        "function is declared as an asset more than once, with different declarations; "
        "an input reference cannot tell them apart"
    ]


def test_asset_directories_are_safe_and_distinct():
    graph = graph_of(
        entry("raw", file="a.py"),
        entry("raw", file="b.py"),
        entry("x", name="my asset"),
        entry("y", name="my_asset"),
        entry("u", name="plain"),
        entry("z", name="manifest.json"),
        entry("w", name="../up"),
        entry("v", name=""),
    )
    assert graph.diagnostics == []
    names = [a.dir_name for a in graph.assets]
    assert len(set(names)) == len(names)
    assert "plain" in names  # a safe label no other asset maps to is used as it is
    for name in names:
        assert re.fullmatch(r"[A-Za-z0-9_][A-Za-z0-9._-]*", name), name
        assert name != "manifest.json"


# Partition keys -----------------------------------------------------------------------------

AWKWARD_KEYS = [
    1,
    "1",
    1.0,
    True,
    "true",
    None,
    "null",
    "",
    "a/b",
    "a_b",
    "a b",
    ".hidden",
    "..",
    "-",
    {"x": 1},
    [1],
    "é",
    "e\u0301",
    "x" * 300,
]


def test_partition_directory_names_are_collision_free_and_safe():
    combos = [{"d": k} for k in AWKWARD_KEYS]
    combos += [{"a": "a_b", "b": "c"}, {"a": "a", "b": "b_c"}, {"a": 1, "b": 2}, {"a": 2, "b": 1}]
    names = [partition_dir_name(c) for c in combos]
    assert len(set(names)) == len(names)
    for name in names:
        assert re.fullmatch(r"[A-Za-z0-9_][A-Za-z0-9._-]*", name), name
        assert name != "_" and len(name) <= 64
    assert partition_dir_name({}) == "_"


def test_keys_that_are_equal_in_python_are_distinct_jobs():
    jobs = plan(entry("a", "d", partitions={"d": [1, True, 1.0, "1", 1]}))
    assert [j.key_texts["d"] for j in jobs] == ["1", "true", "1.0", '"1"']


def test_jobs_are_the_cross_product_of_dimensions():
    jobs = plan(entry("a", "x, y", partitions={"x": ["p", "q"], "y": [1, 2, 3]}))
    assert sorted((j.key["x"], j.key["y"]) for j in jobs) == sorted(
        itertools.product(["p", "q"], [1, 2, 3])
    )
    assert len({j.id for j in jobs}) == 6


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
    ],
)
def test_partition_option_reads_json_else_string(text, expected):
    assert parse_partition_option(text) == expected


@pytest.mark.parametrize("text", ["ticker", "=AAPL"])
def test_partition_option_needs_a_dimension(text):
    with pytest.raises(PlanError):
        parse_partition_option(text)


# Upstream matching --------------------------------------------------------------------------


def test_same_dimension_receives_the_same_key():
    jobs = plan(
        entry("u", "t", partitions={"t": ["A", "B"]}),
        entry("d", "t, v", partitions={"t": ["B", "A"]}, inputs={"v": ref("u")}),
    )
    for job in (j for j in jobs if j.asset.label == "d"):
        ((param, source),) = job.inputs
        assert param == "v" and source.key == job.key


def test_fan_in_over_one_missing_dimension_keys_members_by_json_text():
    days = ["2026-01-05", "2026-01-06"]
    jobs = plan(
        entry("u", "t, day", partitions={"t": ["A", "B"], "day": days}),
        entry("d", "t, v", partitions={"t": ["A", "B"]}, inputs={"v": ref("u")}),
    )
    for job in (j for j in jobs if j.asset.label == "d"):
        ((_, members),) = job.inputs
        assert [m for m, _ in members] == [json.dumps(d) for d in days]
        for member, upstream in members:
            assert upstream.key == {"t": job.key["t"], "day": json.loads(member)}
        assert set(job.deps) == {u for _, u in members}


def test_fan_in_over_several_missing_dimensions_keys_members_by_json_object():
    jobs = plan(
        entry("u", "a, b, c", partitions={"a": [1, 2], "b": ["x"], "c": [None, "n"]}),
        entry("d", "b, v", partitions={"b": ["x"]}, inputs={"v": ref("u")}),
    )
    (down,) = [j for j in jobs if j.asset.label == "d"]
    ((_, members),) = down.inputs
    expected = {
        json.dumps({"a": a, "c": c}, sort_keys=True, separators=(",", ":"))
        for a in (1, 2)
        for c in (None, "n")
    }
    assert {m for m, _ in members} == expected
    for member, upstream in members:
        assert {**json.loads(member), "b": "x"} == upstream.key


def test_unpartitioned_upstream_feeds_every_partition():
    jobs = plan(
        entry("u"),
        entry("d", "t, v", partitions={"t": ["A", "B", "C"]}, inputs={"v": ref("u")}),
    )
    (up,) = [j for j in jobs if j.asset.label == "u"]
    downs = [j for j in jobs if j.asset.label == "d"]
    assert all(j.inputs == [("v", up)] for j in downs)
    assert up.downstream == downs


def test_restriction_applies_to_every_asset_with_the_dimension():
    entries = [
        entry("u", "t, day", partitions={"t": ["A", "B"], "day": [1, 2, 3]}),
        entry("d", "t, v", partitions={"t": ["A", "B"]}, inputs={"v": ref("u")}),
    ]
    jobs = plan(*entries, options=[("t", "B"), ("day", 2), ("day", 3)])
    assert sorted((j.asset.label, tuple(sorted(j.key.items()))) for j in jobs) == [
        ("d", (("t", "B"),)),
        ("u", (("day", 2), ("t", "B"))),
        ("u", (("day", 3), ("t", "B"))),
    ]
    graph = graph_of(*entries)
    assets = select(graph, [])
    assert count_jobs(assets, restrict(assets, [("t", "B")])) == 4
    with pytest.raises(PlanError, match="no key"):
        restrict(assets, [("day", "9")])
    with pytest.raises(PlanError, match="no planned asset"):
        restrict(assets, [("month", 1)])


def test_select_takes_upstreams_and_not_downstreams():
    graph = graph_of(
        entry("a"),
        entry("b", "v", inputs={"v": ref("a")}),
        entry("c", "v", inputs={"v": ref("b")}),
        entry("other"),
    )
    assert [a.label for a in select(graph, ["b"])] == ["a", "b"]
    assert [a.label for a in select(graph, [ref("c")])] == ["a", "b", "c"]
    with pytest.raises(PlanError, match="'nope' matches no asset"):
        select(graph, ["nope"])


# Versions and staleness ---------------------------------------------------------------------


def chain(source_of_b: str = "return 1", where: str = ROOT):
    entries = [
        entry("a"),
        entry("b", "v", inputs={"v": ref("a")}, body=source_of_b),
        entry("c", "v", inputs={"v": ref("b")}),
        entry("side", "v", inputs={"v": ref("a")}),
    ]
    for e in entries:
        e["file_path"] = e["file_path"].replace(ROOT, where)
        inputs = e["decorator_metadata"]["inputs"]
        if inputs:
            e["decorator_metadata"]["inputs"] = {
                k: v.replace(ROOT, where) for k, v in inputs.items()
            }
    return {j.asset.label: j for j in plan(*entries)}


def test_a_source_edit_changes_the_job_and_its_descendants_only():
    before, after = chain(), chain("return 2")
    changed = {name for name in before if before[name].version != after[name].version}
    assert changed == {"b", "c"}


def test_versions_do_not_depend_on_where_the_project_lives():
    before, after = chain(), chain(where="/elsewhere/checkout")
    assert {n: j.version for n, j in before.items()} == {n: j.version for n, j in after.items()}


def test_stale_jobs_follow_versions_files_and_upstreams(tmp_path):
    jobs = list(chain().values())
    by_name = {j.asset.label: j for j in jobs}
    for job in jobs:
        directory = tmp_path / job.asset.dir_name / job.partition_dir
        directory.mkdir(parents=True)
        (directory / "value.json").write_text("1")
        (directory / "result.json").write_text("{}")
    recorded = {j.id: j.version for j in jobs}
    out = str(tmp_path)
    assert stale_jobs(jobs, recorded, out, force=False) == []
    assert stale_jobs(jobs, recorded, out, force=True) == jobs
    assert {
        j.asset.label
        for j in stale_jobs(jobs, {**recorded, by_name["b"].id: "old"}, out, force=False)
    } == {"b", "c"}
    b = by_name["b"]
    (tmp_path / b.asset.dir_name / b.partition_dir / "value.json").unlink()
    assert {j.asset.label for j in stale_jobs(jobs, recorded, out, force=False)} == {"b", "c"}


# Manifest -----------------------------------------------------------------------------------


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
