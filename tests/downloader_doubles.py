"""A stand-in for the yfinance module: a Ticker whose history() returns crafted frames."""

from __future__ import annotations

import threading
import time
import types

import pandas as pd


def downloaded_frame(n, intraday=False, start="2025-01-02"):
    """n bars in yfinance's layout: zone-aware index, capitalised columns, corporate actions."""
    first = pd.Timestamp(f"{start} 09:30" if intraday else start)
    index = pd.date_range(first, periods=n, freq="min" if intraday else "D", tz="America/New_York",
                          name="Datetime" if intraday else "Date")
    return pd.DataFrame(
        {
            "Open": [100.25 + i for i in range(n)], "High": [101.5 + i for i in range(n)],
            "Low": [99.75 + i for i in range(n)], "Close": [100.5 + i for i in range(n)],
            "Volume": [1000 + 10 * i for i in range(n)], "Dividends": [0.0] * n, "Stock Splits": [0.0] * n,
        },
        index=index,
    )


class FakeYFinance(types.ModuleType):
    """Records each download (symbol, keywords, thread); answers with `frame` or raises `error`."""

    def __init__(self, frame=None, error=None, delay=0.0):
        super().__init__("yfinance")
        self.frame = frame if frame is not None else downloaded_frame(300)
        self.error = error
        self.delay = delay
        self.downloads: list[dict] = []
        self.config = types.SimpleNamespace(network=types.SimpleNamespace(proxy=None))
        fake = self

        class Ticker:
            def __init__(self, symbol):
                self.symbol = symbol

            def history(self, **keywords):
                fake.downloads.append(
                    {"symbol": self.symbol, "keywords": list(keywords.items()), "thread": threading.current_thread()})
                if fake.delay:
                    time.sleep(fake.delay)
                if fake.error is not None:
                    raise fake.error
                return fake.frame

        self.Ticker = Ticker
