"""Doubles of the downloader: the real yfinance against the simulated chart service, and a stand-in module.

The stand-in (`FakeYFinance`) is kept where it is the simplest honest test: routing and the
worker thread. Everything about the library's behaviour goes through the real library.
"""

from __future__ import annotations

import datetime as dt
import threading
import time
import types
from urllib.parse import parse_qsl, urlsplit

import pandas as pd
import pytest


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


# -- the real library against the simulated chart service ---------------------------------

# The chart service's clock: Friday 13 June 2025, 18:00 in New York (the regular session is over).
MARKET_NOW = dt.datetime(2025, 6, 13, 22, 0, tzinfo=dt.timezone.utc)


class YahooDouble:
    """The simulated chart service behind yfinance's process-wide session, and what was asked of it."""

    def __init__(self, faults=None, clock=lambda: MARKET_NOW):
        import yfinance

        from veltrax.simfeed.chart_service import ChartService
        from veltrax.simfeed.transport import simulated_session, transport_of

        self.session = simulated_session(ChartService(clock=clock), faults)
        self.transport = transport_of(self.session)
        yfinance.data.YfData(session=self.session)
        # Answers for past ranges are kept per process; each test starts without them.
        yfinance.data.YfData.cache_get.cache_clear()

    @property
    def faults(self):
        return self.transport.faults

    def chart_requests(self, symbol="AAPL") -> list[dict[str, str]]:
        """The parameters of each price-history request for `symbol` (not the time-zone lookups)."""
        asked = []
        for _, url in self.transport.requests:
            parts = urlsplit(url)
            params = dict(parse_qsl(parts.query))
            if parts.path == f"/v8/finance/chart/{symbol}" and "events" in params:
                params.pop("crumb", None)
                asked.append(params)
        return asked


@pytest.fixture(scope="session")
def yfinance_configured(tmp_path_factory):
    """The real yfinance, configured as the shell configures it, once per test process.

    The library opens its cache databases once; they stay in this folder for the whole run.
    """
    import yfinance

    from veltrax.downloader import configure_yfinance

    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("VELTRAX_DATA_DIR", str(tmp_path_factory.mktemp("yfinance-caches")))
        configure_yfinance(yfinance)
    return yfinance


@pytest.fixture
def yahoo(yfinance_configured, data_dir, monkeypatch):
    """The real yfinance talking to a fresh simulated chart service; no proxy from the environment."""
    monkeypatch.delenv("HTTPS_PROXY", raising=False)
    network = yfinance_configured.config.network
    network.proxy = None  # a proxy the command set stays for the process; not across tests
    yield YahooDouble()
    network.proxy = None
