"""A cache hit through the library face, `Session.kline` (the hand-off to the session's loop thread,
the command, the DataFrame), beside building the same DataFrame from the same bar records with
pandas: `DataFrame(bars)`, its dates made the index (in the exchange's zone, for intraday bars)."""

from __future__ import annotations

import tempfile

import pandas as pd

from veltrax import Session
from veltrax.gateway.candle_store import KlineCache

MANY = 30_000
ZONE = "US/Eastern"  # the simulated broker's zone for AAPL


def pandas_frame(bars: list[dict], zone: str | None = None) -> pd.DataFrame:
    table = pd.DataFrame(bars)
    table["date"] = pd.to_datetime(table["date"])
    table = table.set_index("date")
    if zone:
        table.index = table.index.tz_localize(zone)
    return table


def five_minute_bars(count: int) -> list[dict]:
    """Bar records as the broker path stores them, in a span without a clock change."""
    start = pd.Timestamp("2025-04-01 04:00")
    return [{"date": start + pd.Timedelta(minutes=5 * i), "open": 200.0 + i % 97 / 8, "high": 201.0 + i % 89 / 8,
             "low": 199.0 + i % 83 / 8, "close": 200.5 + i % 79 / 8, "volume": 1_000 + i % 7_919,
             "average": 200.25 + i % 71 / 8, "barCount": 10 + i % 53} for i in range(count)]


def run(report) -> None:
    with tempfile.TemporaryDirectory() as data_dir, Session(demo=True, data_dir=data_dir) as session:
        daily = session.kline("AAPL", "day", 250)  # fetched now, a cache hit from here on
        bars = KlineCache(str(session.data_dir)).get("AAPL:day:none:count_250")
        pd.testing.assert_frame_equal(session.kline("AAPL", "day", 250), pandas_frame(bars), check_flags=False)
        assert daily.attrs["source"] == "ibkr"
        report.compare("cache hit of Session.kline, 250 daily bars", "DataFrame from the records (pandas)",
                       lambda: pandas_frame(bars), lambda: session.kline("AAPL", "day", 250), repeat=9)

        many = five_minute_bars(MANY)
        KlineCache(str(session.data_dir)).set(f"AAPL:5m:none:count_{MANY}", many)
        hit = session.kline("AAPL", "5m", MANY)
        assert hit.attrs["source"] == "cache"
        pd.testing.assert_frame_equal(hit, pandas_frame(many, ZONE), check_flags=False)
        report.compare(f"cache hit of Session.kline, {MANY:,} five-minute bars",
                       "DataFrame from the records (pandas)", lambda: pandas_frame(many, ZONE),
                       lambda: session.kline("AAPL", "5m", MANY), repeat=5)
