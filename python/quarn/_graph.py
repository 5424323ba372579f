"""Builds the asset graph from an inspection document and checks it before anything runs."""

from __future__ import annotations

import ast
import hashlib
import json
import re
from collections import deque
from dataclasses import dataclass, field
from typing import Any, TypeGuard

# Names an asset directory may not take: the manifest and our hidden scratch directories.
_RESERVED_DIR_NAMES = frozenset({"", ".", "..", "manifest.json"})
_UNSAFE = re.compile(r"[^A-Za-z0-9._-]")


def canonical_json(value: Any) -> str:
    """The one text of a JSON value used for identities and hashes: sorted, compact."""
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def short_hash(text: str, length: int = 12) -> str:
    return hashlib.sha256(text.encode("utf-8")).hexdigest()[:length]


@dataclass(frozen=True, slots=True)
class Signature:
    """What a function accepts by keyword, as read from its source text."""

    keyword_names: frozenset[str]
    positional_only: frozenset[str]
    required: tuple[str, ...]
    var_keyword: bool

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
    return Signature(
        keyword_names=frozenset([a.arg for a in args.args] + [a.arg for a in args.kwonlyargs]),
        positional_only=frozenset(a.arg for a in args.posonlyargs),
        required=tuple(required),
        var_keyword=args.kwarg is not None,
    )


@dataclass(frozen=True, slots=True)
class Diagnostic:
    """One problem found in the graph, printed like a compiler's error line."""

    path: str
    line: int
    asset: str
    message: str

    def __str__(self) -> str:
        return f"{self.path}:{self.line}: error: asset '{self.asset}': {self.message}"


@dataclass(eq=False, slots=True)
class Asset:
    """One asset of the graph: a discovered function and its declaration, deduplicated."""

    index: int  # position in discovery order
    ref: str  # file_path + ":" + function_name, what `inputs` values name
    module: str  # module the worker imports
    function_name: str
    file_path: str
    module_source: str
    function_source: str
    metadata: Any  # decorator_metadata exactly as discovered
    label: str = ""  # declared name, else function name: how diagnostics name it
    dir_name: str = ""  # filesystem-safe, unique among the graph's assets
    display: str = ""  # the label, or the directory name when another asset has the same label
    inputs: dict[str, str] = field(default_factory=dict)  # parameter -> reference
    # dimension -> keys in declared order, duplicates dropped, each as (canonical JSON, value)
    dims: dict[str, list[tuple[str, Any]]] = field(default_factory=dict)
    signature: Signature | None = None
    upstream: dict[str, Asset] = field(default_factory=dict)  # parameter -> resolved asset
    downstream: list[Asset] = field(default_factory=list)

    @property
    def declared_name(self) -> str | None:
        if isinstance(self.metadata, dict) and isinstance(self.metadata.get("name"), str):
            return self.metadata["name"]
        return None


@dataclass(slots=True)
class Graph:
    assets: list[Asset]  # discovery order
    by_ref: dict[str, Asset]
    order: list[Asset]  # upstreams before downstreams (assets on a cycle left out)
    diagnostics: list[Diagnostic]


class _Lines:
    """Finds the line of each function's `def`, reading each source file once."""

    def __init__(self) -> None:
        self._trees: dict[str, ast.Module | None] = {}

    def line_of(self, asset: Asset) -> int:
        tree = self._tree(asset.file_path, asset.module_source)
        if tree is None:
            return 1
        top = [n for n in tree.body if _is_def(n, asset.function_name)]
        if top:
            return top[-1].lineno  # the last top-level definition is the one bound
        for node in ast.walk(tree):
            if _is_def(node, asset.function_name):
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


def _is_def(node: ast.AST, name: str) -> TypeGuard[ast.FunctionDef | ast.AsyncFunctionDef]:
    return isinstance(node, ast.FunctionDef | ast.AsyncFunctionDef) and node.name == name


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


def _str(entry: dict, key: str) -> str:
    value = entry.get(key)
    return value if isinstance(value, str) else ""


def _dedupe(entries: list[dict]) -> tuple[list[Asset], list[tuple[Asset, str]]]:
    """One asset per reference. The worker imports the module that binds the function's name.

    An asset imported into another module, or bound under two names, is listed once per
    binding; any of those modules can run it, but only one that binds the function's own
    name lets the worker find it by that name, so that module is preferred.
    """
    groups: dict[str, list[dict]] = {}
    for entry in entries:
        ref = _str(entry, "file_path") + ":" + _str(entry, "function_name")
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


