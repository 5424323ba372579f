"""partitions(values): which keys are accepted, how they are normalised, and the marker's repr."""

import json

import pytest

import quarn._quarn as q


@pytest.mark.parametrize(
    ("values", "count"),
    [
        ([], 0),
        (["a", "a"], 2),
        (["AAPL", "MSFT", "GOOG"], 3),
        ([1, "x", None, True, 2.5, [1, 2], {"k": 1}], 7),
        ([{1: "a"}], 1),
        ([(1, 2)], 1),
        ([2**64 - 1, -(2**63), 2**64, 1e308, 5e-324, -0.0], 6),
    ],
)
def test_accepted_values_and_repr(values, count):
    marker = q.partitions(values)
    assert type(marker) is q.Partitions
    assert repr(marker) == f"Partitions({count} values)"


def test_keyword_form_matches_positional_form():
    assert repr(q.partitions(values=["a"])) == repr(q.partitions(["a"])) == "Partitions(1 values)"


def test_list_subclass_storage_is_read_not_its_overridden_iteration():
    class Sneaky(list):
        def __iter__(self):
            raise AssertionError("iteration must not be consulted")

        def __getitem__(self, index):
            raise AssertionError("item access must not be consulted")

    assert repr(q.partitions(Sneaky(["a", "b", "c"]))) == "Partitions(3 values)"


@pytest.mark.parametrize(
    ("value", "error"),
    [
        (float("nan"), "expected value at line 1 column 1"),
        (float("inf"), "expected value at line 1 column 1"),
        (float("-inf"), "invalid number at line 1 column 2"),
        ([1, float("inf")], "expected value at line 1 column 5"),
        (10**400, "number out of range at line 1 column 401"),
        ("\ud800", "unexpected end of hex escape at line 1 column 8"),
        ("\udc00", "lone leading surrogate in hex escape at line 1 column 7"),
        ("a\ud800\u0041", "unexpected end of hex escape at line 1 column 9"),
    ],
)
def test_values_the_parser_rejects(value, error):
    with pytest.raises(ValueError) as excinfo:
        q.partitions(["fine", value])
    assert type(excinfo.value) is ValueError
    assert str(excinfo.value) == f"invalid partition value: {error}"


@pytest.mark.parametrize(("depth", "ok"), [(127, True), (128, False)])
def test_nesting_limit(depth, ok):
    value: list = []
    for _ in range(depth - 1):
        value = [value]
    if ok:
        assert repr(q.partitions([value])) == "Partitions(1 values)"
    else:
        with pytest.raises(ValueError) as excinfo:
            q.partitions([value])
        assert str(excinfo.value) == (
            f"invalid partition value: recursion limit exceeded at line 1 column {depth}"
        )


def test_encoder_errors_propagate_unchanged():
    with pytest.raises(TypeError) as excinfo:
        q.partitions(["ok", {1, 2}])
    assert str(excinfo.value) == "Object of type set is not JSON serializable"


def test_exception_from_python_code_is_the_same_object_with_its_traceback(monkeypatch):
    failure = ValueError("from the encoder")

    def dumps(obj):
        raise failure

    monkeypatch.setattr(json, "dumps", dumps)
    with pytest.raises(ValueError) as excinfo:
        q.partitions(["x"])
    assert excinfo.value is failure
    assert excinfo.traceback[-1].name == "dumps"


def test_non_text_from_the_encoder_is_a_conversion_error(monkeypatch):
    monkeypatch.setattr(json, "dumps", lambda obj: b"1")
    with pytest.raises(TypeError) as excinfo:
        q.partitions(["x"])
    assert str(excinfo.value) == "'bytes' object cannot be converted to 'PyString'"


def test_elements_are_encoded_in_order_and_the_first_failure_stops(monkeypatch):
    seen = []
    real = json.dumps

    def dumps(obj):
        seen.append(obj)
        return real(obj)

    monkeypatch.setattr(json, "dumps", dumps)
    with pytest.raises(ValueError):
        q.partitions(["a", float("nan"), "never"])
    assert seen[0] == "a" and seen[1] != seen[1] and len(seen) == 2


def test_list_mutated_by_the_encoder_is_read_safely(monkeypatch):
    values = ["a", "b", "c"]
    real = json.dumps

    def dumps(obj):
        values.clear()
        return real(obj)

    monkeypatch.setattr(json, "dumps", dumps)
    assert repr(q.partitions(values)) == "Partitions(1 values)"
