"""What a user may name where a module is expected: a module, a package, a file or a folder.

Every command resolves its MODULE words here, without importing anything: user code only
ever runs in discovery's subprocess and in the workers.
"""

from __future__ import annotations

import difflib
import os
import pkgutil
import sys
from collections.abc import Sequence
from dataclasses import dataclass, field
from importlib.machinery import ModuleSpec, PathFinder

from quarn.runner.inputs import Inputs, stat_key
from quarn.runner.project import library_folder


class ModuleError(Exception):
    """A MODULE word that names nothing importable."""


@dataclass(slots=True)
class Resolved:
    """Module names to discover, and the folders (besides `--path`) they are imported from;
    `inputs`: the folders listed and files looked at to find them, each stat'ed before."""

    modules: list[str] = field(default_factory=list)
    paths: list[str] = field(default_factory=list)
    inputs: Inputs = field(default_factory=Inputs)

    def look(self, path: str) -> str:
        """Notes `path` (a folder about to be listed, a file about to be looked at) with its
        stat now, unless it is the interpreter's; returns it."""
        real = os.path.abspath(path)
        if real not in self.inputs.paths and not library_folder(real + os.sep):
            self.inputs.path(real, stat_key(real))
        return path

    def add(self, module: str, path: str | None = None) -> None:
        if module not in self.modules:
            self.modules.append(module)
        if path is not None:
            self.add_path(path)

    def add_path(self, path: str) -> None:
        if path not in self.paths:
            self.paths.append(path)


def resolve(words: Sequence[str], paths: Sequence[str], base: str | None = None) -> Resolved:
    """Module names for `words`; `paths` are the `--path` folders, searched first, then
    `base` (the folder the words are relative to: the current directory by default).

    - `pkg.mod`: that module; a package stands for itself and all its submodules.
    - `pipelines/sales.py`: the module of that file, imported from the first folder above it
      that is not a package (so relative imports inside a package keep working).
    - `pipelines/`: a package folder as the package; a plain folder as all its modules.
    """
    resolved = Resolved()
    base = os.path.abspath(base or os.getcwd())
    project = list(dict.fromkeys(os.path.abspath(p) for p in [*paths, base]))
    search = [*project, *(p for p in sys.path if isinstance(p, str) and p)]
    for word in words:
        if looks_like_path(word):
            _resolve_path(word, base, resolved)
        else:
            _resolve_name(word, [resolved.look(p) for p in search], project, resolved)
    return resolved


def looks_like_path(word: str) -> bool:
    return word.endswith(".py") or os.sep in word or (os.altsep or os.sep) in word


def _resolve_path(word: str, base: str, resolved: Resolved) -> None:
    path = os.path.normpath(os.path.join(base, word))
    resolved.look(os.path.dirname(path))
    if os.path.isdir(path):
        if _is_package_dir(resolved.look(path)):
            root, name = _package_root(path, resolved)
            resolved.add_path(root)
            if _has_code(resolved.look(os.path.join(path, "__init__.py"))):
                resolved.add(name)
            _add_submodules(name, [path], resolved)
        else:
            found = False
            for info in pkgutil.iter_modules([path]):
                found = True
                resolved.add(info.name, path)
                if info.ispkg:
                    _add_submodules(info.name, [os.path.join(path, info.name)], resolved)
            if not found:
                raise ModuleError(f"'{word}' is a folder without Python modules")
        return
    if not os.path.isfile(path):
        hint = closest_file(word, base)
        raise ModuleError(f"'{word}': no such file in {base}{hint}")
    if not path.endswith(".py"):
        raise ModuleError(f"'{word}' is not a Python file (.py)")
    folder, base = os.path.split(path)
    stem = base[: -len(".py")]
    if not stem.isidentifier():
        raise ModuleError(f"'{word}': '{stem}' cannot be imported as a module name")
    if stem == "__init__":
        root, name = _package_root(folder, resolved)
    else:
        packaged = _is_package_dir(resolved.look(folder))
        root, package = _package_root(folder, resolved) if packaged else (folder, "")
        name = f"{package}.{stem}" if package else stem
    resolved.add(name, root)


def _has_code(path: str | None) -> bool:
    """Whether a package's `__init__.py` holds anything: an empty one (the usual kind) has no
    source to discover, and naming it would fail discovery."""
    try:
        return path is not None and os.path.getsize(path) > 0
    except OSError:
        return False


def _is_package_dir(path: str) -> bool:
    return os.path.isfile(os.path.join(path, "__init__.py"))


def _package_root(package_dir: str, resolved: Resolved | None = None) -> tuple[str, str]:
    """The folder to import a package folder from, and the package's dotted name."""
    parts: list[str] = []
    folder = package_dir
    while _is_package_dir(resolved.look(folder) if resolved else folder):
        folder, name = os.path.split(folder)
        parts.insert(0, name)
    return folder, ".".join(parts)


