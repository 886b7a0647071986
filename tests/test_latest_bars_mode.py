"""kline <symbol> [period] [count] [adj] from the broker: words, the request, the cut, the cache."""

import asyncio

import pytest

from broker_doubles import RecordingIB, command, daily_bars, minute_bars
from veltrax.cmds.quotes import kline


@pytest.fixture
def printed(monkeypatch, data_dir):
    titles = []
    monkeypatch.setattr(kline, "printFrame", lambda table, title: titles.append((title, len(table))))
    return titles


def latest(rest, bars=None, symbol="AAPL"):
    ib = RecordingIB(daily_bars(400) if bars is None else bars)
    op = command(symbol, rest, ib)
    return asyncio.run(op._kline("CONTRACT", op.rest)), ib


@pytest.mark.parametrize(
    "rest, period, count, adjust, what, duration, bar_size",
    [
        ([], "day", 250, "none", "TRADES", "350 D", "1 day"),
        (["5m", "200", "adj"], "5m", 200, "adj", "ADJUSTED_LAST", "1 D", "5 mins"),
        (["100"], "day", 100, "none", "TRADES", "140 D", "1 day"),
        (["adj"], "day", 250, "adj", "ADJUSTED_LAST", "350 D", "1 day"),
        (["100", "day"], "day", 100, "day", "TRADES", "140 D", "1 day"),
        (["day", "100", "Adj"], "day", 100, "Adj", "TRADES", "140 D", "1 day"),
        (["day", "adj"], "day", 250, "adj", "ADJUSTED_LAST", "350 D", "1 day"),
        (["d"], "d", 100, "none", "TRADES", "100 D", "1 day"),
        (["m", "12", "forward"], "m", 12, "forward", "ADJUSTED_LAST", "360 D", "1 month"),
        (["week", "300"], "week", 300, "none", "TRADES", "6 Y", "1 week"),
        (["1m", " 1_000 ", "x", "ignored"], "1m", 1000, "x", "TRADES", "1 D", "1 min"),
        (["minute"], "minute", 100, "none", "TRADES", "1 D", "1 min"),
        (["1h", "0"], "1h", 0, "none", "TRADES", "0 D", "1 hour"),
    ],
)
def test_words_become_the_broker_request(rest, period, count, adjust, what, duration, bar_size, printed, log_lines):
    result, ib = latest(rest)
    (args, keywords), = ib.calls
    assert args == ("CONTRACT",)
    assert keywords == [
        ("endDateTime", ""), ("durationStr", duration), ("barSizeSetting", bar_size), ("whatToShow", what),
        ("useRTH", period not in ("5m", "1m", "minute", "1h")), ("keepUpToDate", False), ("timeout", 60)]
    assert (result["period"], result["adjust"]) == (period, adjust)
    assert ("INFO", f"[AAPL] kline: period={period} ({bar_size}), count={count}, duration={duration}, what={what}") in log_lines
    assert kline._get_cache().get(f"AAPL:{period}:{adjust}:count_{count}") == result["bars"]


def test_only_the_newest_count_bars_are_printed_returned_and_stored(printed):
    result, _ = latest(["day", "5", "adj"])
    assert list(result) == ["symbol", "period", "count", "adjust", "bars"]
    assert result["count"] == 5 and [bar["open"] for bar in result["bars"]] == [495, 496, 497, 498, 499]
    assert printed == [("AAPL day (5 bars) (adjusted)", 5)]


def test_fewer_bars_than_asked_are_all_kept(printed):
    result, _ = latest(["day", "50"], bars=daily_bars(3))
    assert result["count"] == 3 and printed == [("AAPL day (3 bars)", 3)]
    assert kline._get_cache().get("AAPL:day:none:count_50") == result["bars"]


def test_count_zero_keeps_every_bar_and_negative_drops_the_first(printed):
    assert latest(["day", "0"], bars=daily_bars(7))[0]["count"] == 7
    result, _ = latest(["day", "-2"], bars=daily_bars(7))
    assert [bar["open"] for bar in result["bars"]] == [102, 103, 104, 105, 106]


def test_records_keep_dates_and_strip_zones(printed):
    daily, _ = latest(["day", "1"])
    assert type(daily["bars"][0]["date"]).__name__ == "date"
    intraday, _ = latest(["1m", "1"], bars=minute_bars(5))
    assert str(intraday["bars"][0]["date"]) == "2025-01-02 09:34:00"
    assert intraday["bars"][0]["date"].tzinfo is None
    assert list(intraday["bars"][0]) == ["date", "open", "high", "low", "close", "volume", "average", "barCount"]


def test_repeat_is_an_exact_hit_that_prints_nothing(printed, log_lines):
    first, ib = latest(["5m", "20"])
    again, ib_again = latest(["5m", "20"])
    assert ib_again.calls == [] and len(printed) == 1
    assert again == {**first, "cached": True}
    assert again["bars"] is kline._get_cache().get("AAPL:5m:none:count_20")
    assert ("INFO", "[AAPL] kline exact cache hit: 5m 20 none") in log_lines


def test_a_larger_cached_count_answers_and_is_stored_under_the_exact_key(printed, log_lines):
    latest(["day", "100"])
    smaller, ib = latest(["day", "30"])
    assert ib.calls == [] and len(printed) == 1
    assert smaller["cached"] is True and smaller["count"] == 30
    assert [bar["open"] for bar in smaller["bars"]] == list(range(470, 500))
    assert ("INFO", "[AAPL] kline larger-cache hit: day 30 none") in log_lines
    assert kline._get_cache().get("AAPL:day:none:count_30") == smaller["bars"]


def test_no_bars_is_an_error_and_nothing_is_stored(printed, log_lines):
    result, _ = latest(["day", "5"], bars=[])
    assert result == {"error": "No data returned", "symbol": "AAPL"}
    assert printed == [] and kline._get_cache().get("AAPL:day:none:count_5") is None
    assert ("ERROR", "[AAPL] No data returned") in log_lines


def test_broker_failures_are_not_caught_here(printed):
    op = command("AAPL", ["day"], RecordingIB(error=TimeoutError("gateway timeout")))
    with pytest.raises(TimeoutError):
        asyncio.run(op._kline(None, op.rest))


def test_an_adjustment_word_that_looks_like_a_key_does_not_answer_other_requests(printed):
    latest(["day", "250", "adj:count_x"])
    assert kline._get_cache().get("AAPL:day:adj:count_x:count_250") is not None
    result, ib = latest(["day", "200", "adj"])
    assert ib.keywords()["whatToShow"] == "ADJUSTED_LAST" and "cached" not in result
