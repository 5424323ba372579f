"""Differential tests: values_json against an independent Python model of the compact writer."""

from __future__ import annotations

import json
import math
from decimal import Decimal

import pytest
from hardening_probe import ASSET
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
    sign = "-" if x < 0 else ""
    _, digit_tuple, exponent = Decimal(repr(abs(x))).normalize().as_tuple()
    digits = "".join(map(str, digit_tuple))
    n = len(digits)
    e = n - 1 + exponent  # decimal exponent of the first digit
    if -5 <= e <= 15:
        if e >= n - 1:
            body = digits + "0" * (e - n + 1) + ".0"
        elif e >= 0:
            body = digits[: e + 1] + "." + digits[e + 1 :]
        else:
            body = "0." + "0" * (-e - 1) + digits
    else:
        body = (
            digits[0]
            + ("." + digits[1:] if n > 1 else "")
            + ("e+" if e > 0 else "e-")
            + str(abs(e))
        )
    return sign + body


SHORT_ESCAPES = {
    '"': '\\"',
    "\\": "\\\\",
    "\b": "\\b",
    "\t": "\\t",
    "\n": "\\n",
    "\f": "\\f",
    "\r": "\\r",
}


def model_string(s: str) -> str:
    out = ['"']
    for ch in s:
        if ch in SHORT_ESCAPES:
            out.append(SHORT_ESCAPES[ch])
        elif ord(ch) < 0x20:
            out.append(f"\\u{ord(ch):04x}")
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def model_key(key: object) -> str:
    """The member name the host encoder makes of a dict key."""
    if isinstance(key, str):
        return key
    if key is True:
        return "true"
    if key is False:
        return "false"
    if key is None:
        return "null"
    if isinstance(key, float):
        return repr(key)
    return str(key)


def normalize(v: object) -> object:
    """What the value becomes after the encoder and the parser: the Python equivalent of the
    stored JSON value (tuples become lists, keys strings, out-of-range integers floats)."""
    if v is None or isinstance(v, bool | str | float):
        return v
    if isinstance(v, int):
        return v if INT64_MIN <= v <= UINT64_MAX else float(v)
    if isinstance(v, list | tuple):
        return [normalize(item) for item in v]
    if isinstance(v, dict):
        members: dict[str, object] = {}
        for key, item in v.items():
            members[model_key(key)] = normalize(item)  # a later equal name replaces the earlier
        return members
    raise TypeError(type(v))


def model_write(v: object) -> str:
    """Compact text of an already normalized value."""
    if v is None:
        return "null"
    if v is True:
        return "true"
    if v is False:
        return "false"
    if isinstance(v, int):
        return str(v)
    if isinstance(v, float):
        return model_float(v)
    if isinstance(v, str):
        return model_string(v)
    if isinstance(v, list):
        return "[" + ",".join(model_write(item) for item in v) + "]"
    assert isinstance(v, dict)
    names = sorted(v, key=lambda name: name.encode("utf-8"))
    return "{" + ",".join(model_string(k) + ":" + model_write(v[k]) for k in names) + "}"


def model_values_json(values: list) -> str:
    return model_write([normalize(v) for v in values])


# ---- the system under test -------------------------------------------------------------------


def values_json(values: list) -> str | None:
    """values_json of a one-dimension asset made of partitions(values); None before `asset`."""
    marker = q.partitions(values)
    assert repr(marker) == f"Partitions({len(values)} values)"
    if not ASSET:
        return None

    def f(d):
        return d

    wrapper = q.asset(partitions={"d": marker})(f)
    spec = wrapper.__quarn_metadata__["partitions"]["d"]
    assert spec["kind"] == "inline"
    return spec["values_json"]


def check(values: list) -> None:
    text = values_json(values)
    if text is None:
        return
    expected = model_values_json(values)
    assert text == expected
    assert json.loads(text) == [normalize(v) for v in values]


# ---- strategies ------------------------------------------------------------------------------

