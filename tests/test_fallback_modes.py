"""Every form of the command answered by the downloader when the broker cannot."""

import asyncio
import datetime as dt
import sys
import threading

import pandas as pd
import pytest

from broker_doubles import RecordingIB, command, daily_bars, minute_bars
from downloader_doubles import downloaded_frame
from veltrax.cmds.quotes import kline

TODAY = dt.date.today()


@pytest.fixture
def printed(monkeypatch, data_dir):
    titles = []
    monkeypatch.setattr(kline, "printFrame", lambda table, title: titles.append((title, len(table))))
    return titles


def fallback(rest, symbol="AAPL"):
    op = command(symbol, rest)
    return asyncio.run(op._run_yfinance(op.rest))


@pytest.mark.parametrize(
    "rest, keywords",
    [
        ([], [("period", "5y"), ("interval", "1d"), ("auto_adjust", False)]),
        (["50"], [("period", "5y"), ("interval", "1d"), ("auto_adjust", False)]),
        (["5m", "200", "adj"], [("period", "5d"), ("interval", "5m"), ("auto_adjust", True)]),
        (["1h"], [("period", "6mo"), ("interval", "60m"), ("auto_adjust", False)]),
        (["w"], [("period", "1y"), ("interval", "1d"), ("auto_adjust", False)]),
        (["Intraday"], [("period", "5y"), ("interval", "1d"), ("auto_adjust", False)]),
        (["intraday", "5m", "adj"], [("period", "1d"), ("interval", "1m"), ("auto_adjust", False)]),
        (["2025-01-01"], [("start", dt.date(2025, 1, 1)), ("end", TODAY), ("interval", "1d"), ("auto_adjust", False)]),
        (["2025-01-01", "2025-06-01", "1h", "adj"],
         [("start", dt.date(2025, 1, 1)), ("end", dt.date(2025, 6, 1)), ("interval", "60m"), ("auto_adjust", True)]),
        (["2025-01-01", "week"], [("start", dt.date(2025, 1, 1)), ("end", TODAY), ("interval", "1wk"), ("auto_adjust", False)]),
    ],
)
def test_each_form_downloads_with_its_keywords(rest, keywords, yf, printed, log_lines):
    fallback(rest)
    (download,) = yf.downloads
    assert download["symbol"] == "AAPL" and download["keywords"] == keywords
    assert download["thread"] is not threading.main_thread()
    assert log_lines[0] == ("INFO", f"[AAPL] yfinance fallback: rest={rest!r}")


class TestLatest:
    def test_result_title_and_the_cut(self, yf, printed, log_lines):
        result = fallback(["day", "5", "adj"])
        assert list(result) == ["symbol", "period", "count", "adjust", "bars", "source"]
        assert (result["count"], result["source"]) == (5, "yfinance")
        assert [bar["open"] for bar in result["bars"]] == [395.25, 396.25, 397.25, 398.25, 399.25]
        assert result["bars"][0]["date"] == pd.Timestamp("2025-10-24") and result["bars"][0]["barCount"] == 1
        assert printed == [("AAPL day (5 bars) [yfinance]", 5)]
        assert ("INFO", "[AAPL] yfinance kline: period=5y, interval=1d, count=5, adjust=True") in log_lines
        assert kline._get_cache().get("AAPL:day:adj:count_5") == result["bars"]

    def test_fewer_rows_than_asked_and_count_zero(self, yf, printed):
        yf.frame = downloaded_frame(3)
        result = fallback(["day", "50"])
        assert result["count"] == 3 and printed[-1] == ("AAPL day (3 bars) [yfinance]", 3)
        assert kline._get_cache().get("AAPL:day:none:count_50") == result["bars"]
        yf.frame = downloaded_frame(9)
        assert fallback(["day", "0"], symbol="MSFT")["count"] == 9
        assert [bar["open"] for bar in fallback(["day", "-7"], symbol="IBM")["bars"]] == [107.25, 108.25]

    def test_hits_are_silent_and_larger_counts_are_reused(self, yf, printed, log_lines):
        fallback(["day", "100"])
        exact = fallback(["day", "100"])
        smaller = fallback(["day", "40"])
        assert len(yf.downloads) == 1 and len(printed) == 1
        assert exact["cached"] is True and "source" not in exact
        assert smaller["count"] == 40 and smaller["cached"] is True
        assert kline._get_cache().get("AAPL:day:none:count_40") == smaller["bars"]
        assert not [line for line in log_lines if "cache hit" in line[1]]

    @pytest.mark.parametrize("answer", ["empty", "failure"])
    def test_no_data(self, answer, yf, printed, log_lines):
        if answer == "empty":
            yf.frame = downloaded_frame(0)
        else:
            yf.error = ConnectionError("rate limited")
        assert fallback(["day", "5"]) == {"error": "No data returned", "symbol": "AAPL"}
        assert printed == [] and kline._get_cache().get("AAPL:day:none:count_5") is None
        errors = [line for line in log_lines if line[0] == "ERROR"]
        expected = [("ERROR", "[AAPL] yfinance returned no data")]
        if answer == "failure":
            expected.insert(0, ("ERROR", "[AAPL] yfinance fetch failed: rate limited"))
        assert errors == expected


