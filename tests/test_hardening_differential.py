"""Differential tests: values_json against the independent model of the compact writer."""

from __future__ import annotations

import json

import pytest
from discovery_model import compact
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quarn._quarn as q

UINT64_MAX = 2**64 - 1
INT64_MIN = -(2**63)


def normalize(v: object) -> object:
    """A value after the host's encoder and decoder (tuples are lists, keys strings, a later
    equal key wins) with the integers beyond the 64-bit ranges turned into floats."""
    if isinstance(v, list):
        return [normalize(item) for item in v]
    if isinstance(v, dict):
        return {key: normalize(item) for key, item in v.items()}
    if isinstance(v, int) and not isinstance(v, bool) and not INT64_MIN <= v <= UINT64_MAX:
        return float(v)
    return v


def expected_values(values: list) -> list:
    return [normalize(json.loads(json.dumps(v))) for v in values]


# ---- the system under test and the check -----------------------------------------------------


def values_json(values: list) -> str:
    """values_json of a one-dimension asset made of partitions(values)."""
    marker = q.partitions(values)
    assert repr(marker) == f"Partitions({len(values)} values)"
    spec = q.asset(partitions={"d": marker})(lambda d: d).__quarn_metadata__["partitions"]["d"]
    assert list(spec) == ["kind", "values_json"] and spec["kind"] == "inline"
    return spec["values_json"]


def check(values: list) -> None:
    text = values_json(values)
    assert text == compact(expected_values(values))
    assert json.loads(text) == expected_values(values)


# ---- strategies ------------------------------------------------------------------------------

EDGE_INTS = [
    sign * m
    for m in (0, 1, 2**53 + 1, 2**63 - 1, 2**63, 2**63 + 1, UINT64_MAX, 2**64, 10**20, 10**300)
    for sign in (1, -1)
]
EDGE_FLOATS = [
    sign * float(x)
    for x in (
        "0 5e-324 2.2250738585072014e-308 2.225073858507201e-308 1.7976931348623157e308 1e15 1e16"
        " 999999999999999.9 9999999999999998 1e-5 1e-6 0.00001234 1.5e-7 0.1 100 123456789"
        " 1.2345678901234568e17 18446744073709551616 9223372036854775808 4503599627370495.5"
    ).split()
    for sign in (1.0, -1.0)
]
ints = st.one_of(
    st.sampled_from(EDGE_INTS),
    st.integers(min_value=-(2**70), max_value=2**70),
    st.integers(min_value=-(10**300), max_value=10**300),
)
floats = st.one_of(
    st.sampled_from(EDGE_FLOATS),
    st.floats(allow_nan=False, allow_infinity=False),
    st.integers(min_value=-(2**70), max_value=2**70).map(float),
    st.integers(min_value=-330, max_value=308).map(lambda e: float(f"1e{e}")),
)
# Every code point but the surrogates: controls, non-ASCII and astral characters included.
texts = st.text(st.characters(exclude_categories=("Cs",)), max_size=12)
scalars = st.none() | st.booleans() | ints | floats | texts
values = st.recursive(
    scalars,
    lambda children: (
        st.lists(children, max_size=4)
        | st.tuples(children, children)
        | st.dictionaries(texts, children, max_size=4)
    ),
    max_leaves=12,
)
SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])


# ---- accepted values -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "strategy",
    [
        st.lists(values, max_size=5),
        st.dictionaries(texts, scalars, max_size=8).map(lambda members: [members]),
        st.just(EDGE_INTS + EDGE_FLOATS),
    ],
    ids=["nested", "member order", "edges"],
)
@SETTINGS
@given(data=st.data())
def test_values_json_matches_the_model(strategy, data) -> None:
    check(data.draw(strategy))


@pytest.mark.parametrize(
    ("items", "text"),
    [
        ([0.0, -0.0, 100.0, 1e15, 12.34], "[0.0,-0.0,100.0,1000000000000000.0,12.34]"),
        ([0.001234, 1e-5, 1e16, 1.5e-7, 1e-6], "[0.001234,0.00001,1e+16,1.5e-7,1e-6]"),
        ([UINT64_MAX, 2**64], "[18446744073709551615,1.8446744073709552e+19]"),
        ([INT64_MIN, INT64_MIN - 1], "[-9223372036854775808,-9.223372036854776e+18]"),
        (["\u00e9\x1f\x7f/", '\\"\b\t\n\f\r'], '["\u00e9\\u001f\x7f/","\\\\\\"\\b\\t\\n\\f\\r"]'),
        ([{"b": 1, "a": 2, "B": 3, "_": 4}], '[{"B":3,"_":4,"a":2,"b":1}]'),
        ([{1: "a", "1": "b"}, {True: 1, None: (2,)}], '[{"1":"b"},{"null":[2],"true":1}]'),
        ([[[[[]]]], {}, (1, 2), "\ud83d\ude00"], '[[[[[]]]],{},[1,2],"\U0001f600"]'),
    ],
)
def test_known_texts(items: list, text: str) -> None:
    assert compact(expected_values(items)) == text  # the model itself, against known answers
    check(items)