EDGE_INTS = [
    0,
    1,
    -1,
    2**53,
    2**53 + 1,
    2**63 - 1,
    2**63,
    UINT64_MAX,
    UINT64_MAX + 1,
    INT64_MIN,
    INT64_MIN - 1,
    -(2**64),
    10**20,
    -(10**20),
    10**300,
    -(10**300),
]
EDGE_FLOATS = [
    0.0,
    -0.0,
    5e-324,
    -5e-324,
    2.2250738585072014e-308,
    2.225073858507201e-308,
    1.7976931348623157e308,
    -1.7976931348623157e308,
    1e15,
    1e16,
    999999999999999.9,
    9999999999999998.0,
    1e-5,
    1e-6,
    0.00001234,
    1.5e-7,
    0.1,
    100.0,
    123456789.0,
    1.2345678901234568e17,
    2.0**64,
    -(2.0**63),
    4503599627370495.5,
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


# ---- the model itself, against the examples the writer's rules give ---------------------------


@pytest.mark.parametrize(
    ("x", "text"),
    [
        (0.0, "0.0"),
        (-0.0, "-0.0"),
        (100.0, "100.0"),
        (1e15, "1000000000000000.0"),
        (12.34, "12.34"),
        (0.001234, "0.001234"),
        (1e-5, "0.00001"),
        (1e16, "1e+16"),
        (1.5e-7, "1.5e-7"),
        (1e-6, "1e-6"),
        (1.7976931348623157e308, "1.7976931348623157e+308"),
        (5e-324, "5e-324"),
        (-2.5, "-2.5"),
    ],
)
def test_model_float_layout(x: float, text: str) -> None:
    assert model_float(x) == text


def test_model_string_and_member_order() -> None:
    assert model_string("\u00e9\x1f\x7f/") == '"\u00e9\\u001f\x7f/"'
    assert model_write({"b": 1, "a": 2, "B": 3}) == '{"B":3,"a":2,"b":1}'


# ---- differential runs -----------------------------------------------------------------------

SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@SETTINGS
@given(st.lists(values, max_size=5))
def test_values_json_matches_the_model(items: list) -> None:
    check(items)


@SETTINGS
@given(st.lists(floats, min_size=1, max_size=8))
def test_float_layout_matches_the_model(items: list) -> None:
    check(items)


@SETTINGS
@given(st.lists(ints, min_size=1, max_size=8))
def test_integers_at_and_beyond_64_bits(items: list) -> None:
    check(items)


@SETTINGS
@given(st.dictionaries(texts, scalars, max_size=8))
def test_member_names_sorted_by_utf8_bytes(members: dict) -> None:
    check([members])


@pytest.mark.parametrize(
    "items",
    [
        [EDGE_INTS],
        [EDGE_FLOATS],
        [{1: "a", "1": "b"}],  # the encoder makes both names "1"; the later one wins
        [{True: 1, None: 2, 2.5: 3}],
        ['\x00\x1b\x7f\u2028\U0001f600\\"/'],
        [[[[[]]]], {}],
    ],
)
def test_fixed_cases(items: list) -> None:
    check(items)


# ---- rejected values: the exact messages -----------------------------------------------------


def surrogate_error(encoded: str) -> str:
    """The parser's first surrogate error in the encoder's text, found by a separate scan."""
    i = 0
    pending_leading = False
    while i < len(encoded):
        if encoded[i] != "\\":
            if pending_leading:
                return f"unexpected end of hex escape at line 1 column {i + 1}"
            i += 1
            continue
        if encoded[i + 1] != "u":
            if pending_leading:
                return f"unexpected end of hex escape at line 1 column {i + 2}"
            i += 2
            continue
        unit = int(encoded[i + 2 : i + 6], 16)
        last_digit_column = i + 6
        if pending_leading:
            if not 0xDC00 <= unit <= 0xDFFF:
                return f"lone leading surrogate in hex escape at line 1 column {last_digit_column}"
            pending_leading = False
        elif 0xDC00 <= unit <= 0xDFFF:
            return f"lone leading surrogate in hex escape at line 1 column {last_digit_column}"
        elif 0xD800 <= unit <= 0xDBFF:
            pending_leading = True
        i += 6
    raise AssertionError("no surrogate error in " + encoded)


lone_surrogate_texts = st.builds(
    lambda before, unit, after: before + chr(unit) + after,
    texts,
    st.integers(min_value=0xD800, max_value=0xDFFF),
    st.text(st.characters(exclude_categories=("Cs",)), max_size=3) | st.just("\udc00"),
)


@SETTINGS
@given(lone_surrogate_texts)
def test_unpaired_surrogates_are_rejected_with_the_exact_message(text: str) -> None:
    try:
        # A leading unit right before a trailing one is a pair: the encoder writes both escapes
        # and the parser joins them into the one character beyond U+FFFF.
        joined = text.encode("utf-16-le", "surrogatepass").decode("utf-16-le")
    except UnicodeDecodeError:
        joined = None
    if joined is not None:
        text_json = values_json([text])
        if text_json is not None:
            assert text_json == model_values_json([joined])
        return
    with pytest.raises(ValueError) as caught:
        q.partitions([text])
    assert str(caught.value) == "invalid partition value: " + surrogate_error(json.dumps(text))


@SETTINGS
@given(
    st.lists(st.integers(min_value=-1000, max_value=1000), max_size=4),
    st.sampled_from([math.nan, math.inf, -math.inf]),
    st.integers(min_value=0, max_value=4),
)
def test_non_finite_floats_are_rejected_with_the_exact_message(
    prefix: list, bad: float, where: int
) -> None:
    element = [*prefix[:where], bad, *prefix[where:]]
    encoded = json.dumps(element)
    if math.isnan(bad):
        expected = f"expected value at line 1 column {encoded.index('NaN') + 1}"
    elif bad > 0:
        expected = f"expected value at line 1 column {encoded.index('Infinity') + 1}"
    else:
        expected = f"invalid number at line 1 column {encoded.index('-Infinity') + 2}"
    with pytest.raises(ValueError) as caught:
        q.partitions([1, element])
    assert str(caught.value) == "invalid partition value: " + expected


@pytest.mark.parametrize("magnitude", [10**400, -(10**400), 2**1024])
def test_integers_beyond_the_float_range_are_rejected(magnitude: int) -> None:
    element = [0, magnitude]
    encoded = json.dumps(element)
    column = encoded.index(str(magnitude)) + len(str(magnitude))  # the last digit
    with pytest.raises(ValueError) as caught:
        q.partitions([element])
    assert str(caught.value) == (
        f"invalid partition value: number out of range at line 1 column {column}"
    )