class TestHistory:
    def test_result_and_title(self, yf, printed, log_lines):
        result = fallback(["2025-01-01", "2025-06-01", "1h", "adj"])
        assert list(result) == ["symbol", "period", "start", "end", "adjust", "bars", "source"]
        assert (result["start"], result["end"], len(result["bars"])) == ("2025-01-01", "2025-06-01", 300)
        assert printed == [("AAPL 1h 2025-01-01 ~ 2025-06-01 [yfinance]", 300)]
        assert ("INFO", "[AAPL] yfinance history: 2025-01-01 → 2025-06-01, interval=60m, adjust=True") in log_lines

    def test_refused_range_is_silent(self, yf, printed, log_lines):
        assert fallback(["2025-06-01", "2025-06-01"]) == {
            "error": "Start must be before end", "start": "2025-06-01", "end": "2025-06-01"}
        assert fallback(["today"])["error"] == "Start must be before end"
        assert yf.downloads == [] and [line for line in log_lines if line[0] != "INFO" or "history" in line[1]] == []

    @pytest.mark.parametrize("answer", ["empty", "failure"])
    def test_no_data_has_no_line_of_its_own(self, answer, yf, printed, log_lines):
        if answer == "empty":
            yf.frame = downloaded_frame(0)
        else:
            yf.error = RuntimeError("boom")
        assert fallback(["2025-01-01", "2025-06-01"]) == {
            "error": "No data in range", "symbol": "AAPL", "start": "2025-01-01", "end": "2025-06-01"}
        assert [line for line in log_lines if line[0] == "ERROR"] == (
            [] if answer == "empty" else [("ERROR", "[AAPL] yfinance fetch failed: boom")])
        assert kline._get_cache().get("AAPL:day:none:2025-01-01_2025-06-01") is None

    def test_hit(self, yf, printed, log_lines):
        fallback(["2025-01-01", "2025-06-01"])
        again = fallback(["2025-01-01", "2025-06-01"])
        assert again["cached"] is True and "source" not in again and len(printed) == 1

    def test_an_invalid_date_raises(self, yf, printed):
        with pytest.raises(ValueError, match="2025-02-30"):
            fallback(["2025-02-30", "day"])


class TestIntraday:
    def test_fresh_then_hit(self, yf, printed, log_lines):
        yf.frame = downloaded_frame(390, intraday=True)
        fresh = fallback(["intraday"])
        assert list(fresh) == ["symbol", "type", "bars", "source"] and fresh["source"] == "yfinance"
        assert fresh["bars"][0]["date"] == pd.Timestamp("2025-01-02 09:30")
        assert printed == [("AAPL Intraday [yfinance]", 390)]
        again = fallback(["intraday"])
        assert again["source"] == "cache" and "cached" not in again and len(yf.downloads) == 1
        assert [m for level, m in log_lines if "intraday" in m and "rest=" not in m] == [
            "[AAPL] yfinance intraday", "[AAPL] yfinance intraday", "[AAPL] intraday cache hit (yfinance path)"]

    def test_stored_before_printing(self, yf, monkeypatch, data_dir):
        def broken_printer(table, title):
            raise OSError("terminal gone")

        monkeypatch.setattr(kline, "printFrame", broken_printer)
        with pytest.raises(OSError):
            fallback(["intraday"])
        assert kline._get_cache().get("AAPL:intraday:full") is not None

    def test_no_data(self, yf, printed):
        yf.frame = downloaded_frame(0)
        assert fallback(["intraday"]) == {"error": "No intraday data", "symbol": "AAPL"}
        assert kline._get_cache().get("AAPL:intraday:full") is None


