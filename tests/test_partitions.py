"""partitions(values): the list read whole, the values rejected, and the host encoder's part."""

import json
import math

import pytest

import quarn._quarn as q


def refuse(*args):
    raise AssertionError("consulted")


class Sealed(list):
    """A list whose overridden iteration and item access must not be consulted."""

    __iter__ = __getitem__ = refuse


def nested(depth: int) -> list:
    return json.loads("[" * depth + "]" * depth)


def test_storage_is_read_whole():
    # How keys are written is checked against the model in test_hardening_differential.py.
    for marker in (q.partitions(Sealed("abc")), q.partitions(values=Sealed("abc"))):
        assert type(marker) is q.Partitions and repr(marker) == "Partitions(3 values)"
    assert repr(q.partitions([nested(127)])) == "Partitions(1 values)"


# The parser's message, at a position in the host encoder's text of the one value.
@pytest.mark.parametrize(
    ("value", "error"),
    [
        (float("nan"), "expected value at line 1 column 1"),
        (float("-inf"), "invalid number at line 1 column 2"),
        ([1, float("inf")], "expected value at line 1 column 5"),
        (10**400, "number out of range at line 1 column 401"),
        ("\ud800", "unexpected end of hex escape at line 1 column 8"),
        ("\udc00", "lone leading surrogate in hex escape at line 1 column 7"),
        ("a\ud800\u0041", "unexpected end of hex escape at line 1 column 9"),
        (nested(128), "recursion limit exceeded at line 1 column 128"),
    ],
)
def test_values_the_parser_rejects(value, error):
    with pytest.raises(ValueError) as info:
        q.partitions(["fine", value])
    assert type(info.value) is ValueError
    assert str(info.value) == f"invalid partition value: {error}"


def test_encoder_errors_and_non_text_results(monkeypatch):
    with pytest.raises(TypeError, match="^Object of type set is not JSON serializable$"):
        q.partitions(["ok", {1, 2}])
    monkeypatch.setattr(json, "dumps", lambda obj: b"1")  # not text: a conversion error
    with pytest.raises(TypeError, match="^'bytes' object cannot be converted to 'PyString'$"):
        q.partitions(["x"])


def test_encoder_calls_in_order_until_a_failure_and_a_list_changed_meanwhile(monkeypatch):
    seen, real, values = [], json.dumps, ["x", "y", "z"]
    failure = LookupError("from the encoder")

    def dumps(obj):
        seen.append(obj)
        if obj == "x":
            values.clear()  # the encoder may change the list being read
        if obj == "raise":
            raise failure
        return real(obj)

    monkeypatch.setattr(json, "dumps", dumps)
    assert repr(q.partitions(values)) == "Partitions(1 values)"
    with pytest.raises(ValueError):
        q.partitions(["a", float("nan"), "never"])
    with pytest.raises(LookupError) as info:
        q.partitions(["b", "raise", "never"])
    assert info.value is failure and info.traceback[-1].name == "dumps"
    # In order; the first failure, a rejected value or the encoder's own, stops the call.
    assert seen[:2] == ["x", "a"] and math.isnan(seen[2]) and seen[3:] == ["b", "raise"]
