"""Shared fixtures: throw-away user modules on sys.path, and the module's panic class."""

from __future__ import annotations

import importlib
import os
import sys
import textwrap
from collections.abc import Iterator
from pathlib import Path

import pytest
from discovery_model import changed_while_read


class ModuleFactory:
    """Writes small modules into a private directory that is on sys.path for one test."""

    def __init__(self, root: Path) -> None:
        self.root = root
        self.names: list[str] = []

    def write(self, name: str, source: str) -> Path:
        """Writes module `name` (dots make packages) and returns its file path."""
        parts = name.split(".")
        directory = self.root
        for package in parts[:-1]:
            directory = directory / package
            directory.mkdir(exist_ok=True)
            (directory / "__init__.py").touch()
        path = directory / f"{parts[-1]}.py"
        path.write_text(textwrap.dedent(source), encoding="utf-8")
        self.names.append(parts[0])
        importlib.invalidate_caches()
        return path

    def load(self, name: str, source: str):
        """Writes module `name` and imports it."""
        self.write(name, source)
        return importlib.import_module(name)


@pytest.fixture
def modules(tmp_path: Path) -> Iterator[ModuleFactory]:
    root = tmp_path / "modules"
    root.mkdir()
    factory = ModuleFactory(root)
    sys.path.insert(0, str(root))
    try:
        yield factory
    finally:
        sys.path.remove(str(root))
        for top in set(factory.names):
            for loaded in [m for m in sys.modules if m == top or m.startswith(top + ".")]:
                del sys.modules[loaded]


@pytest.fixture(scope="session")
def panic_type() -> type[BaseException]:
    """The module's PanicException class, from an internal failure."""
    with pytest.raises(BaseException) as info:
        changed_while_read()
    return type(info.value)


@pytest.fixture(autouse=True, scope="session")
def _code_cache_of_the_tests(tmp_path_factory: pytest.TempPathFactory) -> None:
    """Spawned jobs keep compiled code in the user's cache folder: here, the tests' own."""
    os.environ["XDG_CACHE_HOME"] = str(tmp_path_factory.mktemp("user-cache"))
