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


# Two dimensions: one job per ticker and day. Sharing the dimension "ticker" with `prices`,
# each job receives the `prices` value of its own ticker.
@asset(
    partitions={
        "ticker": partitions(["AAPL", "MSFT", "GOOG"]),
        "day": partitions(["2026-01-05", "2026-01-06", "2026-01-07"]),
    },
    inputs={"quote": prices},
)
def daily_prices(ticker: str, day: str, quote: dict) -> dict:
    drift = {"2026-01-05": 0.0, "2026-01-06": 1.5, "2026-01-07": -0.75}[day]
    return {"ticker": ticker, "day": day, "close": round(quote["close"] + drift, 2)}


# Keeps "ticker" and lacks "day": each job receives one object holding every day of its
# ticker, keyed by the day's JSON text ("\"2026-01-05\"").
@asset(partitions={"ticker": partitions(["AAPL", "MSFT", "GOOG"])}, inputs={"days": daily_prices})
def ticker_summary(ticker: str, days: dict) -> dict:
    closes = [day["close"] for _, day in sorted(days.items())]
    return {"ticker": ticker, "days": len(closes), "low": min(closes), "high": max(closes)}
