"""A module that could not be imported: where, why, and through which imports, as one block.

The process that imports the project catches the exception and keeps what a person needs
from it; the commands print it like a compiler's error, and the run stops:

    pipelines/helpers.py:2: error: cannot import module 'pipelines.sales': NameError: ...
      from pipelines/sales.py:1
"""

from __future__ import annotations

import os
import sysconfig
import traceback
from dataclasses import dataclass
from typing import Any

from quarn.runner.text import one_line

_CHAIN_SHOWN = 5


@dataclass(frozen=True, slots=True)
class ImportFailure:
    module: str
    error: str  # "NameError: name 'x' is not defined"
    place: str = ""  # "file:line" of the innermost project code; "" when none was reached
    via: tuple[str, ...] = ()  # the imports that led there, innermost first ("file:line")

    def text(self, prog: str) -> str:
        """The block: without a place, the error is the command's own."""
        head = f"{self.place}: error: " if self.place else f"{prog}: error: "
        lines = [f"{head}cannot import module '{self.module}': {self.error}"]
        lines += [f"  from {where}" for where in self.via]
        return "".join(one_line(line) + "\n" for line in lines)

    def to_json(self) -> dict[str, Any]:
        return {"module": self.module, "error": self.error, "place": self.place, "via": self.via}

    @staticmethod
    def from_json(item: object) -> ImportFailure | None:
        if not isinstance(item, dict) or not isinstance(item.get("module"), str):
            return None
        via = item.get("via")
        return ImportFailure(
            item["module"],
            str(item.get("error", "")),
            str(item.get("place", "")),
            tuple(str(v) for v in via) if isinstance(via, list) else (),
        )


def import_failure(module: str, exc: BaseException) -> ImportFailure:
    """What `exc`, raised while importing `module`, tells a person. The place is the
    innermost frame of the project's code (neither the import system's nor a library's):
    where a library raised, the line of the project that called it. A project installed
    among the libraries is placed in them."""
    error = traceback.format_exception_only(type(exc), exc)[-1].strip()
    frames = [(f.filename, f.lineno) for f in traceback.extract_tb(exc.__traceback__)]
    if isinstance(exc, SyntaxError) and exc.filename and exc.lineno:
        frames.append((exc.filename, exc.lineno))  # the file that could not be compiled
    kinds = [_kind(filename) for filename, _ in frames]
    wanted = _PROJECT if _PROJECT in kinds else _LIBRARY
    chain = [
        f"{name}:{line}" for (name, line), kind in zip(frames, kinds, strict=True) if kind == wanted
    ]
    if not chain:
        return ImportFailure(module, error)
    chain.reverse()
    return ImportFailure(module, error, chain[0], tuple(chain[1 : 1 + _CHAIN_SHOWN]))


_OURS, _LIBRARY, _PROJECT = range(3)


def _folders(*names: str) -> tuple[str, ...]:
    paths = sysconfig.get_paths()
    return tuple(sorted({os.path.realpath(paths[n]) for n in names if n in paths}))


_QUARN = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
_LIBRARIES = _folders("purelib", "platlib")
_STANDARD = _folders("stdlib", "platstdlib")  # may hold the libraries' folder: looked at last


def _kind(filename: str) -> int:
    if filename.startswith("<"):  # the import system's frozen modules, code given as text
        return _OURS
    real = os.path.realpath(filename)
    if real.startswith(_QUARN + os.sep):
        return _OURS
    if any(real.startswith(folder + os.sep) for folder in _LIBRARIES):
        return _LIBRARY
    if any(real.startswith(folder + os.sep) for folder in _STANDARD):
        return _OURS
    return _PROJECT