def _safe_dir_names(assets: list[Asset]) -> None:
    """Gives each asset a directory name: its label when that is safe and unique.

    A label that is changed by making it safe, that is reserved, or that another asset also
    maps to gets a short hash of the asset's reference appended, so no two assets share a
    directory and the name never depends on which other assets happen to be present,
    except for the assets that share the label.
    """
    slugs: dict[str, list[Asset]] = {}
    labels: dict[str, int] = {}
    for asset in assets:
        labels[asset.label] = labels.get(asset.label, 0) + 1
        slug = _UNSAFE.sub("_", asset.label)[:80]
        slugs.setdefault(slug, []).append(asset)
    for slug, sharing in slugs.items():
        for asset in sharing:
            lossy = slug != asset.label or slug in _RESERVED_DIR_NAMES or slug.startswith(".")
            if lossy or len(sharing) > 1:
                asset.dir_name = f"{slug.lstrip('.') or '_'}-{short_hash(asset.ref, 8)}"
            else:
                asset.dir_name = slug
            asset.display = asset.label if labels[asset.label] == 1 else asset.dir_name


def build_graph(document: Any) -> Graph:
    """Deduplicates the document's entries, resolves inputs and runs every check."""
    entries = document.get("assets") if isinstance(document, dict) else None
    if not isinstance(entries, list):
        raise ValueError("the inspection document has no 'assets' array")
    entries = [e for e in entries if isinstance(e, dict)]
    assets, conflicts = _dedupe(entries)
    by_ref = {a.ref: a for a in assets}
    lines = _Lines()
    found: list[tuple[int, int, Asset, str]] = []  # (asset index, sequence, asset, message)

    def report(asset: Asset, message: str) -> None:
        found.append((asset.index, len(found), asset, message))

    for asset in assets:
        name = asset.declared_name
        asset.label = name if name is not None else asset.function_name
    for asset, message in conflicts:
        report(asset, message)
    for asset in assets:
        _read_declaration(asset, report)
    _check_names(assets, lines, report)
    _safe_dir_names(assets)
    for asset in assets:
        _check_parameters(asset, report)
        for param, ref in sorted(asset.inputs.items()):
            upstream = by_ref.get(ref)
            if upstream is None:
                report(asset, f"input '{param}' refers to '{ref}', which is not a discovered asset")
                continue
            asset.upstream[param] = upstream
            if asset not in upstream.downstream:
                upstream.downstream.append(asset)
    for asset in assets:
        _check_shared_keys(asset, report)
    order, cycles = _order(assets)
    for asset, path in cycles:
        report(asset, "dependency cycle: " + " -> ".join(a.label for a in path))
    found.sort(key=lambda item: (item[0], item[1]))
    diagnostics = [
        Diagnostic(a.file_path or a.module, lines.line_of(a), a.label, message)
        for _, _, a, message in found
    ]
    return Graph(assets=assets, by_ref=by_ref, order=order, diagnostics=diagnostics)


def _read_declaration(asset: Asset, report) -> None:
    meta = asset.metadata
    if not isinstance(meta, dict):
        report(asset, "its declaration (__quarn_metadata__) is not an object")
        return
    inputs = meta.get("inputs")
    if isinstance(inputs, dict):
        for param, ref in inputs.items():
            if isinstance(ref, str):
                asset.inputs[param] = ref
            else:
                report(asset, f"input '{param}' is not an asset reference")
    elif inputs is not None:
        report(asset, "its declared inputs are not an object")
    partitions = meta.get("partitions")
    if isinstance(partitions, dict):
        for dim, declared in sorted(partitions.items()):
            values = None
            if isinstance(declared, dict) and isinstance(declared.get("values_json"), str):
                try:
                    values = json.loads(declared["values_json"])
                except ValueError:
                    values = None
            if not isinstance(values, list):
                report(asset, f"partition dimension '{dim}' has no readable list of keys")
                continue
            keys: dict[str, Any] = {}
            for value in values:
                keys.setdefault(canonical_json(value), value)
            if not keys:
                report(asset, f"partition dimension '{dim}' is empty")
            asset.dims[dim] = list(keys.items())
    elif partitions is not None:
        report(asset, "its declared partitions are not an object")
    asset.signature = parse_signature(asset.function_source, asset.function_name)


