"""Run parameters: which values are accepted and from where, and what they change in a
job's version (runs that set them: test_views_agree)."""

from __future__ import annotations

import json

import pytest
from test_run_plan import entry, graph_of, ref

from quarn.runner.plan import jobs as plan_jobs
from quarn.runner.plan.params import ParamError, parse_set_option, settle_params
from quarn.runner.plan.select import select
from quarn.runner.state.assess import Facts, Version, assess

GRAPH = [
    entry("raw", "day", partitions={"day": [1, 2]}),
    entry("scored", "data, threshold=0.5, label='x'", inputs={"data": ref("raw")}),
    entry("flagged", "data, threshold=0.5, *, limit", inputs={"data": ref("scored")}),
]


@pytest.mark.parametrize(
    ("options", "configured", "expected"),
    [
        # the command line overrides the project file; values read as --partition reads keys
        (["threshold=0.8", "label=north", 'limit="3"'], {"threshold": 0.1, "limit": 1},
         ({"threshold": 0.8, "label": "north", "limit": "3"}, [])),
        ([], {"limit": [1, {"a": None}], "treshold": 1},
         ({"limit": [1, {"a": None}]},
          ["[tool.quarn.params]: no asset has a parameter 'treshold'; did you mean "
           "'threshold'?; valid parameters: label, limit, threshold"])),
        (["treshold=1"], {}, "--set treshold=...: no asset has a parameter 'treshold'; did "
         "you mean 'threshold'?; valid parameters: label, limit, threshold"),
        (["day=1"], {}, "--set day=...: 'day' is a partition dimension of asset 'raw', not a "
         "parameter; choose its keys with --partition day=KEY"),
        (["limit=NaN"], {}, "--set limit=...: nan is not a JSON number"),
        (["limit"], {}, "--set expects NAME=VALUE, got 'limit'"),
        ([], {"limit": {1, 2}}, "[tool.quarn.params] limit: expected a JSON value"),
    ],
)  # fmt: skip
def test_values_come_from_the_command_line_over_the_project_file(options, configured, expected):
    graph = graph_of(*GRAPH)
    if isinstance(expected, str):
        with pytest.raises(ParamError) as error:
            settle_params(graph, dict(map(parse_set_option, options)), configured)
        assert expected in str(error.value)
        return
    settled = settle_params(graph, dict(map(parse_set_option, options)), configured)
    assert (settled.values, settled.warnings) == expected


def test_a_required_parameter_is_a_graph_problem_until_it_has_a_value():
    graph = graph_of(*GRAPH)
    assert [d.needs for d in graph.diagnostics] == ["limit"]
    assert "pass --set limit=VALUE" in str(graph.diagnostics[0])
    assert settle_params(graph, {}, {"limit": 3}).diagnostics == []
    assert settle_params(graph, {"threshold": 1}).diagnostics == graph.diagnostics


def versions(values: dict) -> dict[str, str]:
    graph = graph_of(*GRAPH)
    jobs = plan_jobs.build_jobs(select(graph, []), {}, params={"limit": 3, **values})
    return {j.id: j.version for j in jobs}


@pytest.mark.parametrize(
    ("values", "changed"),
    [
        ({"threshold": 0.8}, {"scored/_", "flagged/_"}),
        ({"label": "y"}, {"scored/_"}),
        ({"label": "x", "threshold": 0.5}, set()),  # the literal defaults themselves
        ({"limit": 4}, {"flagged/_"}),
    ],
)
def test_a_value_changes_the_version_of_exactly_the_jobs_that_take_it(values, changed):
    before, after = versions({}), versions(values)
    assert {i for i in before if before[i] != after[i]} == changed


@pytest.mark.parametrize(
    ("recorded", "planned", "text"),
    [
        ({}, {"threshold": 0.8}, "its parameter threshold changed"),
        ({"threshold": 0.8, "limit": 3.5}, {"threshold": 0.9, "limit": 3.5},
         "its parameter threshold changed"),
        ({"a": "one", "b": "two", "c": "three"}, {"a": "uno", "c": "tres"},
         "its parameters a, b and c changed"),
    ],
)  # fmt: skip
def test_the_reason_names_the_parameters_whose_values_changed(recorded, planned, text):
    def job(values: dict) -> plan_jobs.Job:
        graph = graph_of(entry("f", "a=0, b=0, c=0, threshold=0, limit=0"))
        return plan_jobs.build_jobs(graph.order, {}, params=values)[0]

    old, new = job(recorded), job(planned)
    record = {"status": "succeeded", "version": old.version, "parts": old.parts, "digest": "d"}
    reasons = assess(Facts(record, Version(new.version, new.parts))).reasons
    assert [r.text for r in reasons] == [text]
    assert not any(json.dumps(v) in json.dumps(record) for v in planned.values())  # digests
