"""Declare data assets as Python functions; discover and materialize them.

from quarn import asset, partitions

@asset(partitions={"ticker": partitions(["AAPL", "MSFT"])})
def prices(ticker: str) -> dict:
    ...
"""

from quarn._quarn import (
    AssetWrapper,
    Partitions,
    asset,
    inspect_modules,
    materialize_asset,
    partitions,
)

__all__ = [
    "AssetWrapper",
    "Partitions",
    "asset",
    "partitions",
    "inspect_modules",
    "materialize_asset",
]
