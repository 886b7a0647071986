"""The three fallback modes through the real yfinance library, talking to the simulated chart service."""

import asyncio
import datetime as dt
import socket
import threading

import numpy as np
import pandas as pd
import pytest
from loguru import logger

from broker_doubles import command
from downloader_doubles import MARKET_NOW, yahoo, yfinance_configured  # noqa: F401 (fixtures)
from veltrax.cmds.quotes import kline
from veltrax.logs import redact_secrets
from veltrax.simfeed import generate_bars
from veltrax.simfeed.chart_service import COOKIE_VALUE, CRUMB
from veltrax.simfeed.transport import DownloaderFaults, simulated_session

LAST_SESSION = pd.Timestamp("2025-06-13")


@pytest.fixture
def printed(monkeypatch):
    titles = []
    monkeypatch.setattr(kline, "printFrame", lambda table, title: titles.append((title, len(table))))
    return titles


@pytest.fixture
def redacted():
    """Log lines pass the shell's redaction, as they do in the shell."""
    logger.configure(patcher=redact_secrets)
    yield
    logger.configure(patcher=None)


def fallback(rest, symbol="AAPL"):
    op = command(symbol, rest)
    return asyncio.run(op._run_yfinance(op.rest))


def dates(result):
    return [bar["date"] for bar in result["bars"]]


ALIASES = ["minute", "hour", "d", "w", "m", "y", "1d", "1mo"]


@pytest.mark.parametrize("rest, asked, count, first, last", [
    ([], {"range": "5y", "interval": "1d"}, 250, "2024-06-14", "2025-06-13"),
    (["50"], {"range": "5y", "interval": "1d"}, 50, "2025-04-03", "2025-06-13"),
    (["1m"], {"range": "5d", "interval": "1m"}, 120, "2025-06-13 14:00", "2025-06-13 15:59"),
    (["5m", "200", "adj"], {"range": "5d", "interval": "5m"}, 200, "2025-06-11 12:20", "2025-06-13 15:55"),
    (["15m"], {"range": "1mo", "interval": "15m"}, 130, "2025-06-09 09:30", "2025-06-13 15:45"),
    # The library asks Yahoo for 15-minute bars and makes the 30-minute ones itself.
    (["30m"], {"range": "1mo", "interval": "15m"}, 130, "2025-06-02 09:30", "2025-06-13 15:30"),
    # Yahoo's hourly bars start at 09:30 (the broker's on the hour).
    (["1h"], {"range": "6mo", "interval": "60m"}, 130, "2025-05-19 12:30", "2025-06-13 15:30"),
    (["day"], {"range": "5y", "interval": "1d"}, 250, "2024-06-14", "2025-06-13"),
    # "max" becomes a 99-year span; Yahoo stamps a week with its Monday and a month with its first day.
    (["week"], {"interval": "1wk"}, 156, "2022-06-20", "2025-06-09"),
    (["month"], {"interval": "1mo"}, 60, "2020-07-01", "2025-06-01"),
    (["year"], {"interval": "1mo"}, 120, "2015-07-01", "2025-06-01"),
    *[([alias], {"range": "1y", "interval": "1d"}, 100, "2025-01-22", "2025-06-13") for alias in ALIASES],
])
def test_every_period_word_and_alias(yahoo, printed, rest, asked, count, first, last):
    result = fallback(rest)
    (request,) = yahoo.chart_requests()
    assert asked.items() <= request.items() and request["includePrePost"] == "False"
    assert ("range" in request) == ("range" in asked)
    assert (result["count"], len(result["bars"]), result["source"]) == (count, count, "yfinance")
    assert (dates(result)[0], dates(result)[-1]) == (pd.Timestamp(first), pd.Timestamp(last))
    assert dates(result) == sorted(set(dates(result)))
    assert printed == [(f"AAPL {rest[0] if rest and not rest[0].isdigit() else 'day'} ({count} bars) [yfinance]",
                        count)]


