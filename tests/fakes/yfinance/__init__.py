"""A stand-in yfinance for shell tests run as subprocesses (put tests/fakes on PYTHONPATH).

Every symbol has 300 daily bars ending 2025-12-31 (or 390 one-minute bars for interval 1m);
symbols starting with "ZZ" have none. Each download is appended to $FAKE_YFINANCE_LOG if set.
"""

import os
import types

import pandas as pd

config = types.SimpleNamespace(network=types.SimpleNamespace(proxy=None), debug=types.SimpleNamespace(hide_exceptions=True))
# Where the shell points the library's cookie and time-zone caches (VELTRAX_DATA_DIR).
cache = types.SimpleNamespace(location=None)
cache.set_cache_location = lambda path: setattr(cache, "location", path)


class Ticker:
    def __init__(self, symbol):
        self.symbol = symbol

    def history(self, **keywords):
        log = os.environ.get("FAKE_YFINANCE_LOG")
        if log:
            with open(log, "a") as out:
                out.write(f"{self.symbol} {sorted(keywords.items())}\n")
        if self.symbol.startswith("ZZ"):
            return pd.DataFrame()
        intraday = keywords.get("interval") == "1m"
        index = pd.date_range("2025-12-31 09:30" if intraday else "2025-03-07", periods=390 if intraday else 300,
                              freq="min" if intraday else "D", tz="America/New_York",
                              name="Datetime" if intraday else "Date")
        if "start" in keywords:  # start inclusive, end exclusive, as the real service answers
            start, end = (pd.Timestamp(keywords[k]).tz_localize("America/New_York") for k in ("start", "end"))
            index = index[(index >= start) & (index < end)]
        n = len(index)
        return pd.DataFrame({"Open": [100.0 + i for i in range(n)], "High": [101.0 + i for i in range(n)],
                             "Low": [99.0 + i for i in range(n)], "Close": [100.5 + i for i in range(n)],
                             "Volume": [10_000 + i for i in range(n)], "Dividends": [0.0] * n,
                             "Stock Splits": [0.0] * n}, index=index)
