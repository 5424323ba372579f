"""The units of project code a job's record names, and the digest of each.

A unit is what a code object that ran belongs to, named so that the name survives edits
elsewhere in its file: a function or method (`scale`, `Model.fit`: everything defined inside
it is part of it), a class body (`Model`: its header, class attributes and the decorators of
its methods), a module-level name whose statement holds a lambda or generator (`key`), and
the module body (`<module>`: what a module does when imported beyond binding names, such as
calls, registrations and decorators other than `@asset`).

Each unit's digest is the SHA-256 of the `ast.dump` of its syntax trees without docstrings,
as the static code version hashes code, so comments, docstrings and formatting never change
it. Plain bindings (`X = ...`, imports) are left out of the module body: the static version
counts each where it is read, and a module body that counted them would make every job of a
module stale at any edit of any constant in it.
"""

from __future__ import annotations

from typing import Any

MODULE = "<module>"


class Units:
    """The units of one source text: unit -> digest, and the line ranges of module-level
    binding statements (a lambda or generator expression there belongs to that binding)."""

    __slots__ = ("digests", "lines")

    def __init__(self, digests: dict[str, str], lines: tuple[tuple[int, int, str], ...] = ()):
        self.digests = digests
        self.lines = lines

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Units) and (self.digests, self.lines) == (
            other.digests,
            other.lines,
        )

    __hash__ = None  # type: ignore[assignment]  # compared by content, never a key

    def unit_of(self, qualname: str, first_line: int) -> str:
        """The unit a code object of this source belongs to, from its `co_qualname` and
        `co_firstlineno`."""
        if qualname == MODULE:
            return MODULE
        parts = qualname.split(".")
        if "<locals>" in parts:
            parts = parts[: parts.index("<locals>")]
        while parts and parts[-1].startswith("<"):  # a lambda or generator in a class body
            parts.pop()
        if parts:
            return ".".join(parts)
        for first, last, unit in self.lines:
            if first <= first_line <= last:
                return unit
        return MODULE

    def to_json(self) -> dict[str, Any]:
        return {"digests": self.digests, "lines": [list(entry) for entry in self.lines]}

    @classmethod
    def from_json(cls, data: Any) -> Units | None:
        """The units of `to_json`; None when `data` is not their form."""
        if not isinstance(data, dict):
            return None
        digests, lines = data.get("digests"), data.get("lines")
        if not isinstance(digests, dict) or not isinstance(lines, list):
            return None
        if not all(isinstance(k, str) and isinstance(v, str) for k, v in digests.items()):
            return None
        entries: list[tuple[int, int, str]] = []
        for entry in lines:
            if not (
                isinstance(entry, list)
                and len(entry) == 3
                and type(entry[0]) is int
                and type(entry[1]) is int
                and isinstance(entry[2], str)
            ):
                return None
            entries.append((entry[0], entry[1], entry[2]))
        return cls(digests, tuple(entries))


def units(source: bytes, path: str = "<source>") -> Units | None:
    """The units of a module's source; None when it does not parse. (The parser is loaded
    only when a source is parsed: most jobs find their tables ready.)"""
    from quarn.runner.trace.parse import parse_units

    return parse_units(source, path)
