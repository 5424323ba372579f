"""The code version of an asset: what its result depends on in the project's own code.

Read statically from the project's source files (those under the `--path` folders and the
current directory), never by importing them:

- the asset's function, without its decorators (the declaration is hashed apart from
  the code, and an upstream named there counts by the value it produces);
- transitively, every project function and class that code names, and every module-level
  binding it reads (`X = ...`, `X += ...`, in its own module or, through `import` and
  `from ... import`, in another project module), with what those read in turn;
- a project module used as a whole (passed around, or a name it binds only dynamically):
  every binding of that module;
- an imported module from outside the project counts by the version of the distribution
  that installs it (`importlib.metadata`), a standard module by Python's version.

Each piece counts as the `ast.dump` of its syntax tree without docstrings, so comments,
docstrings, blank lines and formatting never change a version. A file the function opens
is data, not code: it does not count.
"""

from __future__ import annotations

import ast
import builtins
import copy
import hashlib
import inspect
import os
import sys
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field

from quarn.runner.inputs import Inputs, stat_key

_TAG = "quarn code version 1"
_ASSET_ITEM = "<asset>"  # the function itself is keyed apart from its module's name


@dataclass(frozen=True, slots=True)
class CodeVersion:
    digest: str
    sources: dict[str, str]  # absolute source path -> SHA-256 of the bytes it was read from


@dataclass(slots=True)
class _Module:
    name: str
    path: str
    sha256: str
    tree: ast.Module
    package: str  # what a relative import in this module is relative to
    bindings: dict[str, list[ast.AST]] = field(default_factory=dict)
    star_imports: list[ast.ImportFrom] = field(default_factory=list)


# Parsed modules kept for the life of the process, by path and module name, with the stat of
# the file they were read from: `quarn.load` called again reads and parses nothing that did
# not change.
_PARSED: dict[tuple[str, str], tuple[list[int], _Module | None]] = {}


def _parsed(path: str, name: str) -> tuple[list[int] | None, _Module | None]:
    """The module parsed from `path`, with the file's stat from before it was read."""
    stat = stat_key(path)
    if stat is None:
        return None, None
    cached = _PARSED.get((path, name))
    if cached is not None and cached[0] == stat:
        return stat, cached[1]
    module: _Module | None = None
    try:
        with open(path, "rb") as handle:
            data = handle.read()
        tree = ast.parse(data, path)
    except (OSError, SyntaxError, ValueError):
        tree = None
    if tree is not None:
        _strip_docstrings(tree)
        is_package = os.path.basename(path) == "__init__.py"
        package = name if is_package else name.rpartition(".")[0]
        module = _Module(name, path, hashlib.sha256(data).hexdigest(), tree, package)
        _collect_bindings(module, tree.body)
    _PARSED[(path, name)] = (stat, module)
    return stat, module


# One piece of code: (module, name) -> its dumps and the names it reads.
@dataclass(slots=True)
class _Item:
    text: str
    sources: set[str]
    deps: list[tuple[str, str]]  # (module, name) items it reads
    whole: list[str]  # project modules it uses as a whole
    external: set[str]  # "dist==version" lines


