"""The value a fan-in receives: upstream member -> value, each read from its file on access."""

from __future__ import annotations

from collections.abc import Iterator, Mapping
from typing import Any

from quarn.runner.contract import InputSource
from quarn.runner.store.serializers import Serializer, read_value
from quarn.runner.trace import record


def read_input(serializer: Serializer, path: str, source: InputSource) -> Any:
    """An upstream value, the digest of the bytes read noted in the job's record."""
    return record.read_input(path, source, lambda: read_value(serializer, path))


class FanIn(Mapping[str, Any]):
    """A read-only mapping from member name (the compact JSON text of the upstream key) to
    the upstream value, in the upstream's key order.

    Nothing is read until a member is asked for, and nothing is kept: a fan-in over
    thousands of large partitions holds only the values the function keeps. Reading a
    member twice reads its file twice; keep the value when it is needed again.
    """

    __slots__ = ("_files",)

    def __init__(self, files: dict[str, tuple[Serializer, str, InputSource]]) -> None:
        self._files = files

    def __getitem__(self, member: str) -> Any:
        return read_input(*self._files[member])

    def __iter__(self) -> Iterator[str]:
        return iter(self._files)

    def __len__(self) -> int:
        return len(self._files)

    def __contains__(self, member: object) -> bool:
        return member in self._files

    def __repr__(self) -> str:
        return f"FanIn({list(self._files)!r})"

    def __reduce__(self) -> tuple[Any, ...]:
        # Stored (by pickle, say) as the plain dict of its values.
        return (dict, (dict(self.items()),))
