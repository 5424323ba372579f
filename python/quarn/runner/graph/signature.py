"""What a function accepts by keyword, read from its source text without importing it."""

from __future__ import annotations

import ast
from collections.abc import Mapping
from dataclasses import dataclass, field

from quarn.runner.canonical import canonical_json


@dataclass(frozen=True, slots=True)
class Signature:
    """What a function accepts by keyword, as read from its source text."""

    keyword_names: frozenset[str]
    positional_only: frozenset[str]
    required: tuple[str, ...]
    var_keyword: bool
    # parameter with a default -> that default's canonical JSON when it is a literal scalar
    defaults: Mapping[str, str | None] = field(default_factory=dict)

    def accepts_keyword(self, name: str) -> bool:
        return self.var_keyword or name in self.keyword_names


def parse_signature(source: str, function_name: str) -> Signature | None:
    """Reads the parameters of `function_name` from its source; None when they cannot be known.

    The source of a decorated function includes its decorator lines. A lambda's source is
    the whole line that holds it, so the first lambda in that line is taken.
    """
    try:
        tree = ast.parse(source)
    except (SyntaxError, ValueError):
        return None
    found: ast.FunctionDef | ast.AsyncFunctionDef | ast.Lambda | None = None
    for node in ast.walk(tree):  # breadth first: the outermost definition wins
        if isinstance(node, ast.FunctionDef | ast.AsyncFunctionDef) and node.name == function_name:
            found = node
            break
        if function_name == "<lambda>" and isinstance(node, ast.Lambda):
            found = node
            break
    if found is None:
        return None
    args = found.args
    positional = [a.arg for a in args.posonlyargs] + [a.arg for a in args.args]
    without_default = len(positional) - len(args.defaults)
    required = positional[:without_default]
    required += [a.arg for a, d in zip(args.kwonlyargs, args.kw_defaults, strict=True) if d is None]
    defaulted = list(zip(positional[without_default:], args.defaults, strict=True))
    defaulted += [(a.arg, d) for a, d in zip(args.kwonlyargs, args.kw_defaults, strict=True) if d]
    return Signature(
        keyword_names=frozenset([a.arg for a in args.args] + [a.arg for a in args.kwonlyargs]),
        positional_only=frozenset(a.arg for a in args.posonlyargs),
        required=tuple(required),
        var_keyword=args.kwarg is not None,
        defaults={name: _literal(node) for name, node in defaulted},
    )


def _literal(node: ast.expr) -> str | None:
    """The canonical JSON of a default written as a JSON scalar (`0.8`, `"x"`, `None`,
    `-1`); None for any other expression, whose value only running the code can tell."""
    try:
        value = ast.literal_eval(node)
    except (ValueError, TypeError, SyntaxError, MemoryError, RecursionError):
        return None
    if value is None or isinstance(value, bool | int | float | str):
        try:
            return canonical_json(value)
        except ValueError:
            return None
    return None