class Project:
    """Reads, parses and hashes each project file once; memoizes every piece of code."""

    def __init__(self, roots: list[str]) -> None:
        self.roots = roots
        # What the versions rest on: each source read and each folder looked in for a
        # module, with its stat from before (a module that appears changes a version).
        self.inputs = Inputs()
        self._by_name: dict[str, _Module | None] = {}
        self._by_path: dict[str, _Module | None] = {}
        self._items: dict[tuple[str, str], _Item] = {}
        self._distributions: dict[str, list[str]] | None = None
        self._external: dict[str, str] = {}
        self._resolving: set[tuple[str, str]] = set()  # against import cycles
        self._of_file: dict[tuple[str, str], _Module | None] = {}

    # Finding and reading modules -------------------------------------------------------------

    def _read(self, path: str, name: str) -> _Module | None:
        path = os.path.realpath(path)
        if path in self._by_path:
            return self._by_path[path]
        stat, module = _parsed(path, name)
        self.inputs.path(path, stat)
        self._by_path[path] = module
        return module

    def module(self, name: str) -> _Module | None:
        """The project module of that name, or None when it is not the project's."""
        if name in self._by_name:
            return self._by_name[name]
        if not name or any(not part.isidentifier() for part in name.split(".")):
            return None
        found: _Module | None = None
        top = name.partition(".")[0]
        if top != "quarn" and top not in sys.stdlib_module_names:
            parts = name.split(".")
            for root in self.roots:
                base = os.path.join(root, *parts)
                self._look(os.path.dirname(base), root)
                self._look(base, root)
                for candidate in (base + ".py", os.path.join(base, "__init__.py")):
                    if os.path.isfile(candidate):
                        found = self._read(candidate, name)
                        break
                if found is not None or os.path.isdir(base):
                    break
        self._by_name[name] = found
        return found

    def _look(self, folder: str, root: str) -> None:
        """Notes the folder a module is looked for in (and, while it does not exist, the
        folders above it up to `root`), each with its stat from before the look."""
        while folder not in self.inputs.paths:
            stat = stat_key(folder)
            self.inputs.path(folder, stat)
            if stat is not None or len(folder) <= len(root):
                return
            folder = os.path.dirname(folder)

    def module_of_file(self, path: str, hint: str) -> _Module | None:
        """The module held by a file: by its place under a root, else by `hint`."""
        key = (path, hint)
        if key not in self._of_file:
            self._of_file[key] = self._module_of_file(path, hint)
        return self._of_file[key]

    def _module_of_file(self, path: str, hint: str) -> _Module | None:
        real = os.path.realpath(path)
        name = hint
        for root in self.roots:
            if real.startswith(root + os.sep):
                rel = os.path.relpath(real, root)[: -len(".py")].split(os.sep)
                if rel[-1] == "__init__":
                    rel.pop()
                if rel and all(part.isidentifier() for part in rel):
                    name = ".".join(rel)
                break
        module = self._read(real, name)
        if module is not None:
            self._by_name.setdefault(name, module)
        return module

    # Versions ---------------------------------------------------------------------------------

    def code_version(self, file_path: str, function_name: str, module_name: str) -> CodeVersion:
        """The version of one asset function; a function that cannot be found statically
        (a lambda, a nested or generated function) counts as its whole module."""
        own = self.module_of_file(file_path, module_name) if file_path else None
        sources: dict[str, str] = {}
        runner = self.module(module_name)  # the module the worker imports
        if runner is not None:
            sources[runner.path] = runner.sha256
        if own is None:
            text = f"unreadable {file_path}:{function_name}"
            return CodeVersion(_hash([_TAG, text]), sources)
        defs = [
            n
            for n in own.bindings.get(function_name, [])
            if isinstance(n, ast.FunctionDef | ast.AsyncFunctionDef)
        ]
        texts: list[str] = []
        external: set[str] = set()
        seen_items: set[tuple[str, str]] = set()
        seen_whole: set[str] = set()
        stack: list[tuple[str, str]] = []
        wholes: list[str] = []
        if defs:
            node = copy.copy(defs[-1])  # the last definition is the one bound
            node.decorator_list = [d for d in node.decorator_list if not _is_asset_decorator(d)]
            item = self._item_from(own, [node], _free_names(node))
            texts.append(_ASSET_ITEM + "\n" + item.text)
            sources[own.path] = own.sha256
            stack += item.deps
            wholes += item.whole
            external |= item.external
        else:
            wholes.append(own.name)
        while stack or wholes:
            while wholes:
                name = wholes.pop()
                if name in seen_whole:
                    continue
                seen_whole.add(name)
                module = self.module(name) or (own if name == own.name else None)
                if module is not None:
                    stack += [(module.name, b) for b in sorted(module.bindings)]
                    sources[module.path] = module.sha256
            if not stack:
                continue
            key = stack.pop()
            if key in seen_items:
                continue
            seen_items.add(key)
            found = self._item(*key)
            if found is None:
                continue
            item = found
            texts.append(f"{key[0]}:{key[1]}\n{item.text}")
            for path in item.sources:
                module = self._by_path.get(path)
                if module is not None:
                    sources[path] = module.sha256
            stack += item.deps
            wholes += item.whole
            external |= item.external
        return CodeVersion(_hash([_TAG, sorted(texts), sorted(external)]), sources)

    def _item(self, module_name: str, name: str) -> _Item | None:
        key = (module_name, name)
        if key in self._items:
            return self._items[key]
        module = self.module(module_name)
        if module is None:
            return None
        nodes = module.bindings.get(name, [])
        reads = _Reads()
        for node in nodes:
            found = _free_names(node)
            _merge(reads, found.names, found.attrs)
            reads.imports += found.imports
        if nodes:
            reads.names.discard(name)  # `X += 1` reads X: this very item
            item = self._item_from(module, nodes, reads)
        else:  # not bound here: a star import or a builtin may provide it
            item = _Item("", {module.path}, [], [], set())
            self._resolve(module, name, None, item)
        self._items[key] = item
        return item

    def _item_from(self, module: _Module, nodes: list[ast.AST], reads: _Reads) -> _Item:
        """The dump of `nodes` and where each name they read comes from."""
        text = "\n".join(_dump(n) for n in nodes)
        item = _Item(text, {module.path}, [], [], set())
        for name in sorted(reads.names):
            self._resolve(module, name, reads.attrs.get(name), item)
        for node in reads.imports:  # imported inside a function: the module counts whole
            if isinstance(node, ast.Import):
                targets = [alias.name for alias in node.names]
            else:
                base = _absolute(module, node)
                targets = [] if base is None else [base]
                if base is not None and self.module(base) is not None:
                    source = self.module(base)
                    targets = []
                    for alias in node.names:
                        if source is not None and alias.name in source.bindings:
                            item.deps.append((base, alias.name))
                        elif self.module(f"{base}.{alias.name}") is not None:
                            targets.append(f"{base}.{alias.name}")
                        else:
                            targets.append(base)
            for target in targets:
                self._use_module(target, None, item)
        return item

    def _resolve(self, module: _Module, name: str, attrs: set[str] | None, item: _Item) -> None:
        """Adds to `item` what `name`, read in `module`, depends on."""
        if (module.name, name) in self._resolving:
            return
        self._resolving.add((module.name, name))
        try:
            self._resolve_binding(module, name, attrs, item)
        finally:
            self._resolving.discard((module.name, name))

    def _resolve_binding(
        self, module: _Module, name: str, attrs: set[str] | None, item: _Item
    ) -> None:
        nodes = module.bindings.get(name)
        if not nodes:
            if name in _BUILTINS:
                return
            for star in module.star_imports:
                target = _absolute(module, star)
                if target is None:
                    continue
                if self.module(target) is not None:
                    item.deps.append((target, name))
                else:
                    item.external.add(self._external_version(target))
            return
        item.deps.append((module.name, name))
        for node in nodes:
            if isinstance(node, ast.Import):
                for alias in node.names:
                    bound = alias.asname or alias.name.partition(".")[0]
                    if bound == name:
                        target = alias.name if alias.asname else alias.name.partition(".")[0]
                        self._use_module(target, attrs, item)
                        if not alias.asname and "." in alias.name:
                            self._use_module(alias.name, None, item)
            elif isinstance(node, ast.ImportFrom):
                target = _absolute(module, node)
                for alias in node.names:
                    if (alias.asname or alias.name) != name or target is None:
                        continue
                    source = self.module(target)
                    if source is None:
                        item.external.add(self._external_version(target))
                    elif alias.name in source.bindings:
                        self._resolve(source, alias.name, attrs, item)
                    elif self.module(f"{target}.{alias.name}") is not None:
                        self._use_module(f"{target}.{alias.name}", attrs, item)
                    else:
                        item.whole.append(target)

    def _use_module(self, target: str, attrs: set[str] | None, item: _Item) -> None:
        """A module bound to a name: its attributes read through that name count, or the
        whole module when the name is used otherwise."""
        module = self.module(target)
        if module is None:
            item.external.add(self._external_version(target))
        elif attrs is None:
            item.whole.append(target)
        else:
            for attr in sorted(attrs):
                if attr in module.bindings:
                    item.deps.append((target, attr))
                elif self.module(f"{target}.{attr}") is not None:
                    item.whole.append(f"{target}.{attr}")
                else:
                    item.whole.append(target)

    def _external_version(self, module_name: str) -> str:
        top = module_name.partition(".")[0]
        if top in self._external:
            return self._external[top]
        import importlib.metadata  # only when code reads an installed package: slow to import

        if top in sys.stdlib_module_names:
            text = f"{top}: python {sys.version_info.major}.{sys.version_info.minor}"
        else:
            if self._distributions is None:
                self._distributions = top_level_distributions()
            versions = []
            for dist in sorted(set(self._distributions.get(top, []))):
                try:
                    versions.append(f"{dist}=={importlib.metadata.version(dist)}")
                except importlib.metadata.PackageNotFoundError:
                    versions.append(f"{dist}==?")
            text = f"{top}: {', '.join(versions) or _unversioned(top)}"
        self._external[top] = text
        return text