def _resolve_name(word: str, search: list[str], project: list[str], resolved: Resolved) -> None:
    spec = _find(word, search, resolved)
    if spec is None:
        where = ", ".join(project[:3]) + (
            f" and {len(project) - 3} more" if len(project) > 3 else ""
        )
        hint = _closest(word, search, project)
        raise ModuleError(f"no module named '{word}' in {where} or the installed packages{hint}")
    if spec.submodule_search_locations is None:
        resolved.add(word)
        return
    if _has_code(resolved.look(spec.origin) if spec.origin else None):
        resolved.add(word)
    _add_submodules(word, list(spec.submodule_search_locations), resolved)


def _find(name: str, search: list[str], resolved: Resolved | None = None) -> ModuleSpec | None:
    """Finds a module by walking its dotted name on the file system: no parent is imported."""
    if not all(part.isidentifier() for part in name.split(".")):
        return None
    locations: list[str] | None = search
    spec: ModuleSpec | None = None
    parts = name.split(".")
    for depth in range(1, len(parts) + 1):
        if locations is None:
            return None
        if resolved is not None and depth > 1:
            locations = [resolved.look(p) for p in locations]
        spec = PathFinder.find_spec(".".join(parts[:depth]), locations)
        if spec is None:
            if depth == 1 and parts[0] in sys.builtin_module_names:
                return ModuleSpec(parts[0], None)
            return None
        sub = spec.submodule_search_locations
        locations = list(sub) if sub is not None else None
    return spec


def _closest(word: str, search: list[str], project: list[str]) -> str:
    """A hint naming the closest module beside the one asked for: in its package, or at the
    top of the project's folders or one package down (`sales` for `pipelines.sales`): a
    typo is in the user's own names, not the library's."""
    package, _, name = word.rpartition(".")
    known: dict[str, str] = {}  # last part -> dotted name, the shallowest first
    if package:
        spec = _find(package, search)
        if spec is None or spec.submodule_search_locations is None:
            return ""
        for info in pkgutil.iter_modules(list(spec.submodule_search_locations)):
            known[info.name] = f"{package}.{info.name}"
    else:
        tops = list(pkgutil.iter_modules(project))
        known.update((info.name, info.name) for info in tops)
        for info in tops:
            if info.ispkg:
                for folder in project:
                    inner = os.path.join(folder, info.name)
                    for sub in pkgutil.iter_modules([inner]) if os.path.isdir(inner) else []:
                        known.setdefault(sub.name, f"{info.name}.{sub.name}")
    close = difflib.get_close_matches(name, sorted(known), n=1)
    return f"; did you mean '{known[close[0]]}'?" if close else ""


def _add_submodules(package: str, locations: list[str], resolved: Resolved) -> None:
    """Every submodule below a package, depth first, in name order; `__main__` is left out:
    importing it would run the package as a program."""
    for location in locations:
        resolved.look(location)
    for info in sorted(pkgutil.iter_modules(locations), key=lambda i: i.name):
        if info.name == "__main__":
            continue
        name = f"{package}.{info.name}"
        if not info.ispkg:
            resolved.add(name)
        else:
            folders = [os.path.join(loc, info.name) for loc in locations]
            if any(_has_code(resolved.look(os.path.join(f, "__init__.py"))) for f in folders):
                resolved.add(name)
            _add_submodules(name, folders, resolved)


# How far `closest_file` looks below the folder: enough for a project's own layout, bounded
# so that a word typed in the home folder does not walk the whole disk.
_HINT_DEPTH = 4
_HINT_ENTRIES = 5_000


def closest_file(word: str, base: str) -> str:
    """`; did you mean 'pipelines/sales.py'?` for a path that names nothing: the file or
    folder below `base` with that name (the word typed from the wrong folder), else the one
    spelled most like it; "" when nothing is close."""
    wanted = os.path.normpath(word).rstrip(os.sep)
    name = os.path.basename(wanted)
    candidates = _python_paths(base)
    same = sorted((c for c in candidates if os.path.basename(c) == name), key=len)
    close = same[:1] or difflib.get_close_matches(wanted, candidates, n=1, cutoff=0.6)
    return f"; did you mean '{close[0]}'?" if close else ""


def _python_paths(base: str) -> list[str]:
    """Python files below `base` and the folders holding them, relative to it; hidden
    folders, caches and virtual environments are left out."""
    found: list[str] = []
    seen = 0
    for folder, dirs, files in os.walk(base):
        depth = os.path.relpath(folder, base).count(os.sep) + (folder != base)
        dirs[:] = sorted(
            d
            for d in dirs
            if depth < _HINT_DEPTH
            and not d.startswith((".", "__"))
            and not os.path.exists(os.path.join(folder, d, "pyvenv.cfg"))
        )
        seen += len(files) + len(dirs)
        python = sorted(f for f in files if f.endswith(".py"))
        relative = os.path.relpath(folder, base)
        if python and folder != base:
            found.append(relative)
        found += [f if folder == base else os.path.join(relative, f) for f in python]
        if seen > _HINT_ENTRIES:
            break
    return found
