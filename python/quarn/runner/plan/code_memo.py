"""Code versions remembered: the static versions of a set of assets, reused while nothing
their reading rested on changed.

A code version is a function of the sources read (each by its stat from before it was
read), of which module files exist where a module was looked for (each folder by its stat
from before the look: a module that appears changes what an import resolves to), and of
the interpreter with its installed packages (the version of an imported distribution,
the standard library's names; `inputs.interpreter`, stat'ed before the reading began).
The request (the assets by file, function and module, the roots) names the entry; an
entry is reused exactly when all of those are as recorded. Listing the installed
distributions alone costs a quarter of a second where pandas is installed, every time a
plan is made.

Entries live in the user's private cache (`store/user_cache.py`); a damaged or unreadable
entry is no entry.
"""

from __future__ import annotations

import json
import os
from collections.abc import Mapping, Sequence

from quarn.runner.graph.model import Asset
from quarn.runner.inputs import Inputs, changed
from quarn.runner.plan.code_version import CodeVersion
from quarn.runner.store.user_cache import entry_path, keep, read_json, trim, used

_KIND = "versions"
_FORMAT = 1
KEPT = 32  # entries, those used last


def _entry_path(assets: Sequence[Asset], roots: Sequence[str]) -> str | None:
    functions = [[a.file_path, a.function_name, a.module] for a in assets]
    return entry_path(_KIND, [_FORMAT, list(roots), functions])


def recall(
    assets: Sequence[Asset], roots: Sequence[str]
) -> tuple[dict[Asset, CodeVersion], Inputs] | None:
    """The versions of `assets`, and what they rest on, when none of that changed."""
    path = _entry_path(assets, roots)
    entry = read_json(path)
    if path is None or entry is None:
        return None
    inputs = Inputs.from_json(entry.get("inputs") if isinstance(entry, dict) else None)
    versions = entry.get("versions") if isinstance(entry, dict) else None
    if inputs is None or not isinstance(versions, list) or len(versions) != len(assets):
        return None
    found: dict[Asset, CodeVersion] = {}
    for asset, version in zip(assets, versions, strict=True):
        if not (isinstance(version, list) and len(version) == 2):
            return None
        digest, sources = version
        if not isinstance(digest, str) or not _texts(sources):
            return None
        found[asset] = CodeVersion(digest, dict(sources))
    if changed(inputs):
        return None
    used(path)
    return found, inputs


def _texts(value: object) -> bool:
    return isinstance(value, dict) and all(isinstance(v, str) for v in value.values())


def remember(
    assets: Sequence[Asset],
    roots: Sequence[str],
    versions: Mapping[Asset, CodeVersion],
    inputs: Inputs,
) -> None:
    """Keeps `versions` with what they rest on; nothing when that is unsure."""
    path = _entry_path(assets, roots)
    if path is None or inputs.unsure:
        return
    entry = {
        "versions": [[versions[a].digest, versions[a].sources] for a in assets],
        "inputs": inputs.to_json(),
    }
    keep(path, json.dumps(entry, ensure_ascii=False).encode("utf-8", "surrogateescape"))
    trim(os.path.dirname(path), KEPT)