def top_level_distributions() -> dict[str, list[str]]:
    """The distributions that install each top-level module, as
    `importlib.metadata.packages_distributions()` tells, without its check that every file
    a distribution lists exists: that check stats every installed file, a fifth of a second
    in an environment with the data libraries, paid by every plan that versions their code."""
    import csv
    import importlib.metadata

    found: dict[str, list[str]] = {}
    for dist in importlib.metadata.distributions():
        tops = (dist.read_text("top_level.txt") or "").split()
        if not tops:
            record = dist.read_text("RECORD")
            if record is None:  # not a wheel's install: the listing of its own kind
                files = [str(path) for path in dist.files or ()]
            else:
                files = [row[0] for row in csv.reader(record.splitlines()) if row]
            tops = [top for top in dict.fromkeys(map(_top_name, files)) if "." not in top]
        for top in tops:
            found.setdefault(top, []).append(dist.metadata["Name"])
    return found


def _top_name(path: str) -> str:
    """The first folder of a listed path, or the module a file at the top is."""
    top, folder, _ = path.partition("/")
    return top if folder else inspect.getmodulename(path) or path


def _is_asset_decorator(node: ast.expr) -> bool:
    """`@asset(...)` (or `@quarn.asset(...)`): the declaration, hashed apart from the code.
    Any other decorator changes what the function does, and counts."""
    target = node.func if isinstance(node, ast.Call) else node
    if isinstance(target, ast.Name):
        return target.id == "asset"
    return isinstance(target, ast.Attribute) and target.attr == "asset"


