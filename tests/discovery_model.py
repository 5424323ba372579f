"""Helpers for the discovery tests: an independent model of the compact JSON writer."""

from __future__ import annotations

import importlib
import json
import sys
from pathlib import Path

VERSION = "{}.{}.{}".format(*sys.version_info[:3])

# The compact writer's rules: names in UTF-8 byte order; only '"', '\\' and the controls
# escaped, with the short forms where JSON has one; every other character written as itself.
_ESCAPES = {code: f"\\u{code:04x}" for code in range(0x20)}
_ESCAPES |= {ord(c): "\\" + e for c, e in zip('"\\\b\t\n\f\r', '"\\btnfr', strict=True)}


def compact(value) -> str:
    if isinstance(value, str):
        return '"' + value.translate(_ESCAPES) + '"'
    if isinstance(value, list):
        return "[" + ",".join(map(compact, value)) + "]"
    if isinstance(value, dict):
        names = sorted(value, key=lambda name: name.encode("utf-8"))
        return "{" + ",".join(f"{compact(name)}:{compact(value[name])}" for name in names) + "}"
    return json.dumps(value)  # null, true, false or an integer


def write_exact(modules, name: str, text: str) -> Path:
    """Writes a module byte for byte (the fixture's writer dedents and normalises blanks)."""
    path = modules.root / f"{name}.py"
    path.write_text(text, encoding="utf-8")
    modules.names.append(name)
    importlib.invalidate_caches()
    return path