class TestRecords:
    def test_the_real_librarys_columns_and_wall_clock_times(self, yahoo, printed):
        plain, adjusted = fallback(["5m", "3"])["bars"], fallback(["5m", "3", "adj"], symbol="MSFT")["bars"]
        # Unadjusted frames carry the library's "Adj Close", kept as the normalization keeps unknown columns.
        assert list(plain[0]) == ["date", "open", "high", "low", "close", "Adj Close", "volume", "average",
                                  "barCount"]
        assert list(adjusted[0]) == ["date", "open", "high", "low", "close", "volume", "average", "barCount"]
        bar = plain[-1]
        assert bar["date"] == pd.Timestamp("2025-06-13 15:55") and bar["date"].tz is None
        assert type(bar["volume"]) is int and bar["barCount"] == 1 and bar["average"] == bar["close"]

    def test_daily_bars_are_the_brokers_regular_session_bars(self, yahoo, printed):
        downloaded = fallback(["day", "20"])["bars"]
        broker = generate_bars("AAPL", "1 day", "", "20 D", now=MARKET_NOW)
        assert dates(dict(bars=downloaded)) == [pd.Timestamp(d) for d in broker.dates()]
        for field in ("open", "high", "low", "close", "volume"):
            assert [bar[field] for bar in downloaded] == getattr(broker, field).tolist(), field

    def test_intraday_bars_are_the_brokers_regular_hours_bars(self, yahoo, printed):
        downloaded = fallback(["5m", "78"])["bars"]
        broker = generate_bars("AAPL", "5 mins", "", "1 D", useRTH=True, now=MARKET_NOW)
        assert [bar["date"] for bar in downloaded] == [pd.Timestamp(d.replace(tzinfo=None)) for d in broker.dates()]
        assert [bar["close"] for bar in downloaded] == broker.close.tolist()
        assert [bar["volume"] for bar in downloaded] == broker.volume.tolist()

    def test_adjusted_prices_match_the_brokers_adjusted_prices(self, yahoo, printed):
        downloaded = fallback(["day", "250", "adj"])["bars"]
        broker = generate_bars("AAPL", "1 day", "", "250 D", "ADJUSTED_LAST", now=MARKET_NOW)
        for field in ("open", "close"):
            assert np.allclose([bar[field] for bar in downloaded], getattr(broker, field), rtol=1e-5), field
        plain = fallback(["day", "250"], symbol="AAPL")["bars"]
        assert downloaded[0]["close"] < plain[0]["close"] and downloaded[-1]["close"] == plain[-1]["close"]


class TestCounts:
    def test_count_cuts(self, yahoo, printed):
        everything = fallback(["day", "0"])
        n = everything["count"]
        assert 1200 < n < 1300 and dates(everything)[-1] == LAST_SESSION
        cut = fallback(["day", "-7"])
        assert cut["count"] == n - 7 and cut["bars"] == everything["bars"][7:]

    def test_fewer_bars_than_asked(self, yahoo, printed):
        result = fallback(["1m", "5000"])
        assert result["count"] == 5 * 390 and printed == [("AAPL 1m (1950 bars) [yfinance]", 1950)]
        assert kline._get_cache().get("AAPL:1m:none:count_5000") == result["bars"]


class TestRanges:
    @pytest.mark.parametrize("rest, first, last, n", [
        # The end date is exclusive, as Yahoo treats it: Friday the 7th is not in.
        (["2025-03-03", "2025-03-07"], "2025-03-03", "2025-03-06", 4),
        (["2025-03-03", "2025-03-07", "1h", "adj"], "2025-03-03 09:30", "2025-03-06 15:30", 28),
        # Good Friday and a weekend inside, a holiday at the start.
        (["2025-01-01", "2025-01-08"], "2025-01-02", "2025-01-07", 4),
        # A week is answered whole, stamped with its Monday, even when the range starts mid-week.
        (["2025-01-01", "week"], "2024-12-30", "2025-06-09", 24),
    ])
    def test_date_ranges(self, yahoo, printed, rest, first, last, n):
        result = fallback(rest)
        assert (dates(result)[0], dates(result)[-1], len(result["bars"])) == (pd.Timestamp(first), pd.Timestamp(last), n)
        assert result["source"] == "yfinance" and len(printed) == 1

    def test_a_holiday_only_range_is_no_data(self, yahoo, printed, log_lines):
        assert fallback(["2025-12-25", "2025-12-26"]) == {
            "error": "No data in range", "symbol": "AAPL", "start": "2025-12-25", "end": "2025-12-26"}

    def test_intraday_bars_older_than_yahoo_keeps_are_refused(self, yahoo, printed, log_lines):
        assert fallback(["2025-03-03", "2025-03-05", "5m"])["error"] == "No data in range"
        (failure,) = [m for level, m in log_lines if level == "ERROR"]
        assert failure.startswith("[AAPL] yfinance fetch failed: $AAPL: 5m data not available for startTime=")
        assert failure.endswith("The requested range must be within the last 60 days.")


def test_intraday_is_todays_regular_session(yahoo, printed):
    result = fallback(["intraday"])
    assert yahoo.chart_requests()[0]["range"] == "1d" and yahoo.chart_requests()[0]["interval"] == "1m"
    assert len(result["bars"]) == 390 and result["source"] == "yfinance"
    assert (dates(result)[0], dates(result)[-1]) == (pd.Timestamp("2025-06-13 09:30"), pd.Timestamp("2025-06-13 15:59"))


NO_DATA = {"latest": (["day", "5"], {"error": "No data returned", "symbol": "AAPL"}),
           "history": (["2025-03-03", "2025-03-07"], {"error": "No data in range", "symbol": "AAPL",
                                                     "start": "2025-03-03", "end": "2025-03-07"}),
           "intraday": (["intraday"], {"error": "No intraday data", "symbol": "AAPL"})}