def _check_names(assets: list[Asset], lines: _Lines, report) -> None:
    first: dict[str, Asset] = {}
    for asset in assets:
        name = asset.declared_name
        if name is None:
            continue
        if name in first:
            other = first[name]
            where = f"{other.file_path or other.module}:{lines.line_of(other)}"
            report(asset, f"another asset is also named '{name}' ({where})")
        else:
            first[name] = asset


def _check_parameters(asset: Asset, report) -> None:
    sig = asset.signature
    if sig is None:  # parameters unknown: the worker will tell
        return
    name = asset.function_name
    for param in sorted(asset.inputs):
        if param in asset.dims:
            report(asset, f"input '{param}' has the same name as a partition dimension")
        elif not sig.accepts_keyword(param):
            report(asset, f"input '{param}' is not a parameter of '{name}'")
    for dim in asset.dims:
        if not sig.accepts_keyword(dim):
            report(asset, f"partition dimension '{dim}' is not a parameter of '{name}'")
    for param in sig.required:
        if param in sig.positional_only:
            report(
                asset,
                f"required parameter '{param}' is positional-only, but inputs and partition "
                "keys are passed by keyword",
            )
        elif param not in asset.inputs and param not in asset.dims:
            report(
                asset, f"required parameter '{param}' is neither an input nor a partition dimension"
            )


def _check_shared_keys(asset: Asset, report) -> None:
    """A dimension shared with an upstream needs that upstream's job for each of its keys."""
    for param, upstream in sorted(asset.upstream.items()):
        for dim in sorted(set(asset.dims) & set(upstream.dims)):
            theirs = {k for k, _ in upstream.dims[dim]}
            missing = [k for k, _ in asset.dims[dim] if k not in theirs]
            if missing:
                report(
                    asset,
                    f"input '{param}': key {missing[0]} of partition dimension '{dim}' is not "
                    f"a key of that dimension in upstream '{upstream.label}'",
                )


def _order(assets: list[Asset]) -> tuple[list[Asset], list[tuple[Asset, list[Asset]]]]:
    """Topological order (Kahn), and one cycle path for each group of assets on a cycle."""
    waiting = {a: len(set(a.upstream.values())) for a in assets}
    ready = deque(a for a in assets if waiting[a] == 0)
    order: list[Asset] = []
    while ready:
        asset = ready.popleft()
        order.append(asset)
        for down in asset.downstream:
            waiting[down] -= 1
            if waiting[down] == 0:
                ready.append(down)
    placed = set(order)
    left = [a for a in assets if a not in placed]
    cycles: list[tuple[Asset, list[Asset]]] = []
    covered: set[Asset] = set()
    for start in left:  # discovery order, so each report starts from the earliest asset
        if start in covered:
            continue
        path = _cycle_through(start)
        if path is None:  # only downstream of a cycle, not on one
            continue
        covered.update(_component(start))
        cycles.append((start, path))
    return order, cycles


def _cycle_through(start: Asset) -> list[Asset] | None:
    """The shortest path start -> ... -> start along data flow, or None."""
    parent: dict[Asset, Asset] = {}
    queue = deque([start])
    seen = {start}
    while queue:
        node = queue.popleft()
        for down in sorted(node.downstream, key=lambda a: a.index):
            if down is start:
                chain = [node]
                while chain[-1] is not start:
                    chain.append(parent[chain[-1]])
                chain.reverse()  # start ... node
                return chain + [start]
            if down not in seen:
                seen.add(down)
                parent[down] = node
                queue.append(down)
    return None


def _component(start: Asset) -> set[Asset]:
    """The assets on a cycle with `start`: reachable from it and reaching it."""

    def reach(edges) -> set[Asset]:
        seen = {start}
        queue = deque([start])
        while queue:
            for nxt in edges(queue.popleft()):
                if nxt not in seen:
                    seen.add(nxt)
                    queue.append(nxt)
        return seen

    return reach(lambda a: a.downstream) & reach(lambda a: set(a.upstream.values()))
