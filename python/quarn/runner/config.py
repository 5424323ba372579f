"""The project file: the nearest `pyproject.toml` with a `[tool.quarn]` table, and what it sets.

Paths in the table are relative to the folder that holds the file (the project root), never
to the current directory, so a command does the same thing from any folder of the project.
Each key has one reader below; a key the table does not know is an error that names the
closest known one.
"""

from __future__ import annotations

import datetime
import difflib
import math
import os
import tomllib
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any

PROJECT_FILE = "pyproject.toml"
TABLE = "[tool.quarn]"
# The output directory without an option and without a project file that names one: `out`
# in the current directory, or in the project root when there is a project file.
DEFAULT_OUT = "out"


class ConfigError(Exception):
    """A project file that cannot be used; the message names the file (and the key)."""


@dataclass(frozen=True, slots=True)
class Settings:
    """What the project file sets, None or empty where it is silent; paths are absolute."""

    root: str | None = None  # the folder holding the file; None without a project file
    file: str | None = None
    modules: tuple[str, ...] = ()  # module words, resolved from the root
    out: str | None = None
    jobs: int | None = None
    isolation: str | None = None
    paths: tuple[str, ...] = ()  # import folders
    executor: str | None = None
    scheduler: str | None = None
    serializer: str | None = None  # how values of assets that declare none are stored
    params: Mapping[str, Any] = field(default_factory=dict)  # run parameter -> JSON value


# A key's reader: the TOML value and the project root in, the setting out; a ValueError says
# what is wrong with the value.
_Reader = Callable[[Any, str], Any]


def _text(value: Any, root: str) -> str:
    if not isinstance(value, str) or not value:
        raise ValueError(f"expected a non-empty string, not {_shown(value)}")
    return value


def _words(value: Any, root: str) -> tuple[str, ...]:
    if not isinstance(value, list) or not value:
        raise ValueError(f'expected a list of strings like ["pipelines"], not {_shown(value)}')
    return tuple(_text(item, root) for item in value)


def _folder(value: Any, root: str) -> str:
    return os.path.normpath(os.path.join(root, os.path.expanduser(_text(value, root))))


def _folders(value: Any, root: str) -> tuple[str, ...]:
    return tuple(_folder(item, root) for item in _words(value, root))


