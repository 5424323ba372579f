"""Discovery remembered: what the imports of a project found, reused while nothing they
rested on changed, so that a run (or a command) over an unchanged project imports nothing.

What discovery finds (the inspection document, the serializers the project registers) is
a function of the request (the module names, the import folders, the current folder, the
interpreter and the variables that decide its import path) and of what the imports used:
the project's sources as they were read, the folders the import system searched, the files
and environment variables the modules read while imported (`trace.record.used_by_imports`,
`trace.folders`), and the interpreter with its installed packages
(`inputs.interpreter`, stat'ed before the imports began). An entry is reused exactly when
the request is the same (it is the entry's name) and every one of those is as recorded;
a discovery that could not say what it rested on, or where a module failed to import, is
not remembered. What the modules compute from the clock or the network is not seen, as
for jobs (docs/run.md).

Entries live in the user's private cache (`store/user_cache.py`), never in the output
directory, whoever may write there; a damaged or unreadable entry is no entry.
"""

from __future__ import annotations

import os
from collections.abc import Sequence

from quarn.runner.executors.discover_here import Found, decode, encode
from quarn.runner.inputs import Inputs, changed
from quarn.runner.store.user_cache import entry_path, keep, read_json, trim, used

_KIND = "discovery"
_FORMAT = 1
KEPT = 32  # entries, those used last: one per project and import path, mostly


def _entry_path(modules: Sequence[str], paths: Sequence[str]) -> str | None:
    request = [_FORMAT, list(modules), [os.path.abspath(p) for p in paths], os.getcwd()]
    return entry_path(_KIND, request)


def recall(modules: Sequence[str], paths: Sequence[str]) -> Found | None:
    """What discovery found for this request, when nothing it rested on has changed."""
    path = _entry_path(modules, paths)
    found = decode(read_json(path))
    if (
        path is None
        or found is None
        or found.inputs is None
        or found.failures
        or changed(found.inputs)
    ):
        return None
    used(path)
    return found


def remember(modules: Sequence[str], paths: Sequence[str], found: Found, before: Inputs) -> None:
    """Keeps what discovery found with what it rested on: `found.inputs` and `before`, the
    interpreter as it was when the imports began. Nothing is kept when a module could not
    be imported or discovery cannot say what it rested on."""
    if found.failures or found.inputs is None:
        return
    inputs = Inputs().add(before).add(found.inputs)
    if inputs.unsure:
        return
    path = _entry_path(modules, paths)
    if path is None:
        return
    kept = Found(found.text, found.document, [], found.serializers, None, inputs)
    keep(path, encode(kept))
    trim(os.path.dirname(path), KEPT)
