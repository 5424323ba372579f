"""Canonical JSON text and short hashes: the identities of keys, declarations and versions."""

from __future__ import annotations

import hashlib
import json
from collections.abc import Iterable, Mapping
from typing import Any


def canonical_json(value: Any) -> str:
    """The one text of a JSON value used for identities and hashes: sorted, compact."""
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def short_hash(text: str, length: int = 12) -> str:
    return hashlib.sha256(text.encode("utf-8")).hexdigest()[:length]


def key_label(key: Mapping[str, Any], dims: Iterable[str] | None = None) -> str:
    """A key combination as a person reads it, `ticker=AAPL, day=2026-01-05`: strings as
    they are, other keys as JSON, dimensions in the order of `dims` (their declared order)
    when given."""
    order = list(key)
    if dims is not None:
        declared = [d for d in dims if d in key]
        order = declared + [d for d in key if d not in declared]
    return ", ".join(
        f"{d}={key[d] if isinstance(key[d], str) else canonical_json(key[d])}" for d in order
    )
