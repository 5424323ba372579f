"""A value as JSON text, exactly as the core's worker writes it, or a message saying what in
the value JSON cannot hold and which serializer can."""

from __future__ import annotations

import json
from collections.abc import Mapping
from typing import Any

from quarn.runner.store.serializers import StorageError

_SCALARS = (str, int, float, bool, type(None))
_LEAVES = frozenset(_SCALARS)
_SHOWN_KEYS = 3


def encode(value: Any) -> str:
    """`json.dumps(value)`, the same text as the core's worker, for every value that comes
    back as it was; a value with a key that is not a text (`{1: ...}` would come back as
    `{"1": ...}`) or an object JSON cannot hold raises StorageError saying where it is.

    Read-only mappings (a fan-in received as an input) are written as objects: the core's
    worker receives them as dicts, so returning one must keep working.
    """
    converted: dict[int, dict[Any, Any]] = {}  # each mapping read once (a fan-in reads files)

    def as_object(item: object) -> dict[Any, Any]:
        if isinstance(item, Mapping):
            return converted.setdefault(id(item), dict(item))
        raise TypeError(f"Object of type {type(item).__name__} is not JSON serializable")

    try:
        text = json.dumps(value, default=as_object)
    except (TypeError, ValueError, RecursionError) as exc:
        raise StorageError(_unencodable(value, exc)) from exc
    if _any_lossy_key(value, converted):
        raise StorageError(_keys_message(value, _lossy_keys(value)))
    return text


def is_plain(value: Any) -> bool:
    """Whether the value is made of JSON's own types alone (dicts with text keys, lists,
    texts, numbers, booleans, None), so JSON gives it back equal."""
    stack = [value]
    seen: set[int] = set()  # a container met again (shared, or a cycle) is looked at once
    while stack:
        item = stack.pop()
        kind = type(item)
        if kind in _LEAVES:
            continue
        if kind is not dict and kind is not list:
            return False
        if id(item) in seen:
            continue
        seen.add(id(item))
        if kind is dict:
            if any(type(key) is not str for key in item):
                return False
            stack.extend(item.values())
        else:
            stack.extend(item)
    return True


def _lead(value: object) -> str:
    return f"the value of type {type(value).__name__} cannot be stored as JSON"


def _keys_message(value: object, keys: list[tuple[object, str]]) -> str:
    shown = " and ".join(f"the key {k!r} ({type(k).__name__}) in {where}" for k, where in keys)
    return (
        f"{_lead(value)}: JSON object keys are texts, so {shown} would not come back as "
        f'{"they were" if len(keys) > 1 else "it was"}; declare serializer="pickle" or use '
        "text keys"
    )


def _any_lossy_key(value: Any, converted: dict[int, dict[Any, Any]]) -> bool:
    """Whether a key somewhere is not a text. Runs on every stored value, after the encoder
    accepted it (so it holds no cycle): exact types first, the general tests only for
    subclasses and other mappings; no paths, no bookkeeping."""
    stack = [value]
    pop, push = stack.pop, stack.extend
    while stack:
        item = pop()
        kind = type(item)
        if kind is dict or (kind not in _LEAVES and isinstance(item, Mapping)):
            item = converted.get(id(item), item)
            for key in item:
                if type(key) is not str and not isinstance(key, str):
                    return True
            push([c for c in item.values() if type(c) not in _LEAVES])
        elif kind is list or kind is tuple or isinstance(item, list | tuple):
            push([c for c in item if type(c) not in _LEAVES])
    return False


def _lossy_keys(value: Any) -> list[tuple[object, str]]:
    """Up to a few keys that are not texts, with where they are (for the message)."""
    found: list[tuple[object, str]] = []
    seen: set[int] = set()
    stack: list[tuple[Any, str]] = [(value, "value")]
    while stack and len(found) < _SHOWN_KEYS:
        item, where = stack.pop()
        if id(item) in seen:
            continue
        seen.add(id(item))
        if isinstance(item, Mapping):
            for key, child in item.items():
                if not isinstance(key, str) and len(found) < _SHOWN_KEYS:
                    found.append((key, where))
                if not isinstance(child, _SCALARS):
                    stack.append((child, f"{where}[{key!r}]"))
        elif isinstance(item, list | tuple):
            for index, child in enumerate(item):
                if not isinstance(child, _SCALARS):
                    stack.append((child, f"{where}[{index}]"))
    return found


def _unencodable(value: Any, exc: BaseException) -> str:
    if isinstance(exc, RecursionError):
        return f"{_lead(value)}: it is nested too deeply"
    if isinstance(exc, ValueError) and "ircular" in str(exc):
        return f'{_lead(value)}: it contains itself; declare serializer="pickle"'
    keys = _lossy_keys(value)
    if any(not isinstance(k, _SCALARS) for k, _ in keys):
        return _keys_message(value, keys)
    found = _first_foreign(value)
    if found is None:
        return f"{_lead(value)}: {exc}"
    item, where = found
    if where == "value":
        return f"{_lead(value)}; declare serializer={_suggestion(item)}"
    return f'{_lead(value)}: {where} is of type {type(item).__name__}; declare serializer="pickle"'


def _first_foreign(value: Any) -> tuple[object, str] | None:
    """The first object (depth first, in order) that JSON cannot hold, and where it is."""
    seen: set[int] = set()
    stack: list[tuple[Any, str]] = [(value, "value")]
    while stack:
        item, where = stack.pop()
        if isinstance(item, _SCALARS) or id(item) in seen:
            continue
        seen.add(id(item))
        if isinstance(item, Mapping):
            stack.extend((c, f"{where}[{k!r}]") for k, c in reversed(list(item.items())))
        elif isinstance(item, list | tuple):
            stack.extend((c, f"{where}[{i}]") for i, c in reversed(list(enumerate(item))))
        else:
            return item, where
    return None


def _suggestion(item: object) -> str:
    """The serializers that store this kind of value, best first."""
    kind = type(item)
    name = f"{kind.__module__.split('.')[0]}.{kind.__name__}"
    if name in ("pandas.DataFrame", "polars.DataFrame", "pyarrow.Table"):
        return '"parquet" or "pickle"'
    if name == "numpy.ndarray":
        return '"numpy" or "pickle"'
    return '"pickle"'
