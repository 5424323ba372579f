"""Differential tests: values_json against an independent Python model of the compact writer."""

from __future__ import annotations

import json
import math
import re
from decimal import Decimal

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quarn._quarn as q

UINT64_MAX = 2**64 - 1
INT64_MIN = -(2**63)

# ---- the model ------------------------------------------------------------------------------


def model_float(x: float) -> str:
    """The writer's float text, from the shortest round-trip digits that repr() gives."""
    if x == 0.0:
        return "-0.0" if math.copysign(1.0, x) < 0 else "0.0"
    _, digit_tuple, exponent = Decimal(repr(abs(x))).normalize().as_tuple()
    digits = "".join(map(str, digit_tuple))
    n = len(digits)
    e = n - 1 + exponent  # decimal exponent of the first digit
    if not -5 <= e <= 15:
        body = digits[0] + ("." + digits[1:] if n > 1 else "") + f"e{e:+d}"
    elif e >= n - 1:
        body = digits + "0" * (e - n + 1) + ".0"
    elif e >= 0:
        body = digits[: e + 1] + "." + digits[e + 1 :]
    else:
        body = "0." + "0" * (-e - 1) + digits
    return ("-" if x < 0 else "") + body


# Each character written as a backslash and a letter.
SHORT_ESCAPES = dict(zip('"\\\b\t\n\f\r', '"\\btnfr', strict=True))


def model_string(s: str) -> str:
    escaped = (
        "\\" + SHORT_ESCAPES[c] if c in SHORT_ESCAPES else f"\\u{ord(c):04x}" if c < " " else c
        for c in s
    )
    return '"' + "".join(escaped) + '"'


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


def model_write(v: object) -> str:
    """Compact text of a normalized value."""
    if isinstance(v, bool) or v is None:
        return {True: "true", False: "false", None: "null"}[v]
    if isinstance(v, int):
        return str(v)
    if isinstance(v, float):
        return model_float(v)
    if isinstance(v, str):
        return model_string(v)
    if isinstance(v, list):
        return "[" + ",".join(map(model_write, v)) + "]"
    names = sorted(v, key=lambda name: name.encode("utf-8"))
    return "{" + ",".join(model_string(k) + ":" + model_write(v[k]) for k in names) + "}"


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
    assert text == model_write(expected_values(values))
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
        ([[[[[]]]], {}, (1, 2), "\U0001f600"], '[[[[[]]]],{},[1,2],"\U0001f600"]'),
    ],
)
def test_known_texts(items: list, text: str) -> None:
    assert model_write(expected_values(items)) == text  # the model itself, against known answers
    check(items)


# ---- rejected values: the exact messages -----------------------------------------------------


def surrogate_error(encoded: str) -> str:
    """The parser's first surrogate error in the encoder's text, found by a separate scan."""
    leading = False
    for token in re.finditer(r"\\u(.{4})|\\?.", encoded):
        unit = int(token[1], 16) if token[1] else -1
        trailing = 0xDC00 <= unit <= 0xDFFF
        if leading and unit < 0:
            return f"unexpected end of hex escape at line 1 column {token.end()}"
        if leading != trailing:
            return f"lone leading surrogate in hex escape at line 1 column {token.end()}"
        leading = not leading and 0xD800 <= unit <= 0xDBFF
    raise AssertionError("no surrogate error in " + encoded)


@SETTINGS
@given(
    st.builds(
        lambda before, unit, after: before + chr(unit) + after,
        texts,
        st.integers(min_value=0xD800, max_value=0xDFFF),
        st.text(st.characters(exclude_categories=("Cs",)), max_size=3) | st.just("\udc00"),
    )
)
def test_unpaired_surrogates_are_rejected_with_the_exact_message(text: str) -> None:
    try:
        # A leading unit right before a trailing one is a pair: the encoder writes both escapes
        # and the parser joins them into the one character beyond U+FFFF.
        joined = text.encode("utf-16-le", "surrogatepass").decode("utf-16-le")
    except UnicodeDecodeError:
        with pytest.raises(ValueError) as caught:
            q.partitions([text])
        assert str(caught.value) == "invalid partition value: " + surrogate_error(json.dumps(text))
    else:
        assert values_json([text]) == model_write([joined])


@SETTINGS
@given(
    st.lists(st.integers(min_value=-1000, max_value=1000), max_size=4),
    st.sampled_from([math.nan, math.inf, -math.inf, 10**400, -(10**400), 2**1024]),
    st.integers(min_value=0, max_value=4),
)
def test_rejected_numbers_have_the_exact_message(prefix: list, bad: float, where: int) -> None:
    element = [*prefix[:where], bad, *prefix[where:]]
    encoded, token = json.dumps(element), json.dumps(bad)
    start = encoded.index(token)
    if isinstance(bad, int):  # too large for a float: found at its last digit
        kind, column = "number out of range", start + len(token)
    elif token == "-Infinity":  # no digit after the "-"
        kind, column = "invalid number", start + 2
    else:  # NaN and Infinity cannot start a value
        kind, column = "expected value", start + 1
    with pytest.raises(ValueError) as caught:
        q.partitions([1, element])
    assert str(caught.value) == f"invalid partition value: {kind} at line 1 column {column}"
