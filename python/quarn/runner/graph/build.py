"""Builds the asset graph from an inspection document and checks it before anything runs."""

from __future__ import annotations

import ast
import difflib
import re
from collections.abc import Callable
from typing import Any

from quarn.runner.canonical import canonical_json, short_hash
from quarn.runner.contract import (
    MANIFEST_FILE,
    REPORT_FILE,
    STATE_DIR,
    module_reference,
    reference,
)
from quarn.runner.graph.checks import (
    check_mappings,
    check_names,
    check_parameters,
    check_shared_keys,
    read_declaration,
)
from quarn.runner.graph.lines import Lines
from quarn.runner.graph.mapping import KeyMapping, split
from quarn.runner.graph.model import Asset, Diagnostic, Graph, Report
from quarn.runner.graph.order import order_assets
from quarn.runner.graph.serializer_check import SerializerProblem, check_serializers

# Names an asset directory may not take: the manifest and our hidden scratch directories.
_RESERVED_DIR_NAMES = frozenset({"", ".", "..", MANIFEST_FILE, REPORT_FILE, STATE_DIR})
_UNSAFE = re.compile(r"[^A-Za-z0-9._-]")


def _top_level_names(source: str) -> frozenset[str]:
    """The names a module binds at top level (defs, classes, assignments, imports)."""
    try:
        tree = ast.parse(source)
    except (SyntaxError, ValueError):
        return frozenset()
    names: set[str] = set()
    for node in tree.body:
        if isinstance(node, ast.FunctionDef | ast.AsyncFunctionDef | ast.ClassDef):
            names.add(node.name)
        elif isinstance(node, ast.Import | ast.ImportFrom):
            for alias in node.names:
                names.add((alias.asname or alias.name).split(".")[0])
        elif isinstance(node, ast.Assign | ast.AnnAssign | ast.AugAssign):
            targets = node.targets if isinstance(node, ast.Assign) else [node.target]
            for target in targets:
                for sub in ast.walk(target):
                    if isinstance(sub, ast.Name):
                        names.add(sub.id)
    return frozenset(names)


def _str(entry: dict[str, Any], key: str) -> str:
    value = entry.get(key)
    return value if isinstance(value, str) else ""


def _dedupe(entries: list[dict[str, Any]]) -> tuple[list[Asset], list[tuple[Asset, str]]]:
    """One asset per reference. The worker imports the module that binds the function's name.

    An asset imported into another module, or bound under two names, is listed once per
    binding; any of those modules can run it, but only one that binds the function's own
    name lets the worker find it by that name, so that module is preferred.
    """
    groups: dict[str, list[dict[str, Any]]] = {}
    for entry in entries:
        ref = reference(_str(entry, "file_path"), _str(entry, "function_name"))
        groups.setdefault(ref, []).append(entry)
    bound: dict[str, frozenset[str]] = {}
    assets: list[Asset] = []
    conflicts: list[tuple[Asset, str]] = []
    for ref, group in groups.items():
        function_name = _str(group[0], "function_name")
        chosen = group[0]
        for entry in group:
            module = _str(entry, "module_path")
            if module not in bound:
                bound[module] = _top_level_names(_str(entry, "module_source"))
            if function_name in bound[module]:
                chosen = entry
                break
        asset = Asset(
            index=len(assets),
            ref=ref,
            module=_str(chosen, "module_path"),
            function_name=function_name,
            file_path=_str(chosen, "file_path"),
            module_source=_str(chosen, "module_source"),
            function_source=_str(chosen, "function_source"),
            metadata=chosen.get("decorator_metadata"),
            modules=sorted({_str(e, "module_path") for e in group}),
        )
        assets.append(asset)
        metadata_texts = {canonical_json(e.get("decorator_metadata")) for e in group}
        if len(metadata_texts) > 1:
            conflicts.append(
                (
                    asset,
                    "function is declared as an asset more than once, with different "
                    "declarations; an input reference cannot tell them apart",
                )
            )
    return assets, conflicts


def _dir_names(assets: list[Asset], lines: Lines, report: Report) -> None:
    """Gives each asset a folder named from the asset alone: its label when that is a safe
    file name, else its safe form and a short hash of the label.

    The name never depends on the other assets of the run, nor on the module the function
    lives in, so an asset keeps its outputs when it is run with other modules or moved to
    another module under the same name. Two assets whose folders would be the same (on a
    file system that ignores case, too) are a graph problem: one needs another `name=`.
    """
    first: dict[str, Asset] = {}
    for asset in assets:
        slug = _UNSAFE.sub("_", asset.label)[:80]
        lossy = slug != asset.label or slug in _RESERVED_DIR_NAMES or slug.startswith(".")
        asset.dir_name = (
            f"{slug.lstrip('.') or '_'}-{short_hash(asset.label, 8)}" if lossy else slug
        )
        asset.display = asset.label
        folded = asset.dir_name.casefold()
        other = first.setdefault(folded, asset)
        same_declared = (
            asset.declared_name is not None and asset.declared_name == other.declared_name
        )
        if other is not asset and not same_declared:  # two declared names: reported already
            where = f"{other.file_path or other.module}:{lines.line_of(other)}"
            report(
                asset,
                f"its output folder '{asset.dir_name}' is also that of asset "
                f"'{other.label}' ({where}); give one of them another name with name=",
            )