def _unversioned(top: str) -> str:
    """A module installed without distribution metadata: its `__version__` when it has one
    (quarn itself, run from a source checkout, is such a module)."""
    module = sys.modules.get(top)
    version = getattr(module, "__version__", None)
    return f"version {version}" if isinstance(version, str) else "no distribution"


def _hash(payload: object) -> str:
    return hashlib.sha256(repr(payload).encode("utf-8")).hexdigest()


def _dump(node: ast.AST) -> str:
    return ast.dump(node, annotate_fields=False, include_attributes=False)


_BUILTINS = frozenset(dir(builtins))


def _absolute(module: _Module, node: ast.ImportFrom) -> str | None:
    """The module a `from ... import` names, relative imports resolved."""
    if not node.level:
        return node.module
    parts = module.package.split(".") if module.package else []
    if node.level - 1 > len(parts):
        return None
    base = parts[: len(parts) - (node.level - 1)]
    if node.module:
        base.append(node.module)
    return ".".join(base) or None


def _strip_docstrings(tree: ast.Module) -> None:
    for node in ast.walk(tree):
        if isinstance(node, ast.Module | ast.FunctionDef | ast.AsyncFunctionDef | ast.ClassDef):
            body = node.body
            if (
                body
                and isinstance(body[0], ast.Expr)
                and isinstance(body[0].value, ast.Constant)
                and isinstance(body[0].value.value, str)
            ):
                node.body = body[1:] or [ast.Pass()]


