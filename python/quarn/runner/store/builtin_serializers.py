"""The serializers quarn ships: json (the default), pickle, parquet, arrow and numpy, and
what "auto" picks among them."""

from __future__ import annotations

import json
import pickle
import sys
from typing import Any

from quarn.runner.store import json_value, tables
from quarn.runner.store.serializers import Serializer, StorageError, add_builtin, get


def dump_json(value: Any, path: str) -> None:
    # Bytes, so the file is the core worker's `write_text(text, "utf-8")` on every platform.
    data = json_value.encode(value).encode("utf-8")
    with open(path, "wb") as handle:
        handle.write(data)


def load_json(path: str) -> Any:
    with open(path, "rb") as handle:
        return json.loads(handle.read())


def dump_pickle(value: Any, path: str) -> None:
    try:
        with open(path, "wb") as handle:
            pickle.dump(value, handle, protocol=pickle.HIGHEST_PROTOCOL)
    except (pickle.PicklingError, TypeError, AttributeError, RecursionError) as exc:
        raise StorageError(
            f"the value of type {type(value).__name__} cannot be stored as pickle: {exc}"
        ) from exc


def load_pickle(path: str) -> Any:
    with open(path, "rb") as handle:
        return pickle.load(handle)


def dump_numpy(value: Any, path: str) -> None:
    import numpy

    if not isinstance(value, numpy.ndarray):
        raise StorageError(
            f"the value of type {type(value).__name__} cannot be stored as numpy: numpy "
            'stores numpy arrays; declare serializer="pickle"'
        )
    if value.dtype.hasobject:
        raise StorageError(
            f"the value of type {type(value).__name__} cannot be stored as numpy: its dtype "
            f'{value.dtype} holds Python objects; declare serializer="pickle"'
        )
    with open(path, "wb") as handle:
        numpy.save(handle, value, allow_pickle=False)


def load_numpy(path: str) -> Any:
    """Memory-mapped and read-only: pages are read as the downstream touches them."""
    import numpy

    try:
        return numpy.load(path, mmap_mode="r", allow_pickle=False)
    except ValueError:
        # An empty array cannot be mapped; there is nothing to save by mapping it either.
        return numpy.load(path, allow_pickle=False)


def register_all() -> None:
    for serializer in (
        Serializer("json", "json", dump_json, load_json),
        Serializer("pickle", "pickle", dump_pickle, load_pickle),
        Serializer(
            "parquet",
            "parquet",
            tables.dump_parquet,
            tables.load_parquet,
            ("pyarrow",),
            "quarn[parquet]",
            ("pyarrow.parquet", "pyarrow.dataset"),  # reading a file goes through a dataset
        ),
        Serializer(
            "arrow",
            "arrow",
            tables.dump_arrow,
            tables.load_arrow,
            ("pyarrow",),
            "quarn[arrow]",
            ("pyarrow.ipc",),
        ),
        Serializer("numpy", "npy", dump_numpy, load_numpy, ("numpy",), "quarn[numpy]", ("numpy",)),
    ):
        add_builtin(serializer)


def pick(value: Any) -> str:
    """The serializer "auto" stores `value` by: a frame or table as parquet (when pyarrow is
    installed), a numpy array of plain values as numpy, a value made only of JSON's own types
    as JSON (so it comes back equal, a tuple would not), anything else as pickle."""
    if tables.kind_of(value) is not None and not get("parquet").missing():
        return "parquet"
    numpy = sys.modules.get("numpy")
    if numpy is not None and type(value) in (numpy.ndarray, numpy.memmap):
        return "pickle" if value.dtype.hasobject else "numpy"
    return "json" if json_value.is_plain(value) else "pickle"