def _resolver(assets: list[Asset]) -> Callable[[str], Asset | str]:
    """Finds the asset an `inputs` string names: `/abs/file.py:function` (what an asset
    object passed as an input becomes), `package.module:function` for any module that binds
    it, or the asset's name when no other asset has it. Returns the asset, or the message
    for an unknown name."""
    by_text: dict[str, list[Asset]] = {}
    for asset in assets:
        forms = {
            asset.ref,
            asset.label,
            *(module_reference(m, asset.function_name) for m in asset.modules),
        }
        for form in forms:
            by_text.setdefault(form, []).append(asset)

    def resolve(text: str) -> Asset | str:
        found = by_text.get(text, [])
        if len(found) == 1:
            return found[0]
        if found:
            names = ", ".join(sorted(f"'{a.ref}'" for a in found))
            return f"'{text}' names several assets ({names}); use the file:function form"
        close = difflib.get_close_matches(text, list(by_text), n=1, cutoff=0.6)
        hint = f"; did you mean '{close[0]}'?" if close else ""
        return (
            f"'{text}', which is not a discovered asset (an input names an asset as "
            f"'/path/file.py:function', 'package.module:function' or by its name){hint}"
        )

    return resolve


def _resolve_input(
    resolve: Callable[[str], Asset | str], text: str
) -> tuple[Asset | str, KeyMapping | None]:
    """The asset an input names and the keys it takes of it (None: the usual ones). A text
    that names an asset as it is never reads as a mapping."""
    found = resolve(text)
    mapped = split(text)
    if isinstance(found, Asset) or mapped is None:
        return found, None
    upstream = resolve(mapped[0])
    return upstream, mapped[1] if isinstance(upstream, Asset) else None


def build_graph(
    document: Any,
    serializer_problem: SerializerProblem | None = None,
    serializer: str | None = None,
) -> Graph:
    """Deduplicates the document's entries, resolves inputs and runs every check; the
    declared serializers only when `serializer_problem` says what is wrong with one.
    `serializer` is the project's default for the assets that declare none."""
    entries = document.get("assets") if isinstance(document, dict) else None
    if not isinstance(entries, list):
        raise ValueError("the inspection document has no 'assets' array")
    entries = [e for e in entries if isinstance(e, dict)]
    assets, conflicts = _dedupe(entries)
    by_ref = {a.ref: a for a in assets}
    lines = Lines()
    # (asset index, sequence, asset, message, the parameter whose value would settle it)
    found: list[tuple[int, int, Asset, str, str]] = []

    def report(asset: Asset, message: str, needs: str = "") -> None:
        found.append((asset.index, len(found), asset, message, needs))

    for asset in assets:
        name = asset.declared_name
        asset.label = name if name is not None else asset.function_name
        asset.default_serializer = serializer
    for asset, message in conflicts:
        report(asset, message)
    for asset in assets:
        read_declaration(asset, report)
    check_names(assets, lines, report)
    _dir_names(assets, lines, report)
    resolve = _resolver(assets)
    for asset in assets:
        check_parameters(asset, report)
        for param, ref in sorted(asset.inputs.items()):
            upstream, mapping = _resolve_input(resolve, ref)
            if isinstance(upstream, str):
                report(asset, f"input '{param}' refers to {upstream}")
                continue
            asset.upstream[param] = upstream
            if mapping is not None:
                asset.mappings[param] = mapping
            if asset not in upstream.downstream:
                upstream.downstream.append(asset)
    for asset in assets:
        check_shared_keys(asset, report)
        check_mappings(asset, report)
    if serializer_problem is not None:
        check_serializers(assets, serializer_problem, report, serializer)
    order, cycles = order_assets(assets)
    for asset, path in cycles:
        text = " -> ".join(a.label for a in path)
        edges = zip(path, path[1:], strict=False)
        if any(down.upstream.get(p) is up for up, down in edges for p in down.mappings):
            text += " (through a key mapping, a key would need itself)"
        report(asset, f"dependency cycle: {text}")
    found.sort(key=lambda item: (item[0], item[1]))
    diagnostics = [
        Diagnostic(a.file_path or a.module, lines.line_of(a), a.label, message, needs)
        for _, _, a, message, needs in found
    ]
    diagnostics.sort(key=lambda d: (d.path, d.line))  # as a compiler lists them; stable
    return Graph(assets=assets, by_ref=by_ref, order=order, diagnostics=diagnostics)
