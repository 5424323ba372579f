"""What a result was computed from, by what identifies each piece now, and whether all of it
is still so: files and folders by their stat, environment variables by a digest of their
value.

A reused result is sound exactly when every fact it was computed from is unchanged. Each
stat here is taken before the piece was used (a folder before it was listed, a file before
it was read) or is the one the store already trusts for that content (a value file's, a
recorded dependency's): a later change moves the size, the modification or change time
(which no user can set back) or the inode, so the same stat means the same bytes, as the
store assumes for value files. A path that was absent counts by its absence. What cannot be
identified this way (a module loaded from elsewhere than a file read while it was recorded)
makes the whole `unsure`, and a result that rests on it is never reused.
"""

from __future__ import annotations

import hashlib
import os
import sys
from collections.abc import Iterable, Mapping
from typing import Any

Stat = list[int] | None


def stat_key(path: str) -> list[int] | None:
    """What identifies a file's (or folder's) content while it is the same: size,
    modification and change times, inode. None when there is nothing at `path`."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    return [st.st_size, st.st_mtime_ns, st.st_ctime_ns, st.st_ino]


def text_digest(value: str) -> str:
    """What identifies an environment variable's value: its SHA-256."""
    return hashlib.sha256(value.encode("utf-8", "surrogateescape")).hexdigest()


class Inputs:
    """Paths (absolute) with their stat, variables with the digest of their value (None:
    unset); `unsure` says why the whole cannot be trusted, when it cannot."""

    __slots__ = ("env", "paths", "unsure")

    def __init__(
        self,
        paths: Mapping[str, Stat] | None = None,
        env: Mapping[str, str | None] | None = None,
        unsure: str = "",
    ) -> None:
        self.paths: dict[str, Stat] = dict(paths or {})
        self.env: dict[str, str | None] = dict(env or {})
        self.unsure = unsure

    def path(self, path: str, stat: Stat) -> None:
        """One more path. Seen twice with two stats, it changed while it was used."""
        known = self.paths.setdefault(path, stat)
        if known != stat and not self.unsure:
            self.unsure = f"{path} changed while it was used"

    def variable(self, name: str, digest: str | None) -> None:
        known = self.env.setdefault(name, digest)
        if known != digest and not self.unsure:
            self.unsure = f"environment {name} changed while it was used"

    def add(self, other: Inputs) -> Inputs:
        for path, stat in other.paths.items():
            self.path(path, stat)
        for name, digest in other.env.items():
            self.variable(name, digest)
        if other.unsure and not self.unsure:
            self.unsure = other.unsure
        return self

    def to_json(self) -> dict[str, Any]:
        return {"paths": self.paths, "env": self.env, "unsure": self.unsure}

    @classmethod
    def from_json(cls, data: object) -> Inputs | None:
        """What `to_json` wrote; None when it is not that. A stat or digest of another shape
        is kept as it is: it equals no real one, so it counts as changed."""
        if not isinstance(data, dict):
            return None
        paths, env, unsure = data.get("paths"), data.get("env"), data.get("unsure")
        if not isinstance(paths, dict) or not isinstance(env, dict) or not isinstance(unsure, str):
            return None
        return cls(paths, env, unsure)


def changed(inputs: Inputs, environ: Mapping[str, str] | None = None) -> str:
    """The first piece of `inputs` that is not as recorded ("" when none is), looked at
    now: a stat per path, a digest per variable."""
    if inputs.unsure:
        return inputs.unsure
    stat = os.stat
    for path, recorded in inputs.paths.items():
        try:
            st = stat(path)
        except OSError:
            if recorded is not None:
                return f"{path} is gone"
            continue
        if recorded != [st.st_size, st.st_mtime_ns, st.st_ctime_ns, st.st_ino]:
            return f"{path} changed"
    environ = os.environ if environ is None else environ
    for name, digest in inputs.env.items():
        value = environ.get(name)
        if (None if value is None else text_digest(value)) != digest:
            return f"environment {name} changed"
    return ""


def interpreter() -> Inputs:
    """The interpreter and what it imports from outside the project: its executable, every
    folder of its import path (installing, removing or upgrading a package changes its
    site folder), the site folders themselves, and quarn's own files."""
    import site

    import quarn

    found = Inputs()
    folders: list[str] = [p for p in sys.path if isinstance(p, str)]
    try:
        folders += site.getsitepackages()
    except AttributeError:  # an interpreter started without its site module's functions
        pass
    user = getattr(site, "USER_SITE", None)
    if isinstance(user, str):
        folders.append(user)
    own = os.path.dirname(os.path.realpath(quarn.__file__ or __file__))
    core = getattr(sys.modules.get("quarn._quarn"), "__file__", None)
    files = [os.path.realpath(sys.executable), own, os.path.join(own, "__init__.py")]
    files += [__file__] + ([core] if isinstance(core, str) else [])
    for path in _absolute([*files, *folders]):
        found.path(path, stat_key(path))
    return found


def _absolute(paths: Iterable[str]) -> list[str]:
    return list(dict.fromkeys(os.path.abspath(p or os.curdir) for p in paths))


def request_environment() -> dict[str, str]:
    """The environment variables that decide how the interpreter starts and finds its
    modules (PYTHONPATH, PYTHONHOME, ...): part of what a remembered answer was asked."""
    return {k: v for k, v in sorted(os.environ.items()) if k.startswith("PYTHON")}
