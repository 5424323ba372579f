"""Parsing a source into its units (see `units`): what the module body runs beyond binding
names, each function, method and class body, and the module-level bindings."""

from __future__ import annotations

import ast
import copy
import hashlib
from collections.abc import Iterator

from quarn.runner.plan.code_version import _bound_by, _dump, _is_asset_decorator, _strip_docstrings
from quarn.runner.trace.units import MODULE, Units

_TAG = "quarn unit 1"
_COMPOUND = (
    ast.If, ast.For, ast.AsyncFor, ast.While, ast.With, ast.AsyncWith, ast.Try, ast.TryStar
)  # fmt: skip
_DEFS = (ast.FunctionDef, ast.AsyncFunctionDef)


def parse_units(source: bytes, path: str = "<source>") -> Units | None:
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
