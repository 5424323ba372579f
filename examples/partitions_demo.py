"""Declares partition dimensions and shows what the native module made of them."""

from quarn import partitions

tickers = partitions(["AAPL", "MSFT", "GOOG"])
days = partitions(["2026-01-01", "2026-01-02"])
mixed = partitions([1, 2.5, True, None, {"region": "eu"}])

for name, marker in [("ticker", tickers), ("day", days), ("mixed", mixed)]:
    print(f"{name}: {marker!r}")
