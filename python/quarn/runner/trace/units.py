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

import ast
import copy
import hashlib
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

from quarn.runner.plan.code_version import _bound_by, _dump, _is_asset_decorator, _strip_docstrings

MODULE = "<module>"
_TAG = "quarn unit 1"
_COMPOUND = (
    ast.If, ast.For, ast.AsyncFor, ast.While, ast.With, ast.AsyncWith, ast.Try, ast.TryStar
)  # fmt: skip
_DEFS = (ast.FunctionDef, ast.AsyncFunctionDef)


@dataclass(frozen=True, slots=True)
class Units:
    """The units of one source text: unit -> digest, and the line ranges of module-level
    binding statements (a lambda or generator expression there belongs to that binding)."""

    digests: dict[str, str]
    lines: tuple[tuple[int, int, str], ...] = ()

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
    """The units of a module's source; None when it does not parse."""
    try:
        tree = ast.parse(source, path)
    except (SyntaxError, ValueError):
        return None
    _strip_docstrings(tree)
    texts: dict[str, list[str]] = {MODULE: []}
    lines: list[tuple[int, int, str]] = []
    texts[MODULE] = list(_module_texts(tree.body, texts, lines))
    digests = {unit: _digest(parts) for unit, parts in texts.items()}
    return Units(digests, tuple(lines))


def _digest(texts: list[str]) -> str:
    return hashlib.sha256("\n".join([_TAG, *texts]).encode("utf-8")).hexdigest()


def _module_texts(
    body: list[ast.stmt], texts: dict[str, list[str]], lines: list[tuple[int, int, str]]
) -> Iterator[str]:
    """What the module body runs besides binding names, as texts; fills in the units of the
    definitions and bindings met on the way (inside module-level compound statements too)."""
    for stmt in body:
        if isinstance(stmt, _DEFS):
            node = copy.copy(stmt)
            node.decorator_list = [d for d in stmt.decorator_list if not _is_asset_decorator(d)]
            texts.setdefault(stmt.name, []).append(_dump(node))
            if node.decorator_list:  # evaluated, and applied, by the module body
                yield f"@{stmt.name} " + " ".join(_dump(d) for d in node.decorator_list)
        elif isinstance(stmt, ast.ClassDef):
            _class(stmt, stmt.name, texts)
        elif _binds_only(stmt):
            names = list(_bound_by(stmt))
            for name in names:
                texts.setdefault(name, []).append(_dump(stmt))
            if names:
                lines.append((stmt.lineno, stmt.end_lineno or stmt.lineno, names[0]))
        elif isinstance(stmt, _COMPOUND):
            yield _dump(_hollowed(stmt, texts, lines))
        elif isinstance(stmt, ast.Match):
            matched = copy.copy(stmt)
            matched.cases = []
            for case in stmt.cases:
                inner = copy.copy(case)
                inner.body = list(_kept(case.body, texts, lines))
                matched.cases.append(inner)
            yield _dump(matched)
        else:
            yield _dump(stmt)


def _hollowed(
    stmt: ast.stmt, texts: dict[str, list[str]], lines: list[tuple[int, int, str]]
) -> ast.stmt:
    """A compound statement whose bodies keep only what the module body itself runs."""
    node = copy.copy(stmt)
    for field in ("body", "orelse", "finalbody"):
        inner = getattr(stmt, field, None)
        if inner:
            setattr(node, field, list(_kept(inner, texts, lines)))
    if isinstance(stmt, ast.Try | ast.TryStar):
        handlers = []
        for handler in stmt.handlers:
            copied = copy.copy(handler)
            copied.body = list(_kept(handler.body, texts, lines))
            handlers.append(copied)
        node.handlers = handlers  # type: ignore[attr-defined]
    return node


def _kept(
    body: list[ast.stmt], texts: dict[str, list[str]], lines: list[tuple[int, int, str]]
) -> Iterator[ast.stmt]:
    texts_here = list(_module_texts(body, texts, lines))
    if not texts_here:
        yield ast.Pass()
        return
    for text in texts_here:  # as expression statements: the dump of each is what counts
        yield ast.Expr(ast.Constant(text))


def _class(node: ast.ClassDef, name: str, texts: dict[str, list[str]]) -> None:
    """The class body's unit (header, class-level statements, method decorators) and one
    unit per method and nested class."""
    header = copy.copy(node)
    header.body = []
    parts = [_dump(header)]
    for stmt in node.body:
        if isinstance(stmt, _DEFS):
            texts.setdefault(f"{name}.{stmt.name}", []).append(_dump(stmt))
            if stmt.decorator_list:
                parts.append(f"@{stmt.name} " + " ".join(_dump(d) for d in stmt.decorator_list))
        elif isinstance(stmt, ast.ClassDef):
            _class(stmt, f"{name}.{stmt.name}", texts)
            inner = copy.copy(stmt)
            inner.body = []
            parts.append(_dump(inner))
        else:
            parts.append(_dump(stmt))
    texts.setdefault(name, []).extend(parts)


def _binds_only(stmt: ast.stmt) -> bool:
    """A statement that only binds names: the static version counts it where it is read."""
    if isinstance(stmt, ast.Import | ast.ImportFrom | ast.TypeAlias):
        return True
    if isinstance(stmt, ast.Assign):
        return all(_names_only(t) for t in stmt.targets)
    if isinstance(stmt, ast.AnnAssign | ast.AugAssign):
        return _names_only(stmt.target)
    return False


def _names_only(target: ast.expr) -> bool:
    if isinstance(target, ast.Name):
        return True
    if isinstance(target, ast.Tuple | ast.List):
        return all(_names_only(t) for t in target.elts)
    if isinstance(target, ast.Starred):
        return _names_only(target.value)
    return False