class TestSharedEntries:
    def test_broker_entries_answer_the_fallback(self, yf, printed):
        for rest, bars in ((["day", "20"], daily_bars(30)), (["2025-01-01", "2025-02-01"], daily_bars(30)),
                           (["intraday"], minute_bars(30))):
            op = command("AAPL", rest, RecordingIB(bars))
            method = {"day": op._kline, "2025-01-01": op._history}.get(rest[0])
            asyncio.run(method(None, rest) if method else op._intraday(None))
            result = fallback(rest)
            assert result.get("cached") is True or result.get("source") == "cache"
        assert yf.downloads == []

    def test_fallback_entries_answer_the_broker(self, yf, printed):
        fallback(["week", "10"])
        ib = RecordingIB(daily_bars(5))
        op = command("AAPL", ["week", "10"], ib)
        result = asyncio.run(op._kline(None, op.rest))
        assert result["cached"] is True and ib.calls == []


def test_library_absent_is_no_data(monkeypatch, printed, log_lines):
    monkeypatch.setitem(sys.modules, "yfinance", None)
    assert fallback(["day", "3"]) == {"error": "No data returned", "symbol": "AAPL"}
    assert fallback(["intraday"]) == {"error": "No intraday data", "symbol": "AAPL"}
    failures = [m for level, m in log_lines if "fetch failed" in m]
    assert len(failures) == 2 and failures[0].startswith("[AAPL] yfinance fetch failed: import of yfinance halted")


def test_interrupts_in_the_download_are_not_absorbed(yf, printed):
    yf.error = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        fallback(["day", "3"])


def test_the_cache_is_only_touched_on_the_loop_thread(yf, printed, monkeypatch):
    threads = set()
    cache = kline._get_cache()

    class Watched:
        def __getattr__(self, name):
            threads.add(threading.current_thread())
            return getattr(cache, name)

    monkeypatch.setattr(kline, "_candle_store", Watched())
    for rest in (["day", "3"], ["2025-01-01", "2025-02-01"], ["intraday"]):
        fallback(rest)
    assert threads == {threading.main_thread()}


def test_an_invalid_date_fails_on_both_paths_and_the_shell_carries_on(yf, data_dir, log_lines):
    import io

    from broker_doubles import ConnectedState
    from veltrax.shell import Shell

    class State(ConnectedState):
        ib = RecordingIB(daily_bars(3))

    out = io.StringIO()
    shell = Shell(State(), out=out)
    assert asyncio.run(shell.execute("kline AAPL 2025-02-30 day")) is False
    assert out.getvalue() == "kline AAPL: not a valid calendar date: 2025-02-30\n"
    assert ("WARNING", "[AAPL] IBKR failed (not a valid calendar date: 2025-02-30), falling back to yfinance") in log_lines
    assert yf.downloads == [] and State.ib.calls == []
    assert list(kline._get_cache().cache.keys()) == []


def test_a_failing_broker_is_answered_by_the_fallback_through_run(yf, printed, log_lines):
    from broker_doubles import ConnectedState

    op = kline.IOpKline(state=ConnectedState(), ib=RecordingIB(error=ConnectionResetError("socket closed")))
    op.symbol, op.rest = "AAPL", ["5m", "20", "adj"]
    result = asyncio.run(op.run())
    assert result["source"] == "yfinance" and result["count"] == 20
    assert ("WARNING", "[AAPL] IBKR failed (socket closed), falling back to yfinance") in log_lines
    assert yf.downloads[0]["keywords"] == [("period", "5d"), ("interval", "5m"), ("auto_adjust", True)]
