"""The folders the import system searched while the project was imported, each with its
stat from before it was listed.

What a module name resolves to depends on what those folders hold: a new module file
beside the others (a new module of a package), or one of the same name earlier on the
import path, changes it. Adding, removing or renaming an entry changes its folder's stat,
so a folder whose stat is the one recorded here still resolves every name as it did. The
interpreter's own folders (the standard library, site-packages) count apart, with the
interpreter (`inputs.interpreter`).
"""

from __future__ import annotations

import os
import sys
from collections.abc import Sequence
from importlib.machinery import ModuleSpec
from types import ModuleType

from quarn.runner.inputs import Inputs, stat_key
from quarn.runner.project import library_folder


class FolderWatch:
    """A finder first on `sys.meta_path` that finds nothing: it notes the folders the
    finders after it are about to search (the import path for a top-level module, the
    package's path for a submodule)."""

    def __init__(self) -> None:
        self.folders: dict[str, list[int] | None] = {}

    def find_spec(
        self, fullname: str, path: Sequence[str] | None, target: ModuleType | None = None
    ) -> ModuleSpec | None:
        for entry in sys.path if path is None else path:
            if isinstance(entry, str) and entry not in self.folders:
                folder = os.path.abspath(entry or os.curdir)
                self.folders[entry] = None if library_folder(folder + os.sep) else stat_key(folder)
        return None

    def __enter__(self) -> FolderWatch:
        sys.meta_path.insert(0, self)
        return self

    def __exit__(self, *_: object) -> None:
        if self in sys.meta_path:
            sys.meta_path.remove(self)

    def inputs(self) -> Inputs:
        """The folders searched, each with the stat it had before it was searched."""
        found = Inputs()
        for entry, stat in self.folders.items():
            folder = os.path.abspath(entry or os.curdir)
            if not library_folder(folder + os.sep):
                found.path(folder, stat)
        return found