def _collect_bindings(module: _Module, body: list[ast.stmt]) -> None:
    """Every statement that binds a name at module level, compound statements opened."""
    for stmt in body:
        for name in _bound_by(stmt):
            module.bindings.setdefault(name, []).append(stmt)
        if isinstance(stmt, ast.ImportFrom) and any(a.name == "*" for a in stmt.names):
            module.star_imports.append(stmt)
        if isinstance(stmt, ast.If | ast.For | ast.AsyncFor | ast.While | ast.With | ast.AsyncWith):
            _collect_bindings(module, [*stmt.body, *getattr(stmt, "orelse", [])])
        elif isinstance(stmt, ast.Try | ast.TryStar):
            inner = [*stmt.body, *stmt.orelse, *stmt.finalbody]
            for handler in stmt.handlers:
                inner += handler.body
            _collect_bindings(module, inner)
        elif isinstance(stmt, ast.Match):
            for case in stmt.cases:
                _collect_bindings(module, case.body)


def _bound_by(stmt: ast.stmt) -> Iterator[str]:
    if isinstance(stmt, ast.FunctionDef | ast.AsyncFunctionDef | ast.ClassDef):
        yield stmt.name
    elif isinstance(stmt, ast.Import | ast.ImportFrom):
        for alias in stmt.names:
            if alias.name != "*":
                yield alias.asname or alias.name.partition(".")[0]
    elif isinstance(stmt, ast.TypeAlias):
        yield stmt.name.id
    elif isinstance(stmt, ast.Assign | ast.AnnAssign | ast.AugAssign):
        targets = stmt.targets if isinstance(stmt, ast.Assign) else [stmt.target]
        for target in targets:
            for sub in ast.walk(target):
                if isinstance(sub, ast.Name):
                    yield sub.id
    elif isinstance(stmt, ast.For | ast.AsyncFor):
        for sub in ast.walk(stmt.target):
            if isinstance(sub, ast.Name):
                yield sub.id
    elif isinstance(stmt, ast.With | ast.AsyncWith):
        for with_item in stmt.items:
            if with_item.optional_vars is not None:
                for sub in ast.walk(with_item.optional_vars):
                    if isinstance(sub, ast.Name):
                        yield sub.id


@dataclass(slots=True)
class _Reads:
    """What a piece of code reads from outside itself."""

    names: set[str] = field(default_factory=set)  # module-level names
    attrs: dict[str, set[str]] = field(default_factory=dict)  # name -> attributes read on it
    bare: set[str] = field(default_factory=set)  # names also read without an attribute
    imports: list[ast.Import | ast.ImportFrom] = field(default_factory=list)  # in functions


def _free_names(node: ast.AST) -> _Reads:
    """The names `node` reads from its module's globals, and for each, the attributes read
    through it (`mod.attr`), with the imports made inside its functions. Scopes are
    followed: a name bound in a function, lambda or comprehension is local there, unless
    declared `global`."""
    reads = _Reads()
    _scope_free(node, reads)
    # A name also read without an attribute counts as a whole: drop its attribute list.
    reads.attrs = {n: a for n, a in reads.attrs.items() if n not in reads.bare}
    return reads


