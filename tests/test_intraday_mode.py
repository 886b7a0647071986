"""kline <symbol> intraday from the broker: a fixed request, one entry per symbol."""

import asyncio

import pytest

from broker_doubles import RecordingIB, command, minute_bars
from veltrax.cmds.quotes import kline


@pytest.fixture
def printed(monkeypatch, data_dir):
    titles = []
    monkeypatch.setattr(kline, "printFrame", lambda table, title: titles.append((title, len(table))))
    return titles


def intraday(bars=None, symbol="AAPL"):
    ib = RecordingIB(minute_bars(390) if bars is None else bars)
    op = command(symbol, ["intraday", "5m", "adj"], ib)
    return asyncio.run(op._intraday("CONTRACT")), ib


def test_fixed_request_whole_day_printed_and_stored(printed, log_lines):
    result, ib = intraday()
    assert ib.calls == [(("CONTRACT",), [
        ("endDateTime", ""), ("durationStr", "1 D"), ("barSizeSetting", "1 min"), ("whatToShow", "TRADES"),
        ("useRTH", False), ("keepUpToDate", False), ("timeout", 60)])]
    assert list(result) == ["symbol", "type", "bars", "source"]
    assert (result["type"], result["source"], len(result["bars"])) == ("intraday", "ibkr", 390)
    assert printed == [("AAPL Intraday", 390)]
    assert log_lines == [("INFO", "[AAPL] intraday")]
    assert kline._get_cache().get("AAPL:intraday:full") == result["bars"]


def test_repeat_within_two_minutes_is_a_silent_hit(printed, log_lines):
    first, _ = intraday()
    again, ib = intraday()
    assert ib.calls == [] and len(printed) == 1
    assert again["source"] == "cache" and again["bars"] == first["bars"]
    assert log_lines[-2:] == [("INFO", "[AAPL] intraday"), ("INFO", "[AAPL] intraday cache hit")]


def test_empty_answer_is_an_error_and_asks_again_next_time(printed, log_lines):
    result, _ = intraday(bars=[])
    assert result == {"error": "No intraday data", "symbol": "AAPL"}
    assert ("ERROR", "[AAPL] No intraday data") in log_lines
    _, ib = intraday()
    assert len(ib.calls) == 1
