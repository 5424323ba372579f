"""Data frames and tables as Parquet or Arrow IPC files, read back as the kind stored.

pandas and polars frames and pyarrow tables all pass through a pyarrow table; the kind of
the stored object is recorded in the file's schema metadata, so the reader hands the
downstream a pandas frame for a pandas frame, and so on.
"""

from __future__ import annotations

import json
import sys
from typing import TYPE_CHECKING, Any

from quarn.runner.store.serializers import StorageError

if TYPE_CHECKING:
    import pyarrow as pa

KIND_KEY = b"quarn.kind"
PANDAS, POLARS, ARROW = "pandas", "polars", "arrow"
# Where pandas keeps `DataFrame.attrs` in a Parquet file, so pandas itself reads them too.
_PANDAS_ATTRS = b"PANDAS_ATTRS"


def kind_of(value: object) -> str | None:
    """Which kind of table `value` is, judged only by libraries already imported: a value
    of a library nobody imported cannot be that library's."""
    pandas = sys.modules.get("pandas")
    if pandas is not None and isinstance(value, pandas.DataFrame):
        return PANDAS
    polars = sys.modules.get("polars")
    if polars is not None and isinstance(value, polars.DataFrame):
        return POLARS
    pyarrow = sys.modules.get("pyarrow")
    if pyarrow is not None and isinstance(value, pyarrow.Table):
        return ARROW
    return None


def to_table(value: object, format_name: str) -> pa.Table:
    import pyarrow as pa

    kind = kind_of(value)
    if kind is None:
        raise StorageError(
            f"the value of type {type(value).__name__} cannot be stored as {format_name}: "
            f"{format_name} stores pandas and polars DataFrames and pyarrow Tables; "
            'declare serializer="pickle"'
        )
    metadata: dict[bytes, bytes] = {KIND_KEY: kind.encode()}
    try:
        if kind == PANDAS:
            table = pa.Table.from_pandas(value)
            if value.attrs:  # type: ignore[attr-defined]
                metadata[_PANDAS_ATTRS] = json.dumps(value.attrs).encode()  # type: ignore[attr-defined]
        elif kind == POLARS:
            table = value.to_arrow()  # type: ignore[attr-defined]
        else:
            assert isinstance(value, pa.Table)
            table = value
    except (pa.ArrowException, ValueError, TypeError) as exc:
        # Columns Arrow cannot type (mixed Python objects), duplicate column names, attrs
        # that are not JSON.
        raise StorageError(
            f"the value of type {type(value).__name__} cannot be stored as {format_name}: "
            f'{exc}; declare serializer="pickle"'
        ) from exc
    return table.replace_schema_metadata({**(table.schema.metadata or {}), **metadata})


def stored_kind(schema: pa.Schema) -> str:
    """The kind a file holds; a file written by other means reads as a pyarrow Table."""
    kind: bytes = (schema.metadata or {}).get(KIND_KEY, ARROW.encode())
    return kind.decode()


def from_table(table: pa.Table, kind: str) -> Any:
    if kind == PANDAS:
        attrs = (table.schema.metadata or {}).get(_PANDAS_ATTRS)
        # One block per column and each column's buffers released as it is converted: no
        # consolidation copy, and the peak stays near one frame instead of two. Columns
        # that need no conversion are shared read-only; pandas copies them on a write.
        frame = table.to_pandas(split_blocks=True, self_destruct=True)
        if attrs is not None:
            frame.attrs = json.loads(attrs)
        return frame
    if kind == POLARS:
        import polars

        return polars.from_arrow(_without_kind(table))
    return _without_kind(table)


def _without_kind(table: pa.Table) -> pa.Table:
    metadata = dict(table.schema.metadata or {})
    metadata.pop(KIND_KEY, None)
    return table.replace_schema_metadata(metadata or None)


# Parquet ----------------------------------------------------------------------------------


def dump_parquet(value: object, path: str) -> None:
    import pyarrow.parquet as pq

    pq.write_table(to_table(value, "parquet"), path)


def load_parquet(path: str) -> Any:
    import pyarrow.parquet as pq

    # Column chunks are decoded as they are read rather than the whole file buffered
    # first, which would hold the file's bytes and the decoded table at once.
    table = pq.read_table(path, pre_buffer=False)
    return from_table(table, stored_kind(table.schema))


# Arrow IPC --------------------------------------------------------------------------------


def dump_arrow(value: object, path: str) -> None:
    import pyarrow as pa

    table = to_table(value, "arrow")
    with pa.OSFile(path, "wb") as sink, pa.ipc.new_file(sink, table.schema) as writer:
        writer.write_table(table)


def load_arrow(path: str) -> Any:
    """Memory-mapped: a pyarrow Table's buffers stay in the file's pages, so a large table
    costs no copy until it is converted."""
    import pyarrow as pa

    source = pa.memory_map(path, "r")
    table = pa.ipc.open_file(source).read_all()
    return from_table(table, stored_kind(table.schema))
