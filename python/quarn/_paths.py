"""The import path of the command stubs: project folders first, never the stub's own folder."""

from __future__ import annotations

import os
import sys
from collections.abc import Sequence


def own_folder(stub_file: str) -> str:
    """The folder of a stub. It is this package's, which holds a file named like the
    standard `inspect`: were it on the import path (a stub run by its file path, or
    `python -m` from inside the package), every `import inspect` would find that file."""
    return os.path.dirname(os.path.realpath(stub_file))


def same_folder(entry: object, folder: str) -> bool:
    # sys.path may hold things other than text; those name no folder of ours.
    return isinstance(entry, str) and os.path.realpath(entry or os.curdir) == folder


def set_import_path(directories: Sequence[str], stub_file: str) -> None:
    """Puts `directories` first on sys.path, in the order given, then the current directory
    as `python -m` does (unless -P asked for a safe path), and takes the stub's own folder
    off."""
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
