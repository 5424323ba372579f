"""The import path of the command stubs: the host's standard modules first, from the standard
library only; then project folders first, never the stub's own folder."""

from __future__ import annotations

import contextlib
import os
import sys
from collections.abc import Iterator, Sequence


def own_folder(stub_file: str) -> str:
    """The folder of a stub. It is this package's, which holds a file named like the
    standard `inspect`: were it on the import path (a stub run by its file path, or
    `python -m` from inside the package), every `import inspect` would find that file."""
    return os.path.dirname(os.path.realpath(stub_file))


def same_folder(entry: object, folder: str) -> bool:
    # sys.path may hold things other than text; those name no folder of ours.
    return isinstance(entry, str) and os.path.realpath(entry or os.curdir) == folder


# The import path this module last set, and what it was set from: a forked job, or the next
# job of a run without isolation, finds it as it was left and has nothing to do.
_LAST_SET: tuple[tuple[str, ...], str, str, list[str]] | None = None


def set_import_path(directories: Sequence[str], stub_file: str) -> None:
    """Puts `directories` first on sys.path, in the order given, then the current directory
    as `python -m` does (unless -P asked for a safe path), and takes the stub's own folder
    off."""
    global _LAST_SET
    asked = (tuple(directories), stub_file, os.getcwd())
    if _LAST_SET is not None and _LAST_SET[:3] == asked and _LAST_SET[3] == sys.path:
        return
    _set_import_path(directories, stub_file)
    _LAST_SET = (*asked, list(sys.path))


def _set_import_path(directories: Sequence[str], stub_file: str) -> None:
    own = own_folder(stub_file)
    sys.path[:] = [entry for entry in sys.path if not same_folder(entry, own)]
    front = [os.path.abspath(directory) for directory in directories]
    cwd = os.path.realpath(os.getcwd())
    if (
        not sys.flags.safe_path
        and cwd != own
        and not any(same_folder(entry, cwd) for entry in sys.path + front)
    ):
        front.append(cwd)
    sys.path[:0] = front


# The standard modules the native core imports by name, in discovery (`inspect_modules`, and
# `json` for the metadata and partition keys of the assets it imports) and in a run
# (`materialize_asset`). `sys` and `builtins` are built into the interpreter and cannot be
# shadowed by a file.
HOST_MODULES = ("importlib", "inspect", "json", "pathlib", "textwrap")


@contextlib.contextmanager
def shielded(directories: Sequence[str], stub_file: str) -> Iterator[None]:
    """Takes the project folders, the current directory and the stub's own folder off the
    import path for the block, so that what is imported in it cannot be a project file
    named like a standard module (`textwrap.py`, `json.py`) or a sibling stub: once
    imported, the host's module is the one every later import finds."""
    hidden = [os.path.realpath(d) for d in (*directories, os.curdir)] + [own_folder(stub_file)]
    saved = list(sys.path)
    sys.path[:] = [entry for entry in saved if not any(same_folder(entry, d) for d in hidden)]
    try:
        yield
    finally:
        sys.path[:] = saved


def import_host_modules(directories: Sequence[str], stub_file: str) -> None:
    """Imports HOST_MODULES (and so what they import) `shielded` from the project. Once they
    are imported (a forked job, the next job of a run without isolation), every later import
    finds them: nothing is left to shield."""
    if all(name in sys.modules for name in HOST_MODULES):
        return
    with shielded(directories, stub_file):
        for name in HOST_MODULES:
            __import__(name)


def prepare_imports(directories: Sequence[str], stub_file: str) -> None:
    """What both command stubs do before calling the native core: shield the host's modules
    (`import_host_modules`), then set the import path (`set_import_path`)."""
    import_host_modules(directories, stub_file)
    set_import_path(directories, stub_file)