def _scope_free(node: ast.AST, reads: _Reads) -> None:
    """Adds the free names of the scope `node` opens (or of a plain statement) to `free`."""
    if isinstance(node, ast.FunctionDef | ast.AsyncFunctionDef | ast.Lambda):
        outer: list[ast.AST] = [*node.args.defaults, *[d for d in node.args.kw_defaults if d]]
        if not isinstance(node, ast.Lambda):
            outer += node.decorator_list
            outer += [a.annotation for a in _all_args(node.args) if a.annotation]
            if node.returns:
                outer.append(node.returns)
        for part in outer:
            _scope_free(part, reads)
        params = {a.arg for a in _all_args(node.args)}
        body = node.body if isinstance(node.body, list) else [node.body]
        _body_free(body, params, reads)
    elif isinstance(node, ast.ClassDef):
        for part in [*node.bases, *[k.value for k in node.keywords], *node.decorator_list]:
            _scope_free(part, reads)
        _body_free(node.body, set(), reads)
    elif isinstance(node, ast.ListComp | ast.SetComp | ast.GeneratorExp | ast.DictComp):
        parts: list[ast.AST] = (
            [node.key, node.value] if isinstance(node, ast.DictComp) else [node.elt]
        )
        bound: set[str] = set()
        for generator in node.generators:
            for sub in ast.walk(generator.target):
                if isinstance(sub, ast.Name):
                    bound.add(sub.id)
            parts += [generator.iter, *generator.ifs]
        inner = _Reads(bare=reads.bare, imports=reads.imports)
        for part in parts:
            _scope_free(part, inner)
        _merge(reads, inner.names - bound, inner.attrs)
    else:
        _body_free([node], None, reads)


def _body_free(body: Sequence[ast.AST], params: set[str] | None, reads: _Reads) -> None:
    """The free names of the statements of one scope; `params` None means the statements
    belong to an enclosing scope (nothing they bind is local)."""
    inner = _Reads(bare=reads.bare, imports=reads.imports)
    imports = reads.imports
    stores: set[str] = set(params or ())
    declared_global: set[str] = set()
    stack: list[ast.AST] = list(body)
    while stack:
        node = stack.pop()
        if isinstance(node, ast.FunctionDef | ast.AsyncFunctionDef | ast.ClassDef):
            stores.add(node.name)
            _scope_free(node, inner)
            continue
        if isinstance(
            node, ast.Lambda | ast.ListComp | ast.SetComp | ast.GeneratorExp | ast.DictComp
        ):
            _scope_free(node, inner)
            continue
        if isinstance(node, ast.Global | ast.Nonlocal):
            declared_global.update(node.names)
        elif isinstance(node, ast.Import | ast.ImportFrom):
            for alias in node.names:  # an import inside a function reads no global name
                stores.add(alias.asname or alias.name.partition(".")[0])
            if params is not None:
                imports.append(node)
        elif isinstance(node, ast.Name):
            if isinstance(node.ctx, ast.Load):
                inner.names.add(node.id)
                reads.bare.add(node.id)
            else:
                stores.add(node.id)
            continue
        elif isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name):
            if isinstance(node.value.ctx, ast.Load):
                inner.names.add(node.value.id)
                inner.attrs.setdefault(node.value.id, set()).add(node.attr)
            continue
        elif isinstance(node, ast.ExceptHandler) and node.name:
            stores.add(node.name)
        elif isinstance(node, ast.MatchAs | ast.MatchStar) and node.name:
            stores.add(node.name)
        stack.extend(ast.iter_child_nodes(node))
    local = set() if params is None else stores - declared_global
    outside = {n for n in inner.names if n not in local}
    _merge(reads, outside, {n: a for n, a in inner.attrs.items() if n in outside})


def _merge(reads: _Reads, names: set[str], attrs: dict[str, set[str]]) -> None:
    reads.names |= names
    for name, used in attrs.items():
        reads.attrs.setdefault(name, set()).update(used)


def _all_args(args: ast.arguments) -> list[ast.arg]:
    every = [*args.posonlyargs, *args.args, *args.kwonlyargs]
    if args.vararg:
        every.append(args.vararg)
    if args.kwarg:
        every.append(args.kwarg)
    return every
