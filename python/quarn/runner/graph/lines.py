"""Source lines of the functions, for diagnostics that point at a `def`."""

from __future__ import annotations

import ast
from typing import TypeGuard

from quarn.runner.graph.model import Asset


class Lines:
    """Finds the line of each function's `def`, reading each source file once."""

    def __init__(self) -> None:
        self._trees: dict[str, ast.Module | None] = {}

    def line_of(self, asset: Asset) -> int:
        tree = self._tree(asset.file_path, asset.module_source)
        if tree is None:
            return 1
        top = [n for n in tree.body if is_def(n, asset.function_name)]
        if top:
            return top[-1].lineno  # the last top-level definition is the one bound
        for node in ast.walk(tree):
            if is_def(node, asset.function_name):
                return node.lineno
        return 1

    def _tree(self, path: str, fallback: str) -> ast.Module | None:
        if path not in self._trees:
            text = None
            if path:
                try:
                    with open(path, encoding="utf-8") as handle:
                        text = handle.read()
                except (OSError, UnicodeDecodeError):
                    text = None
            if text is None:
                text = fallback
            try:
                self._trees[path] = ast.parse(text)
            except (SyntaxError, ValueError):
                self._trees[path] = None
        return self._trees[path]


def is_def(node: ast.AST, name: str) -> TypeGuard[ast.FunctionDef | ast.AsyncFunctionDef]:
    return isinstance(node, ast.FunctionDef | ast.AsyncFunctionDef) and node.name == name
