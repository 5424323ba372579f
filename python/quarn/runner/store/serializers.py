"""How a job's value is written to its folder and read back: one serializer per name.

A serializer is a name, a file suffix (the value is stored as `value.<suffix>`), a dump
function `dump(value, path)` and a load function `load(path) -> value`, like the format
registries of the data libraries. The built-ins are registered here; a project adds its own
with `quarn.register_serializer(...)` in a module that the asset's module imports, or
through an entry point of the group `quarn.serializers` naming a `Serializer`.

Nothing here imports a data library: each built-in imports its library when it first
dumps or loads, so a project that stores only JSON never pays for pyarrow.
"""

from __future__ import annotations

import importlib.util
import re
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from importlib.metadata import EntryPoint

ENTRY_POINT_GROUP = "quarn.serializers"
# The serializer of an asset declared without one: today's value.json, byte for byte.
DEFAULT = "json"
# Not a format: picks one for each value (frames and tables as parquet, numpy arrays as
# .npy, JSON values as JSON, anything else pickled); the record names the one it picked.
AUTO = "auto"

_NAME = re.compile(r"^[A-Za-z0-9][A-Za-z0-9_.-]*$")


class StorageError(Exception):
    """A value that cannot be stored by its serializer, or a stored value that cannot be
    read back; the message says which and what to do."""


@dataclass(frozen=True, slots=True)
class Serializer:
    """One storage format. `requires` names the modules it imports (checked before a run);
    `extra` is what to install when one is missing, for instance 'quarn[parquet]'."""

    name: str
    suffix: str
    dump: Callable[[Any, str], None]
    load: Callable[[str], Any]
    requires: tuple[str, ...] = ()
    extra: str | None = None
    # What its dump and load import when first called: imported ahead by a process that
    # forks jobs, so each job finds them loaded instead of importing them itself.
    imports: tuple[str, ...] = ()

    @property
    def file_name(self) -> str:
        return f"value.{self.suffix}"

    def missing(self) -> list[str]:
        """The required modules that cannot be found here (found without importing them)."""
        return [m for m in self.requires if not _findable(m)]


def _findable(module: str) -> bool:
    try:
        return importlib.util.find_spec(module) is not None
    except (ImportError, ValueError):
        return False


_builtin: dict[str, Serializer] = {}
_registered: dict[str, Serializer] = {}


def register_serializer(
    name: str,
    *,
    suffix: str,
    dump: Callable[[Any, str], None],
    load: Callable[[str], Any],
    requires: Iterable[str] = (),
    extra: str | None = None,
) -> Serializer:
    """Makes `@asset(serializer=name)` store values with `dump(value, path)` into
    `value.<suffix>` and hand them to downstream assets through `load(path)`.

    Call it at the top level of a module that the asset's module imports, so that
    discovery and every worker see it. Registering a name again replaces it (a module may
    be imported again); the built-in names cannot be replaced.
    """
    serializer = _validated(name, suffix, dump, load, tuple(requires), extra)
    if name in _builtin or name == AUTO:
        raise ValueError(f"serializer {name!r} is built in and cannot be replaced")
    _registered[name] = serializer
    return serializer


def _validated(
    name: object,
    suffix: object,
    dump: object,
    load: object,
    requires: tuple[object, ...],
    extra: object,
) -> Serializer:
    if not isinstance(name, str) or not _NAME.match(name):
        raise ValueError(f"a serializer name is letters, digits, '.', '_' or '-', not {name!r}")
    if not isinstance(suffix, str) or not _NAME.match(suffix):
        raise ValueError(f"a file suffix is letters, digits, '.', '_' or '-', not {suffix!r}")
    if not callable(dump) or not callable(load):
        raise TypeError(f"serializer {name!r}: dump and load must be callables")
    if not all(isinstance(m, str) and m for m in requires):
        raise TypeError(f"serializer {name!r}: requires must be module names")
    if extra is not None and not isinstance(extra, str):
        raise TypeError(f"serializer {name!r}: extra must be a text or None")
    return Serializer(name, suffix, dump, load, tuple(str(m) for m in requires), extra)


def add_builtin(serializer: Serializer) -> None:
    _builtin[serializer.name] = serializer


def get(name: str | None) -> Serializer:
    """The serializer of a declaration (None: the default), loading entry points on demand.
    An unknown name raises LookupError listing the known ones."""
    _load_builtins()
    key = DEFAULT if name is None else name
    if key == AUTO:
        raise LookupError(f"serializer {AUTO!r} stores each value by the serializer it picks")
    found = _builtin.get(key) or _registered.get(key) or _from_entry_point(key)
    if found is None:
        raise LookupError(unknown_message(key, known_names()))
    return found


