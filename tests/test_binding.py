"""Argument binding and conversion: the exact messages and which error wins."""

import pytest

import quarn._quarn as q

MA = "materialize_asset()"
SURPLUS = f"{MA} takes from 3 to 4 positional arguments but 5 were given"
# Short names keep each case of the table on one line.
parts, mat, insp = q.partitions, q.materialize_asset, q.inspect_modules


def converted(argument: str, type_name: str, expected: str) -> str:
    return f"argument '{argument}': '{type_name}' object cannot be converted to '{expected}'"


class Outer:
    class Inner:
        pass


class Items:
    """A sequence whose length fails (it is only a hint) and whose item 1 raises `error`."""

    def __init__(self, error: BaseException) -> None:
        self.error = error

    def __len__(self):
        raise RuntimeError("length is only a hint")

    def __getitem__(self, index):
        if index == 1:
            raise self.error
        return "a"


@pytest.mark.parametrize(
    ("call", "expected"),
    [
        (lambda: q.asset(len), "asset() takes 0 positional arguments but 1 was given"),
        (lambda: q.asset(nam="x"), "asset() got an unexpected keyword argument 'nam'"),
        (lambda: parts(), "partitions() missing 1 required positional argument: 'values'"),
        (lambda: parts([], []), "partitions() takes 1 positional arguments but 2 were given"),
        (lambda: parts([], values=[]), "partitions() got multiple values for argument 'values'"),
        # A keyword that is not valid text names no parameter.
        (
            lambda: parts(values=[], **{"\udcff": 1}),
            "partitions() got an unexpected keyword argument '?'",
        ),
        (
            lambda: mat("m"),
            f"{MA} missing 2 required positional arguments: 'function_name' and 'output_dir'",
        ),
        (
            lambda: mat(),
            f"{MA} missing 3 required positional arguments: "
            "'module_name', 'function_name', and 'output_dir'",
        ),
        # The surplus check comes before keywords and conversion (1 is not a str either).
        (lambda: mat(1, 2, 3, 4, 5), SURPLUS),
        (lambda: mat(1, 2, 3, 4, 5, module_name="m"), SURPLUS),
        (
            lambda: mat("m", "f", "o", module_name="m"),
            f"{MA} got multiple values for argument 'module_name'",
        ),
        (lambda: mat(None, "f", "out"), converted("module_name", "NoneType", "PyString")),
        (lambda: mat("m", "f", b"out"), converted("output_dir", "bytes", "PyString")),
        (lambda: mat("m", "f", "o", 3), converted("input_kwargs_json", "int", "PyString")),
        (lambda: parts(("a", "b")), converted("values", "tuple", "PyList")),
        (lambda: parts(Outer.Inner()), converted("values", "Outer.Inner", "PyList")),
        (lambda: insp("pkg"), "argument 'modules': Can't extract `str` to `Vec`"),
        (lambda: insp(5), converted("modules", "int", "Sequence")),
        # The whole list is converted before the first import: no skip line for the name.
        (lambda: insp(["qb_missing", 1]), converted("modules", "int", "PyString")),
        # Both bad: the first in parameter order is reported, not the first given, and before
        # the dicts are looked at.
        (lambda: q.asset(serializer=2, name=1, inputs=[]), converted("name", "int", "PyString")),
        (lambda: q.asset(serializer=b"x", inputs=[]), converted("serializer", "bytes", "PyString")),
    ],
)
def test_binding_and_conversion_messages(call, expected, capfd):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == expected
    assert capfd.readouterr().err == ""


def test_item_errors_propagate_and_a_type_error_is_prefixed_keeping_its_cause():
    for error in (LookupError("no more"), type("SubTypeError", (TypeError,), {})("sub")):
        with pytest.raises(type(error)) as info:
            q.inspect_modules(Items(error))
        assert info.value is error
    cause, error = KeyError("why"), TypeError("item failed")
    error.__cause__ = cause
    with pytest.raises(TypeError) as info:
        q.inspect_modules(Items(error))
    assert info.value is not error and str(info.value) == "argument 'modules': item failed"
    assert info.value.__cause__ is cause


class Claims:
    """A sequence that claims a length no memory could hold; it holds one name."""

    def __init__(self, length: int) -> None:
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, index):
        if index > 0:
            raise IndexError(index)
        return "quarn_no_module_a"


def test_an_impossible_length_is_the_hosts_memory_error():
    # Beyond any container's maximum size, so the outcome does not depend on how much memory
    # the machine would promise (a length such as 2**33 fails the same way where it cannot).
    with pytest.raises(MemoryError):
        list(Claims(2**62))  # what the host itself raises for such a length
    with pytest.raises(MemoryError):
        q.inspect_modules(Claims(2**62))


def test_text_without_utf8_form_fails_with_the_hosts_error_unprefixed():
    with pytest.raises(UnicodeEncodeError, match="^'utf-8' codec can't encode"):
        q.materialize_asset("\ud800", "f", "out")
