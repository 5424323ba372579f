"""Declare data assets as Python functions; discover and materialize them.

from quarn import asset, partitions

@asset(partitions={"ticker": partitions(["AAPL", "MSFT"])})
def prices(ticker: str) -> dict:
    ...

An input may take other keys of the asset's own dimension (`previous(prices, "day")`,
`window(prices, "day", 7)`); `daily(start, end)` and `monthly(start, end)` make date keys.
`quarn.materialize(["pipeline"])` runs them from Python (a notebook, a test), as `quarn run`
does; after a run, `quarn.load(prices, partition={"ticker": "AAPL"})` reads a value back.
"""

from typing import TYPE_CHECKING, Any

from quarn._quarn import (
    AssetWrapper,
    Partitions,
    asset,
    inspect_modules,
    materialize_asset,
    partitions,
)

if TYPE_CHECKING:
    from quarn.keys import daily, monthly, previous, window
    from quarn.runner.api.errors import GraphError, OutputInUseError, RunError, UsageError
    from quarn.runner.api.load import StaleValueError, load, load_all
    from quarn.runner.api.materialize import materialize
    from quarn.runner.api.result import JobResult, RunResult
    from quarn.runner.store.serializers import Serializer, StorageError, register_serializer
    from quarn.runner.trace.record import depends_on, depends_on_env

# Loaded on first use: importing quarn (as every worker and discovery does before it
# shields the standard modules from project files) must import nothing but the core.
_LAZY = {
    "materialize": "quarn.runner.api.materialize",
    "RunResult": "quarn.runner.api.result",
    "JobResult": "quarn.runner.api.result",
    "RunError": "quarn.runner.api.errors",
    "GraphError": "quarn.runner.api.errors",
    "UsageError": "quarn.runner.api.errors",
    "OutputInUseError": "quarn.runner.api.errors",
    "load": "quarn.runner.api.load",
    "load_all": "quarn.runner.api.load",
    "StaleValueError": "quarn.runner.api.load",
    "register_serializer": "quarn.runner.store.serializers",
    "Serializer": "quarn.runner.store.serializers",
    "StorageError": "quarn.runner.store.serializers",
    "depends_on": "quarn.runner.trace.record",
    "depends_on_env": "quarn.runner.trace.record",
    "previous": "quarn.keys",
    "window": "quarn.keys",
    "daily": "quarn.keys",
    "monthly": "quarn.keys",
}


def __getattr__(name: str) -> Any:
    if name in _LAZY:
        import importlib

        return getattr(importlib.import_module(_LAZY[name]), name)
    raise AttributeError(f"module 'quarn' has no attribute {name!r}")


__all__ = [
    "AssetWrapper",
    "Partitions",
    "asset",
    "partitions",
    "inspect_modules",
    "materialize_asset",
    "materialize",
    "RunResult",
    "JobResult",
    "RunError",
    "GraphError",
    "UsageError",
    "OutputInUseError",
    "load",
    "load_all",
    "StaleValueError",
    "register_serializer",
    "Serializer",
    "StorageError",
    "depends_on",
    "depends_on_env",
    "previous",
    "window",
    "daily",
    "monthly",
]
