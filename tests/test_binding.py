"""Argument binding and conversion: the exact messages and which error wins."""

import pytest

import quarn._quarn as q


def message(call):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert type(excinfo.value) is TypeError
    return str(excinfo.value)


@pytest.mark.parametrize(
    ("call", "expected"),
    [
        (lambda: q.asset(lambda: 1), "asset() takes 0 positional arguments but 1 was given"),
        (lambda: q.asset(nam="x"), "asset() got an unexpected keyword argument 'nam'"),
        (
            lambda: q.asset(name="a", name2="b"),
            "asset() got an unexpected keyword argument 'name2'",
        ),
        (lambda: q.partitions(), "partitions() missing 1 required positional argument: 'values'"),
        (
            lambda: q.partitions([], []),
            "partitions() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda: q.partitions([], values=[]),
            "partitions() got multiple values for argument 'values'",
        ),
        (lambda: q.partitions(x=1), "partitions() got an unexpected keyword argument 'x'"),
        (
            lambda: q.materialize_asset("m"),
            "materialize_asset() missing 2 required positional arguments: "
            "'function_name' and 'output_dir'",
        ),
        (
            lambda: q.materialize_asset(),
            "materialize_asset() missing 3 required positional arguments: "
            "'module_name', 'function_name', and 'output_dir'",
        ),
        (
            lambda: q.materialize_asset(function_name="f"),
            "materialize_asset() missing 2 required positional arguments: "
            "'module_name' and 'output_dir'",
        ),
        (
            lambda: q.materialize_asset(1, 2, 3, 4, 5),
            "materialize_asset() takes from 3 to 4 positional arguments but 5 were given",
        ),
        (
            lambda: q.materialize_asset(1, 2, 3, 4, 5, module_name="m"),
            "materialize_asset() takes from 3 to 4 positional arguments but 5 were given",
        ),
        (
            lambda: q.materialize_asset("m", "f", "o", module_name="m"),
            "materialize_asset() got multiple values for argument 'module_name'",
        ),
        (
            lambda: q.inspect_modules([], [], []),
            "inspect_modules() takes 1 positional arguments but 3 were given",
        ),
        (
            lambda: q.partitions(values=[], **{"\udcff": 1}),
            "partitions() got an unexpected keyword argument '?'",
        ),
    ],
)
def test_binding_messages(call, expected):
    assert message(call) == expected


@pytest.mark.parametrize(
    ("call", "expected"),
    [
        (
            lambda: q.materialize_asset(None, "f", "out"),
            "argument 'module_name': 'NoneType' object cannot be converted to 'PyString'",
        ),
        (
            lambda: q.materialize_asset("m", "f", b"out"),
            "argument 'output_dir': 'bytes' object cannot be converted to 'PyString'",
        ),
        (
            lambda: q.materialize_asset("m", "f", "o", 3),
            "argument 'input_kwargs_json': 'int' object cannot be converted to 'PyString'",
        ),
        (
            lambda: q.partitions(("a", "b")),
            "argument 'values': 'tuple' object cannot be converted to 'PyList'",
        ),
        (
            lambda: q.partitions(None),
            "argument 'values': 'NoneType' object cannot be converted to 'PyList'",
        ),
        (lambda: q.inspect_modules("pkg"), "argument 'modules': Can't extract `str` to `Vec`"),
        (
            lambda: q.inspect_modules(5),
            "argument 'modules': 'int' object cannot be converted to 'Sequence'",
        ),
        (
            lambda: q.inspect_modules({"a"}),
            "argument 'modules': 'set' object cannot be converted to 'Sequence'",
        ),
        (
            lambda: q.inspect_modules(["a", 1]),
            "argument 'modules': 'int' object cannot be converted to 'PyString'",
        ),
        (
            lambda: q.inspect_modules(b"ab"),
            "argument 'modules': 'int' object cannot be converted to 'PyString'",
        ),
        # Both bad: only the first parameter in order is reported.
        (
            lambda: q.asset(serializer=2, name=1),
            "argument 'name': 'int' object cannot be converted to 'PyString'",
        ),
        (
            lambda: q.materialize_asset(1, 2, 3),
            "argument 'module_name': 'int' object cannot be converted to 'PyString'",
        ),
    ],
)
def test_conversion_messages(call, expected):
    assert message(call) == expected


def test_binding_error_wins_over_conversion_error():
    assert message(lambda: q.materialize_asset(None, 2, 3, 4, 5)).startswith(
        "materialize_asset() takes from 3 to 4"
    )


def test_type_name_is_the_qualified_name():
    class Outer:
        class Inner:
            pass

    assert message(lambda: q.partitions(Outer.Inner())) == (
        "argument 'values': 'test_type_name_is_the_qualified_name.<locals>.Outer.Inner' "
        "object cannot be converted to 'PyList'"
    )


def test_subclasses_of_str_and_list_are_accepted():
    class Text(str):
        pass

    class Items(list):
        pass

    assert repr(q.partitions(Items(["a", "b"]))) == "Partitions(2 values)"
    assert q.inspect_modules((Text("quarn_no_module_a"),)) == '{"assets":[]}'


def test_lone_surrogate_text_fails_with_the_hosts_encoding_error_unprefixed():
    with pytest.raises(UnicodeEncodeError):
        q.materialize_asset("\ud800", "f", "out")


def test_a_failing_sequence_iteration_propagates_unchanged():
    failure = LookupError("no more")

    class Broken:
        def __len__(self):
            raise RuntimeError("length is only a hint")

        def __getitem__(self, index):
            if index == 1:
                raise failure
            return "a"

    with pytest.raises(LookupError) as excinfo:
        q.inspect_modules(Broken())
    assert excinfo.value is failure


def test_type_error_from_item_conversion_keeps_the_argument_prefix_only_for_exact_type_error():
    class Sequence:
        def __len__(self):
            return 1

        def __getitem__(self, index):
            if index == 0:
                raise SubTypeError("from the sequence")
            raise IndexError

    class SubTypeError(TypeError):
        pass

    with pytest.raises(SubTypeError) as excinfo:
        q.inspect_modules(Sequence())
    assert str(excinfo.value) == "from the sequence"


def test_prefixed_error_keeps_the_cause_of_the_replaced_error():
    cause = KeyError("why")

    class Sequence:
        def __len__(self):
            return 1

        def __getitem__(self, index):
            try:
                raise cause
            except KeyError as error:
                raise TypeError("item failed") from error

    with pytest.raises(TypeError) as excinfo:
        q.inspect_modules(Sequence())
    assert str(excinfo.value) == "argument 'modules': item failed"
    assert excinfo.value.__cause__ is cause
