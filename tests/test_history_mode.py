"""kline <symbol> <start> [end] [period] [adj] from the broker."""

import asyncio
import datetime as dt

import pytest

from broker_doubles import RecordingIB, command, daily_bars
from veltrax.cmds.quotes import kline

TODAY = dt.date.today()


@pytest.fixture
def printed(monkeypatch, data_dir):
    titles = []
    monkeypatch.setattr(kline, "printFrame", lambda table, title: titles.append(title))
    return titles


def history(rest, bars=None):
    ib = RecordingIB(daily_bars(40) if bars is None else bars)
    op = command("AAPL", rest, ib)
    return asyncio.run(op._history("CONTRACT", op.rest)), ib


@pytest.mark.parametrize(
    "rest, start, end, period, adjust, duration, what",
    [
        (["2025-01-01", "2025-06-01", "day"], "2025-01-01", "2025-06-01", "day", "none", "151 D", "TRADES"),
        (["2024-01-01", "2025-06-01", "week", "adj"], "2024-01-01", "2025-06-01", "week", "adj", "2 Y", "ADJUSTED_LAST"),
        (["2024-06-01", "2025-06-01"], "2024-06-01", "2025-06-01", "day", "none", "365 D", "TRADES"),
        (["2024-05-31", "2025-06-01"], "2024-05-31", "2025-06-01", "day", "none", "2 Y", "TRADES"),
        (["2025-01-01", "adj"], "2025-01-01", str(TODAY), "day", "adj", None, "ADJUSTED_LAST"),
        (["2025-01-01", "day", "100"], "2025-01-01", str(TODAY), "day", "100", None, "TRADES"),
        (["2025-01-01", "5m", "2025-06-01"], "2025-01-01", str(TODAY), "5m", "2025-06-01", None, "TRADES"),
        (["yesterday"], str(TODAY - dt.timedelta(days=1)), str(TODAY), "day", "none", "1 D", "TRADES"),
    ],
)
def test_words_become_the_broker_request(rest, start, end, period, adjust, duration, what, printed, log_lines):
    result, ib = history(rest)
    (args, keywords), = ib.calls
    start_date, end_date = dt.date.fromisoformat(start), dt.date.fromisoformat(end)
    duration = duration or kline._calc_duration((end_date - start_date).days)
    assert args == ("CONTRACT",)
    assert keywords == [
        ("endDateTime", end_date), ("durationStr", duration), ("barSizeSetting", kline.PERIOD_MAP[period]),
        ("whatToShow", what), ("useRTH", period != "5m"), ("keepUpToDate", False), ("timeout", 60)]
    assert list(result) == ["symbol", "period", "start", "end", "adjust", "bars"]
    assert (result["start"], result["end"], result["period"], result["adjust"]) == (start, end, period, adjust)
    suffix = " (adjusted)" if adjust in ("adj", "forward") else ""
    assert printed == [f"AAPL {period} {start} ~ {end}{suffix}"]
    assert ("INFO", f"[AAPL] history: {start} → {end}, period={period} ({kline.PERIOD_MAP[period]}), "
                    f"duration={duration}, what={what}") in log_lines


def test_bars_before_the_start_are_kept(printed):
    result, _ = history(["2025-01-01", "2025-02-01"], bars=daily_bars(40, first=dt.date(2024, 12, 1)))
    assert len(result["bars"]) == 40 and result["bars"][0]["date"] == dt.date(2024, 12, 1)


@pytest.mark.parametrize("rest, start, end", [
    (["2025-01-01", "2025-01-01"], "2025-01-01", "2025-01-01"),
    (["2025-06-01", "2025-01-01"], "2025-06-01", "2025-01-01"),
    (["today"], str(TODAY), str(TODAY)),
    ([str(TODAY + dt.timedelta(days=3))], str(TODAY + dt.timedelta(days=3)), str(TODAY)),
])
def test_a_start_not_before_the_end_is_refused_before_anything_else(rest, start, end, printed, log_lines):
    result, ib = history(rest)
    assert result == {"error": "Start must be before end", "start": start, "end": end}
    assert ib.calls == [] and printed == []
    assert log_lines == [("ERROR", f"Start must be before end: {start} >= {end}")]


def test_invalid_dates_raise(printed):
    for rest in (["2025-02-30", "day"], ["2025-01-01", "2025-13-45"]):
        with pytest.raises(ValueError, match="not a valid calendar date"):
            history(rest)


def test_repeat_is_a_hit_after_the_request_line(printed, log_lines):
    first, _ = history(["2025-01-01", "2025-06-01"])
    again, ib = history(["2025-01-01", "2025-06-01"])
    assert ib.calls == [] and len(printed) == 1
    assert again == {**first, "cached": True}
    assert [line for line in log_lines if "2025-01-01" in line[1]][-2:] == [
        ("INFO", "[AAPL] history: 2025-01-01 → 2025-06-01, period=day (1 day), duration=151 D, what=TRADES"),
        ("INFO", "[AAPL] history cache hit: 2025-01-01~2025-06-01 day none")]
    assert kline._get_cache().get("AAPL:day:none:2025-01-01_2025-06-01") is again["bars"]


def test_no_bars_in_range(printed, log_lines):
    result, _ = history(["2025-01-01", "2025-06-01"], bars=[])
    assert result == {"error": "No data in range", "symbol": "AAPL", "start": "2025-01-01", "end": "2025-06-01"}
    assert ("ERROR", "[AAPL] No data in range 2025-01-01 → 2025-06-01") in log_lines
    assert printed == [] and kline._get_cache().get("AAPL:day:none:2025-01-01_2025-06-01") is None