def _count(value: Any, root: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValueError(f"expected a whole number of at least 1, not {_shown(value)}")
    return value


def _params(value: Any, root: str) -> dict[str, Any]:
    if not isinstance(value, dict):
        raise ValueError(f"expected a table ([tool.quarn.params]), not {_shown(value)}")
    return {name: _json(item, name) for name, item in value.items()}


def _json(value: Any, where: str) -> Any:
    """A TOML value as the JSON value a job receives; dates and times have none."""
    if isinstance(value, datetime.date | datetime.time):
        raise ValueError(f"{where}: a date or time is not a JSON value; write it as a string")
    if isinstance(value, float) and not math.isfinite(value):
        raise ValueError(f"{where}: {value} is not a JSON number")
    if isinstance(value, list):
        return [_json(item, where) for item in value]
    if isinstance(value, dict):
        return {name: _json(item, f"{where}.{name}") for name, item in value.items()}
    return value


# Every key of the table and its reader; the key is also the Settings field it sets.
_KEYS: dict[str, _Reader] = {
    "modules": _words,
    "out": _folder,
    "jobs": _count,
    "isolation": _text,
    "paths": _folders,
    "executor": _text,
    "scheduler": _text,
    "serializer": _text,
    "params": _params,
}


def _shown(value: Any) -> str:
    return repr(value) if not isinstance(value, dict) else "a table"


def load_settings(project: str | None, cwd: str) -> Settings:
    """The settings of the project file named by `project` (a folder or the file itself),
    else of the nearest one above `cwd`; no settings without either."""
    if project is not None:
        path = os.path.abspath(os.path.join(cwd, project))
        file = path if os.path.isfile(path) else os.path.join(path, PROJECT_FILE)
        if not os.path.isfile(file):
            raise ConfigError(f"--project {project}: there is no {file}")
        table = _table(file)
        if table is None:
            raise ConfigError(f"{file} has no {TABLE} table")
        return read_settings(file, table)
    found = find_project(cwd)
    return Settings() if found is None else read_settings(*found)


def find_project(start: str) -> tuple[str, dict[str, Any]] | None:
    """The nearest project file at or above `start` and its table."""
    folder = os.path.abspath(start)
    while True:
        file = os.path.join(folder, PROJECT_FILE)
        table = _table(file) if os.path.isfile(file) else None
        if table is not None:
            return file, table
        parent = os.path.dirname(folder)
        if parent == folder:
            return None
        folder = parent


def read_settings(file: str, table: dict[str, Any]) -> Settings:
    root = os.path.dirname(file)
    values: dict[str, Any] = {}
    for key, value in table.items():
        reader = _KEYS.get(key)
        if reader is None:
            close = difflib.get_close_matches(key, list(_KEYS), n=1)
            hint = f"; did you mean '{close[0]}'?" if close else f"; known: {', '.join(_KEYS)}"
            raise ConfigError(f"{file}: {TABLE} has no key '{key}'{hint}")
        try:
            values[key] = reader(value, root)
        except ValueError as exc:
            raise ConfigError(f"{file}: {TABLE} {key}: {exc}") from None
    return Settings(root=root, file=file, **values)


def settle(
    given: dict[str, Any], settings: Settings, cwd: str, out_default: str | None = DEFAULT_OUT
) -> tuple[dict[str, Any], set[str]]:
    """The options of a command or of a call completed by the project file, and the names of
    those the file gave. `given` holds the options the caller has, None (or an empty list)
    where it was left out; an option given overrides the file, `path` folders come before
    the file's `paths` and the root. Adds `root` (None without a project file) and `base`,
    the folder module words are relative to: the root for the file's words, `cwd` for
    those given."""
    done = dict(given)
    taken: set[str] = set()
    done["root"], done["base"] = settings.root, cwd
    if "modules" in done and not done["modules"] and settings.modules:
        done["modules"], done["base"] = list(settings.modules), settings.root
        taken.add("modules")
    if "path" in done:
        root = [settings.root] if settings.root else []
        done["path"] = [*done["path"], *settings.paths, *root]

    def take(name: str, value: object) -> None:
        if value is not None and name in done and done[name] is None:
            done[name] = value
            taken.add(name)

    # Where the jobs run is the caller's when it says anything about it.
    if all(done.get(o) is None for o in ("executor", "scheduler", "isolation")):
        take("executor", settings.executor)
    if done.get("executor") != "local":  # a scheduler is a Dask setting
        take("scheduler", settings.scheduler)
    dask = done.get("executor") == "dask" or done.get("scheduler") is not None
    if not dask or settings.isolation != "none":  # none runs the jobs here, never on Dask
        take("isolation", settings.isolation)
    take("jobs", settings.jobs)
    take("serializer", settings.serializer)
    if settings.out is None and settings.root is not None and out_default is not None:
        take("out", os.path.join(settings.root, out_default))  # the project's, not the cwd's
    take("out", settings.out or out_default)
    return done, taken


def _table(file: str) -> dict[str, Any] | None:
    """The file's `[tool.quarn]` table, None when it has none. A file that does not mention
    quarn is another tool's business, even when it is not valid TOML."""
    try:
        with open(file, "rb") as handle:
            data = handle.read()
    except OSError as exc:
        raise ConfigError(f"cannot read {file}: {exc.strerror or exc}") from None
    if b"quarn" not in data:
        return None
    try:
        document = tomllib.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, tomllib.TOMLDecodeError) as exc:
        raise ConfigError(f"{file}: not valid TOML: {exc}") from None
    tool = document.get("tool")
    table = tool.get("quarn") if isinstance(tool, dict) else None
    if table is not None and not isinstance(table, dict):
        raise ConfigError(f"{file}: tool.quarn must be a table ({TABLE}), not {_shown(table)}")
    return table
