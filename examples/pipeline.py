"""The bundled example pipeline: a raw asset, a downstream of it, and a partitioned one."""

from quarn import asset, partitions


@asset()
def raw() -> list:
    return [1, 2, 3]


@asset(inputs={"data": raw})
def processed(data: list) -> list:
    return [x * 2 for x in data]


@asset(partitions={"ticker": partitions(["AAPL", "MSFT", "GOOG"])})
def prices(ticker: str) -> dict:
    base = {"AAPL": 187.5, "MSFT": 411.2, "GOOG": 141.9}[ticker]
    return {"ticker": ticker, "close": base}