def choose(name: str | None, value: Any) -> Serializer:
    """The serializer that stores `value` for a declaration (or project default) `name`."""
    if name != AUTO:
        return get(name)
    _load_builtins()
    from quarn.runner.store.builtin_serializers import pick

    return get(pick(value))


def preload(names: Iterable[str | None]) -> None:
    """Imports what the serializers of `names` import when they first dump or load; a name
    unknown here, or a library that will not import, is left to the job to report."""
    for name in set(names):
        try:
            serializer = get(name)
        except LookupError:
            continue
        for module in serializer.imports:
            try:
                importlib.import_module(module)
            except Exception:  # noqa: BLE001, S112 - the job itself will say what is wrong
                continue


def known_names() -> list[str]:
    """Every name a declaration may take here, entry points included (not loaded)."""
    _load_builtins()
    return sorted({*_builtin, *_registered, AUTO, *(ep.name for ep in _entry_points())})


def problem_of(name: str, usable: Mapping[str, str | None]) -> str | None:
    """Why an asset cannot be stored by serializer `name` (None: it can), given what
    `availability` found."""
    if name not in usable:
        return unknown_message(name, usable)
    return usable[name]


def unknown_message(name: str, known: Iterable[str]) -> str:
    import difflib

    names = sorted(known)
    close = difflib.get_close_matches(name, names, n=1)
    hint = f"did you mean {close[0]!r}? " if close else ""
    return (
        f"serializer {name!r} is not known; {hint}known serializers: {', '.join(names)} "
        "(a project adds its own with quarn.register_serializer)"
    )


def missing_message(serializer: Serializer, missing: list[str]) -> str:
    what = " and ".join(missing)
    verb = "is" if len(missing) == 1 else "are"
    install = f'; install it with: pip install "{serializer.extra}"' if serializer.extra else ""
    return f"serializer {serializer.name!r} needs {what}, which {verb} not installed{install}"


def _entry_points() -> list[EntryPoint]:
    # Imported here: it costs a job worker's start more than all the rest of this module,
    # and only a name that is neither built in nor registered needs it.
    import importlib.metadata

    return list(importlib.metadata.entry_points(group=ENTRY_POINT_GROUP))


def _from_entry_point(name: str) -> Serializer | None:
    for entry in _entry_points():
        if entry.name != name:
            continue
        try:
            found = entry.load()
        except Exception as exc:
            raise LookupError(
                f"serializer {name!r}: its entry point {entry.value!r} cannot be loaded "
                f"({type(exc).__name__}: {exc})"
            ) from exc
        if not isinstance(found, Serializer) or found.name != name:
            raise LookupError(
                f"serializer {name!r}: its entry point {entry.value!r} must name a "
                f"quarn Serializer called {name!r}"
            )
        _registered[name] = found
        return found
    return None


def read_value(serializer: Serializer, path: str) -> Any:
    """One stored value; a file that is missing or unreadable raises StorageError naming it."""
    missing = serializer.missing()
    if missing:
        raise StorageError(missing_message(serializer, missing))
    try:
        return serializer.load(path)
    except FileNotFoundError:
        raise StorageError(f"the stored value {path} is missing") from None
    except StorageError:
        raise
    except Exception as exc:
        raise StorageError(
            f"the stored value {path} cannot be read as {serializer.name}: "
            f"{type(exc).__name__}: {exc}"
        ) from exc


def registered() -> dict[str, str | None]:
    """Name -> why it cannot be used (None: usable), of each serializer registered in this
    process: what discovery hands over once it has imported the project."""
    found: dict[str, str | None] = {}
    for name, serializer in sorted(_registered.items()):
        missing = serializer.missing()
        found[name] = missing_message(serializer, missing) if missing else None
    return found


def availability(reported: Mapping[str, str | None]) -> dict[str, str | None]:
    """Every known serializer name -> None when it can be used, else why not.

    `reported` holds the project's own registrations as discovery saw them (`registered`
    in the process that imported the project); the built-ins and entry points are looked at
    in this process (the interpreter the workers run).
    """
    result: dict[str, str | None] = {AUTO: None}  # it picks only what can be used
    for name in known_names():
        if name == AUTO:
            continue
        try:
            serializer = get(name)
        except LookupError as exc:
            result[name] = str(exc)
            continue
        missing = serializer.missing()
        result[name] = missing_message(serializer, missing) if missing else None
    for name, problem in reported.items():
        if name not in _builtin:
            result[name] = problem
    return result


def _load_builtins() -> None:
    if not _builtin:
        from quarn.runner.store import builtin_serializers

        builtin_serializers.register_all()