@pytest.mark.parametrize("mode", list(NO_DATA))
@pytest.mark.parametrize("fault, message", [
    ("no-data", "$AAPL: No data found, symbol may be delisted"),
    ("404", "Expecting value: line 1 column 1 (char 0)"),
    ("429", "Too Many Requests. Rate limited. Try after a while."),
    ("5xx", "*** YAHOO! FINANCE IS CURRENTLY DOWN! ***"),
    ("malformed", " line 1 column "),  # the JSON decoder's error, wherever the answer was cut
    ("drop", "('Connection aborted.', RemoteDisconnected('Remote end closed connection without response'))"),
])
def test_each_fault_is_a_logged_failure_and_the_no_data_result(yahoo, printed, log_lines, redacted, mode, fault,
                                                                message):
    yahoo.faults.kind = fault
    rest, no_data = NO_DATA[mode]
    assert fallback(rest) == no_data
    failures = [m for level, m in log_lines if level == "ERROR"]
    assert failures[0].startswith("[AAPL] yfinance fetch failed: ") and message in failures[0]
    assert failures[1:] == (["[AAPL] yfinance returned no data"] if mode == "latest" else [])
    assert printed == [] and kline._get_cache().get(kline.KlineCache.intraday_key("AAPL")) is None


def test_a_slow_answer_keeps_the_loop_running(yahoo, printed):
    yahoo.faults.kind, yahoo.faults.delay = "slow", 0.3
    ticks = []

    async def scenario():
        async def ticker():
            while True:
                ticks.append(1)
                await asyncio.sleep(0.01)

        beat = asyncio.create_task(ticker())
        op = command("AAPL", ["day", "3"])
        result = await op._run_yfinance(op.rest)
        beat.cancel()
        return result

    assert asyncio.run(scenario())["count"] == 3 and len(ticks) >= 10


def test_an_unknown_symbol_fails_without_address_crumb_or_cookie(yahoo, printed, log_lines, redacted):
    for rest in (["day", "5"], ["2025-01-01", "2025-02-01"], ["intraday"]):
        assert "error" in fallback(rest, symbol="ZZZZ")
    failures = [m for level, m in log_lines if "fetch failed" in m]
    assert len(failures) == 3 and all(m.startswith("[ZZZZ] yfinance fetch failed: ") for m in failures)
    for _, message in log_lines:
        assert CRUMB not in message and COOKIE_VALUE not in message and "http" not in message


def test_nothing_is_written_outside_the_data_directory(yfinance_configured, tmp_path, monkeypatch):
    from veltrax.downloader import CACHE_FOLDER, configure_yfinance

    class Recorded:
        def set_cache_location(self, path):
            self.location = path

    cache = Recorded()
    monkeypatch.setattr(yfinance_configured, "cache", cache)
    monkeypatch.setenv("VELTRAX_DATA_DIR", str(tmp_path))
    configure_yfinance(yfinance_configured)
    assert cache.location == str(tmp_path / CACHE_FOLDER)


class RefusingProxy:
    """A proxy on a loopback port that records what it is asked, then refuses."""

    def __init__(self):
        self.server = socket.create_server(("127.0.0.1", 0))
        self.address = f"http://127.0.0.1:{self.server.getsockname()[1]}"
        self.asked: list[str] = []
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                connection, _ = self.server.accept()
            except OSError:
                return
            with connection:
                self.asked.append(connection.recv(4096).decode("latin-1").split("\r\n")[0])
                connection.sendall(b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n")

    def close(self):
        self.server.close()


def test_the_library_really_goes_through_the_https_proxy(yahoo, printed, log_lines, monkeypatch):
    import yfinance
    from yfinance._http import new_session

    proxy = RefusingProxy()
    monkeypatch.setenv("HTTPS_PROXY", proxy.address)
    yfinance.data.YfData(session=new_session())  # the library's own session, as outside the demo
    try:
        assert fallback(["day", "5"]) == {"error": "No data returned", "symbol": "AAPL"}
    finally:
        proxy.close()
        yfinance.data.YfData(session=yahoo.session)
    assert yfinance.config.network.proxy == {"https": proxy.address, "http": proxy.address}
    assert proxy.asked and all(line.startswith("CONNECT ") and ".yahoo.com:443 " in line for line in proxy.asked)
    assert any(m.startswith("[AAPL] yfinance fetch failed: ") for _, m in log_lines)


def test_the_simulated_session_takes_the_proxy_but_never_the_network(yahoo, printed, monkeypatch):
    monkeypatch.setenv("HTTPS_PROXY", "http://127.0.0.1:9")
    assert fallback(["day", "5"])["count"] == 5
    assert yahoo.transport.proxies_seen[-1] == {"https": "http://127.0.0.1:9", "http": "http://127.0.0.1:9"}


def test_an_answer_slower_than_the_read_timeout_times_out():
    import requests

    session = simulated_session(faults=DownloaderFaults("slow", 5.0))
    with pytest.raises(requests.exceptions.ReadTimeout, match=r"Read timed out. \(read timeout=0.05\)"):
        session.get("https://query2.finance.yahoo.com/v8/finance/chart/AAPL", timeout=0.05)


def test_downloader_fault_words():
    assert DownloaderFaults.parse("slow=2.5") == DownloaderFaults("slow", 2.5)
    assert DownloaderFaults.parse("429") == DownloaderFaults("429")
    for bad in ("slow=soon", "503", "drop=1"):
        with pytest.raises(ValueError):
            DownloaderFaults.parse(bad)
