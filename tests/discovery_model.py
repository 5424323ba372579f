"""Helpers for the discovery tests: an independent model of the compact JSON writer."""

from __future__ import annotations

import importlib
import sys
from pathlib import Path

VERSION = "{}.{}.{}".format(*sys.version_info[:3])

# The compact writer's rules: names in UTF-8 byte order, only '"', '\\' and controls escaped.

_ESCAPES = {
    '"': '\\"',
    "\\": "\\\\",
    "\b": "\\b",
    "\t": "\\t",
    "\n": "\\n",
    "\f": "\\f",
    "\r": "\\r",
}


def _string(text: str) -> str:
    out = []
    for char in text:
        if char in _ESCAPES:
            out.append(_ESCAPES[char])
        elif ord(char) < 0x20:
            out.append(f"\\u{ord(char):04x}")
        else:
            out.append(char)
    return '"' + "".join(out) + '"'


def compact(value) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, str):
        return _string(value)
    if isinstance(value, list):
        return "[" + ",".join(compact(item) for item in value) + "]"
    assert isinstance(value, dict)
    names = sorted(value, key=lambda name: name.encode("utf-8"))
    return "{" + ",".join(_string(name) + ":" + compact(value[name]) for name in names) + "}"


def write_exact(modules, name: str, text: str) -> Path:
    """Writes a module byte for byte (the fixture's writer dedents and normalises blanks)."""
    path = modules.root / f"{name}.py"
    path.write_text(text, encoding="utf-8")
    modules.names.append(name)
    importlib.invalidate_caches()
    return path
