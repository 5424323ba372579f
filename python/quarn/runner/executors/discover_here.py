"""Discovery in the process that imports the project: the discovery subprocess of `spawn` and
of the commands, the warm template of `fork`, the runner itself under `--isolation none`.

Whatever that process learns comes back in one piece, `Found`, which travels as one JSON
object (see `encode`): the inspection document, each module that could not be imported
with where and why, and the serializers the project registered while it was imported, read
from the registry itself.
"""

from __future__ import annotations

import importlib
import json
import os
import sys
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

from quarn.runner.graph.import_error import ImportFailure, import_failure
from quarn.runner.inputs import Inputs


@dataclass(slots=True)
class Found:
    # The inspection document: as the core wrote it where it was made (parsing a large
    # project's document only to write it out again would cost the run), parsed where it
    # arrives.
    text: str | None
    document: Any
    failures: list[ImportFailure] = field(default_factory=list)
    serializers: dict[str, str | None] = field(default_factory=dict)  # name -> why unusable
    note: str | None = None  # from the template: why it will not fork
    # What the imports read and searched, for a discovery remembered (`memo`); None when
    # the process that imported did not say.
    inputs: Inputs | None = None

    def parsed(self) -> dict[str, Any]:
        if self.document is None and self.text is not None:
            self.document = json.loads(self.text)
        document: dict[str, Any] = self.document
        return document


def discover_here(modules: Sequence[str], paths: Sequence[str], *, jobs_here: bool) -> Found:
    """Imports and inspects `modules` with `paths` first on the import path. With
    `jobs_here`, the jobs will run in this process or its forks: what they import by name
    is imported first, out of the project's reach. Ctrl-C raises KeyboardInterrupt.

    A module whose import raises is not inspected, so the core never reports it itself;
    what the modules print goes to standard error, so standard output stays the caller's."""
    import quarn
    from quarn._paths import prepare_imports, shielded
    from quarn._quarn import inspect_modules
    from quarn.runner.job.sources import install
    from quarn.runner.store import serializers
    from quarn.runner.trace import record as trace
    from quarn.runner.trace.folders import FolderWatch

    own = quarn.__file__ or __file__
    if jobs_here:
        with shielded(paths, own):
            importlib.import_module("quarn.runner.job.run")
            importlib.import_module("traceback")
            serializers.get(None)  # the built-in serializers, which each job would load anew
    prepare_imports(paths, own)
    # the project's declarations are read from its source as it is now, never from a
    # bytecode cache that may be older
    install({}, paths, None)
    names = list(dict.fromkeys(modules))
    sys.stdout.flush()
    saved = os.dup(1)
    os.dup2(2, 1)
    # Where jobs run, what each module's import uses counts for every job of it; anywhere,
    # what the imports read and searched is what the document rests on.
    before = set(sys.modules)
    try:
        with FolderWatch() as folders, trace.imports(for_jobs=jobs_here):
            failures = []
            for name in names:
                try:
                    importlib.import_module(name)
                except KeyboardInterrupt:
                    raise
                except BaseException as exc:  # noqa: BLE001 - as the core, which skips any
                    failures.append(import_failure(name, exc))
            failed = {f.module for f in failures}
            text = inspect_modules([m for m in names if m not in failed])
        inputs = folders.inputs().add(
            trace.used_by_imports([*names, *(m for m in list(sys.modules) if m not in before)])
        )
        if jobs_here:
            serializers.preload(_declared_serializers(text))
    finally:
        sys.stdout.flush()
        os.dup2(saved, 1)
        os.close(saved)
    return Found(text, None, failures, serializers.registered(), inputs=inputs)


def _declared_serializers(document: str) -> list[str | None]:
    """The serializer each discovered asset declares."""
    entries = json.loads(document).get("assets", [])
    metadata = [e.get("decorator_metadata") for e in entries if isinstance(e, dict)]
    return [m.get("serializer") for m in metadata if isinstance(m, dict)]


def encode(found: Found) -> bytes:
    """One JSON object, on one line; the document goes in as the text the core made."""
    document = found.text
    if document is None:
        document = json.dumps(found.document, separators=(",", ":"), ensure_ascii=False)
    rest = {
        "failures": [f.to_json() for f in found.failures],
        "serializers": found.serializers,
        "note": found.note,
        "inputs": None if found.inputs is None else found.inputs.to_json(),
    }
    tail = json.dumps(rest, separators=(",", ":"), ensure_ascii=False)
    return ('{"document":' + document + "," + tail[1:]).encode("utf-8", "surrogateescape")


def decode(item: object) -> Found | None:
    """What `encode` wrote, parsed; None when it holds no document."""
    if not isinstance(item, dict) or not isinstance(item.get("document"), dict):
        return None
    failures = item.get("failures")
    registered = item.get("serializers")
    note = item.get("note")
    return Found(
        None,
        item["document"],
        [f for f in map(ImportFailure.from_json, failures or []) if f is not None]
        if isinstance(failures, list)
        else [],
        {str(k): v if isinstance(v, str) else None for k, v in registered.items()}
        if isinstance(registered, dict)
        else {},
        note if isinstance(note, str) else None,
        Inputs.from_json(item.get("inputs")),
    )
