"""Shared test material: an independent model of the compact JSON writer, and test modules."""

from __future__ import annotations

import importlib
import json
import math
import sys
from decimal import Decimal
from pathlib import Path

VERSION = "{}.{}.{}".format(*sys.version_info[:3])

# The compact writer's rules: names in UTF-8 byte order; only '"', '\\' and the controls
# escaped, with the short forms where JSON has one; every other character written as itself.
_ESCAPES = {code: f"\\u{code:04x}" for code in range(0x20)}
_ESCAPES |= {ord(c): "\\" + e for c, e in zip('"\\\b\t\n\f\r', '"\\btnfr', strict=True)}


def compact_float(x: float) -> str:
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


def compact(value) -> str:
    if isinstance(value, str):
        return '"' + value.translate(_ESCAPES) + '"'
    if isinstance(value, list):
        return "[" + ",".join(map(compact, value)) + "]"
    if isinstance(value, dict):
        names = sorted(value, key=lambda name: name.encode("utf-8"))
        return "{" + ",".join(f"{compact(name)}:{compact(value[name])}" for name in names) + "}"
    if isinstance(value, float):
        return compact_float(value)
    return json.dumps(value)  # null, true, false or an integer


# A small pipeline for the leak and thread tests.
PIPELINE = """
from quarn import asset, partitions

@asset()
def raw():
    return [1, 2, 3]

@asset(inputs={"data": raw}, partitions={"k": partitions(["a", "b"])})
def processed(data, k="a"):
    '''Doubles the data.'''
    return {"doubled": [x * 2 for x in data], "k": k, "text": "caf\u00e9"}

@asset()
def fails():
    raise ValueError("no data")
"""

# An asset whose metadata fails: a fresh exception each time, the last one kept as ERROR.
FAILING_METADATA = """
class Failing:
    __quarn_kind__ = property(lambda self: "asset")  # the instance is an asset, not the class
    @property
    def __quarn_metadata__(self):
        global ERROR
        ERROR = LookupError("metadata unavailable")
        raise ERROR
failing = Failing()
"""


def changed_while_read() -> None:
    """An internal failure (a PanicException): the inputs dict grows while it is read."""
    from quarn import asset

    declared: dict = {}
    kind = type("Growing", (str,), {"__quarn_kind__": property(lambda _: declared.update(b="x"))})
    declared["a"] = kind("r")
    asset(inputs=declared)


def write_exact(modules, name: str, text: str) -> Path:
    """Writes a module byte for byte (the fixture's writer dedents and normalises blanks)."""
    path = modules.root / f"{name}.py"
    path.write_text(text, encoding="utf-8")
    modules.names.append(name)
    importlib.invalidate_caches()
    return path
