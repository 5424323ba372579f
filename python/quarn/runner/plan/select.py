"""What a run plans: the selected assets with their upstreams, and the kept partition keys."""

from __future__ import annotations

import difflib
import json
import shlex
from collections.abc import Iterable
from typing import Any

from quarn.runner.canonical import canonical_json
from quarn.runner.contract import module_reference
from quarn.runner.graph.model import Asset, Graph

# A run that would start more jobs than this asks for confirmation first.
CONFIRM_ABOVE_JOBS = 100_000


class PlanError(Exception):
    """A request that cannot be planned (unknown asset or partition key); exit status 2."""


def parse_partition_option(text: str) -> tuple[str, Any]:
    """DIM=KEY; KEY is read as JSON when it parses, else taken as a string."""
    dim, sep, raw = text.partition("=")
    if not sep or not dim:
        raise PlanError(f"--partition expects DIM=KEY, got '{text}'")
    return dim, json_or_text(raw)


def json_or_text(raw: str) -> Any:
    """A value typed on a command line: its JSON value when it reads as JSON, else the text
    itself (so `AAPL` needs no quotes, and `'"2008"'` is the string 2008)."""
    try:
        return json.loads(raw)
    except ValueError:
        return raw


def select(graph: Graph, names: Iterable[str]) -> list[Asset]:
    """The assets to plan, in dependency order: the named ones and all their upstreams.

    A name matches an asset's label (declared name, else function name), its display name,
    its module form (`package.module:function`) or its reference (`/path/file.py:function`).
    No names means every asset.
    """
    names = list(names)
    if not names:
        return list(graph.order)
    wanted: set[Asset] = set()
    for name in names:
        wanted.add(find_asset(graph, name))
    stack = list(wanted)
    while stack:
        for up in stack.pop().upstream.values():
            if up not in wanted:
                wanted.add(up)
                stack.append(up)
    return [a for a in graph.order if a in wanted]


def find_asset(graph: Graph, name: str) -> Asset:
    """The asset `name` names; an error lists the candidates when it names several, or the
    closest names when it names none."""
    matches = [
        a
        for a in graph.assets
        if name in (a.label, a.display, a.ref)
        or name in {module_reference(m, a.function_name) for m in a.modules}
    ]
    if len(matches) == 1:
        return matches[0]
    if matches:
        listed = "; ".join(
            f"'{a.display}' ({module_reference(a.module, a.function_name)})" for a in matches
        )
        raise PlanError(
            f"--select '{name}' names {len(matches)} assets: {listed}; "
            "select one by the name shown or by module:function"
        )
    known = sorted({a.display for a in graph.assets} | {a.label for a in graph.assets})
    close = difflib.get_close_matches(name, known, n=3, cutoff=0.6)
    hint = f"; did you mean {' or '.join(repr(c) for c in close)}?" if close else ""
    raise PlanError(f"--select '{name}' matches no asset{hint}")


def restrict(assets: list[Asset], options: list[tuple[str, Any]]) -> dict[str, set[str]]:
    """Keys kept per restricted dimension, as canonical JSON texts.

    Several options for one dimension keep the union of their keys. Every planned asset
    with that dimension is restricted; one left with none of the keys is an error that
    lists the keys it has.
    """
    kept: dict[str, set[str]] = {}
    for dim, value in options:
        kept.setdefault(dim, set()).add(canonical_json(value))
    for dim, texts in kept.items():
        having = [a for a in assets if dim in a.dims]
        if not having:
            known = sorted({d for a in assets for d in a.dims})
            raise PlanError(
                f"--partition {dim}=...: no planned asset has a dimension '{dim}'"
                + choices([dim], known, "dimensions", "'{}'")
            )
        for asset in having:
            keys = asset.dims[dim]
            if not any(k in texts for k, _ in keys):
                shown = ", ".join(sorted(texts))
                hint = _key_hint(dim, texts, keys)
                raise PlanError(
                    f"--partition {dim}=...: asset '{asset.display}' has no key {shown} "
                    f"in dimension '{dim}'{hint}"
                    + choices(
                        [] if hint else [_typed(json.loads(t)) for t in sorted(texts)],
                        [_typed(v) for _, v in keys],
                        "keys",
                        dim + "={}",
                    )
                )
    return kept


# The most valid names or keys an error lists.
_LISTED = 10


def choices(given: list[str], known: list[str], what: str, shown: str) -> str:
    """`; did you mean 'region'?; valid dimensions: day, region`, the list shortened past
    ten; the guess, formatted by `shown`, when one of `given` is close to one of `known`."""
    close = [c for g in given for c in difflib.get_close_matches(g, known, n=1)]
    guess = f"; did you mean {shown.format(close[0])}?" if close else ""
    if not known:
        return f"{guess}; the planned assets have no {what}"
    listed = ", ".join(known[:_LISTED])
    more = f" and {len(known) - _LISTED} more" if len(known) > _LISTED else ""
    return f"{guess}; valid {what}: {listed}{more}"


def _key_hint(dim: str, texts: set[str], keys: list[tuple[str, Any]]) -> str:
    """The option to type when a given key has the text of a key of another JSON type
    (`year=2008` where the keys are the strings "2008")."""
    given = {_plain(json.loads(t)) for t in texts}
    for _, value in keys:
        if _plain(value) in given:
            return f"; did you mean {dim}={_typed(value)}?"
    return ""


def _typed(value: Any) -> str:
    """A key as typed after DIM= on a shell's command line: a string as itself unless it
    would read as JSON, anything else as its JSON text."""
    text = value if isinstance(value, str) and not _reads_as_json(value) else canonical_json(value)
    return shlex.quote(text)


def _plain(value: Any) -> str:
    return value if isinstance(value, str) else canonical_json(value)


def _reads_as_json(text: str) -> bool:
    try:
        json.loads(text)
    except ValueError:
        return False
    return True


def kept_keys(asset: Asset, dim: str, kept: dict[str, set[str]]) -> list[tuple[str, Any]]:
    keys = asset.dims[dim]
    if dim in kept:
        keys = [(t, v) for t, v in keys if t in kept[dim]]
    return keys


def count_jobs(assets: list[Asset], kept: dict[str, set[str]]) -> int:
    """How many jobs a plan would hold, without building it."""
    total = 0
    for asset in assets:
        count = 1
        for dim in asset.dims:
            count *= len(kept_keys(asset, dim, kept))
        total += count
    return total
