"""What the shell says about a request: titles, status lines, failure summaries, notices, bad input."""

import asyncio
import datetime as dt
import re

import pandas as pd
import pytest

from broker_doubles import RecordingIB, command, daily_bars, minute_bars
from veltrax.answers import LoggedLine, answer_notes, failure_lines, fallback_note, status_line, title_of
from veltrax.cmds.quotes import kline
from veltrax.output import fit_line, fit_lines
from veltrax.reading import read_kline_words
from veltrax.shell import input_problem


@pytest.mark.parametrize("words, bars", [
    (["5m", "20", "adj"], minute_bars(30)),
    (["day", "3"], daily_bars(5)),
    (["2025-01-01", "2025-02-01", "day", "adj"], daily_bars(5)),
    (["2025-01-01", "2025-02-01", "w"], daily_bars(5)),
    (["intraday"], minute_bars(30)),
])
@pytest.mark.parametrize("path", ["ibkr", "yfinance"])
def test_the_title_of_a_result_is_the_title_the_command_printed(path, words, bars, yf, data_dir, monkeypatch):
    titles = []
    monkeypatch.setattr(kline, "printFrame", lambda table, title: titles.append(title))
    ib = RecordingIB(bars) if path == "ibkr" else RecordingIB(error=ConnectionResetError("gone"))
    result = asyncio.run(command("AAPL", words, ib).run())
    assert result["source"] == path
    assert titles == [title_of(result, path, kline.ADJUST_KEYWORDS)]


@pytest.mark.parametrize("result, source, expected", [
    ({"symbol": "AAPL", "period": "5m", "count": 2, "adjust": "adj", "bars": [{}, {}], "cached": True},
     "cache", "AAPL 5m (2 bars) (adjusted)"),
    ({"symbol": "AAPL", "period": "day", "start": "2025-01-01", "end": "2025-02-01", "adjust": "none", "bars": [],
      "cached": True}, "cache", "AAPL day 2025-01-01 ~ 2025-02-01"),
    ({"symbol": "AAPL", "type": "intraday", "bars": [], "source": "cache"}, "cache", "AAPL Intraday"),
])
def test_a_cached_result_is_titled_as_the_broker_titles_it(result, source, expected):
    assert title_of(result, source, kline.ADJUST_KEYWORDS) == expected


MINUTE = pd.Timestamp("2025-06-06 09:30")
DAY = dt.date(2025, 6, 2)


YFINANCE_BAR = {"date": DAY, "close": 2.5, "Adj Close": 2.4, "average": 2.5, "barCount": 1}
BROKER_BAR = {"date": DAY, "close": 2.5, "average": 2.45, "barCount": 12}


@pytest.mark.parametrize("bars, source, requested, feed, contract, expected", [
    ([{"date": MINUTE}] * 55, "ibkr", 200, None, None,
     "source: ibkr · 55 of 200 bars · 2025-06-06 09:30 · fresh"),
    ([{"date": DAY}, {"date": DAY + dt.timedelta(days=4)}], "yfinance", 2, "simulated feed", None,
     "source: yfinance (simulated) · 2 bars · 2025-06-02 → 2025-06-06 · fresh · simulated feed, not market data"),
    ([{"date": pd.Timestamp("2025-06-05")}, {"date": MINUTE}], "cache", None, None, None,
     "source: cache · 2 bars · 2025-06-05 00:00 → 2025-06-06 09:30 · cached"),
    ([], "ibkr", None, "simulated feed", None,
     "source: ibkr (simulated) · 0 bars · fresh · simulated feed, not market data"),
    ([BROKER_BAR], "ibkr", 1, None, "ESM5 (Jun 2025)",
     "source: ibkr · ESM5 (Jun 2025) · 1 bar · 2025-06-02 · fresh"),
    ([YFINANCE_BAR], "cache", 5, None, "ESM5 (Jun 2025)",  # no contract: these bars are yfinance's
     "source: cache · 1 of 5 bars · 2025-06-02 · cached · yfinance has no average or trade count "
     "(average = close, barCount = 1) and adds Adj Close (the close adjusted for dividends)"),
    ([{**BROKER_BAR, "average": 2.5, "barCount": 1}] * 2, "yfinance", None, None, None,
     "source: yfinance · 2 bars · 2025-06-02 · fresh · yfinance has no average or trade count "
     "(average = close, barCount = 1)"),
])
def test_status_line(bars, source, requested, feed, contract, expected):
    assert status_line({"bars": bars}, source, requested, feed, contract) == expected


TODAY = dt.date(2025, 6, 6)


@pytest.mark.parametrize("words, result, notes", [
    (["2025-01-04", "2025-01-06"], {"start": "2025-01-04", "end": "2025-01-06", "bars": [
        {"date": dt.date(2025, 1, 3)}, {"date": pd.Timestamp("2025-01-06 09:30")}]},
     ["1 of 2 bars is before 2025-01-04: the broker reaches back by whole sessions (by whole years past 365 days), "
      "and kline keeps every bar it sends"]),
    (["2025-01-04"], {"start": "2025-01-04", "end": "2025-06-06", "bars": [{"date": dt.date(2025, 1, 6)}]}, []),
    (["today"], {"error": "Start must be before end", "start": "2025-06-06", "end": "2025-06-06"},
     ["a range that starts today ends today, and kline needs a start before the end: for today's bars ask for "
      "intraday (kline AAPL intraday); for the last session's, start at yesterday"]),
    (["2025-06-06", "2025-06-06"], {"error": "Start must be before end", "start": "2025-06-06", "end": "2025-06-06"},
     []),  # the failure line names both dates
    (["day", "1"], {"period": "day", "bars": [YFINANCE_BAR]}, [
        "yfinance has no average or trade count (average = close, barCount = 1) and adds Adj Close "
        "(the close adjusted for dividends)"]),
])
def test_answers_get_a_note_where_the_commands_rules_surprise(words, result, notes):
    assert answer_notes(result, read_kline_words(words, kline), "AAPL", today=TODAY) == notes


def lines(*entries):
    return [LoggedLine(level, message, library) for level, message, library in entries]


NO_HOST = ("Failed to perform, curl: (6) Could not resolve host: query2.finance.yahoo.com. "
           "See https://curl.se/libcurl/c/libcurl-errors.html first for more details.")


@pytest.mark.parametrize("error, logged, expected", [
    ("No data returned", lines(
        ("ERROR", "Symbol not found: ZZZZ", None),
        ("INFO", "[ZZZZ] yfinance fallback: rest=['day', '5']", None),
        ("ERROR", f"yfinance: Failed to get ticker 'ZZZZ' reason: {NO_HOST}", "yfinance"),
        ("ERROR", f"[ZZZZ] yfinance fetch failed: {NO_HOST}", None),
        ("ERROR", "[ZZZZ] yfinance returned no data", None)),
     ["kline ZZZZ: No data returned",
      "  the broker does not list ZZZZ; yfinance could not be reached: no network "
      "(Could not resolve host: query2.finance.yahoo.com)"]),
    ("No data returned", lines(
        ("ERROR", "ib_async.wrapper: Error 162, reqId 4: Historical Market Data Service error message:"
                  "Historical data request pacing violation, contract: Stock(symbol='ZZZZ')", "ib_async.wrapper"),
        ("ERROR", "[ZZZZ] No data returned", None),
        ("WARNING", "[ZZZZ] IBKR returned error (No data returned), falling back to yfinance", None),
        ("ERROR", "yfinance: $ZZZZ: possibly delisted; no price data found", "yfinance"),
        ("ERROR", "[ZZZZ] yfinance returned no data", None)),
     ["kline ZZZZ: No data returned",
      "  gateway error 162: Historical data request pacing violation; yfinance: $ZZZZ: possibly delisted; "
      "no price data found"]),
    ("not a valid calendar date: 2025-02-30", lines(
        ("WARNING", "[ZZZZ] IBKR failed (not a valid calendar date: 2025-02-30), falling back to yfinance", None)),
     ["kline ZZZZ: not a valid calendar date: 2025-02-30"]),
    ("No data returned", lines(("ERROR", "[ZZZZ] yfinance returned no data", None)),
     ["kline ZZZZ: No data returned", "  yfinance has no data for it"]),
    ("No data returned", [
        LoggedLine("WARNING", "reqHistoricalData: Timeout for Stock(symbol='ZZZZ')", "ib_async.ib", 60.02),
        LoggedLine("ERROR", "Error 162, reqId 4: Historical Market Data Service error message:API historical data "
                            "query cancelled: 4, contract: Stock(symbol='ZZZZ')", "ib_async.wrapper", 60.03),
        LoggedLine("ERROR", "[ZZZZ] No data returned"),
        LoggedLine("ERROR", "[ZZZZ] yfinance returned no data")],
     ["kline ZZZZ: No data returned", "  the gateway did not answer within 60 s; yfinance has no data for it"]),
])
def test_a_failure_is_one_line_and_its_causes_one_more(error, logged, expected):
    assert failure_lines("kline ZZZZ", error, logged) == expected


def test_causes_the_host_knows_come_first():
    logged = lines(("INFO", "[ZZZZ] No gateway, using yfinance fallback", None),
                   ("ERROR", "[ZZZZ] yfinance returned no data", None))
    away = "gateway 127.0.0.1:4002 away since 14:02 (it disconnected)"
    assert failure_lines("kline ZZZZ", "No data returned", logged, known_causes=[away])[1] == (
        f"  {away}; yfinance has no data for it")


# What the real yfinance raised for each of Yahoo's faults (through the chart service double).
@pytest.mark.parametrize("raised, said", [
    ("404 Client Error: Not Found", "yfinance does not know the symbol"),
    ("Too Many Requests. Rate limited. Try after a while.",
     "Yahoo is limiting requests from this address; try again in a few minutes"),
    ("*** YAHOO! FINANCE IS CURRENTLY DOWN! ***", "Yahoo's service is down; try again later"),
    ("502 Server Error: Bad Gateway", "Yahoo's service is down; try again later"),
    ("Expecting value: line 1 column 1 (char 0)", "Yahoo's answer was cut off or garbled; try again"),
    ("('Connection aborted.', RemoteDisconnected('Remote end closed connection without response'))",
     "Yahoo's answer was cut off or garbled; try again"),
    ("$ZZZZ: No data found, symbol may be delisted", "yfinance failed: $ZZZZ: No data found, symbol may be delisted"),
])
def test_yahoos_failures_are_named_in_a_traders_words(raised, said):
    logged = lines(("ERROR", f"[ZZZZ] yfinance fetch failed: {raised}", None))
    assert failure_lines("kline ZZZZ", "No data returned", logged) == ["kline ZZZZ: No data returned", f"  {said}"]


def test_a_fallback_that_answered_names_why_the_broker_did_not():
    logged = lines(("WARNING", "[AAPL] IBKR failed (Socket disconnect), falling back to yfinance", None))
    assert fallback_note(logged) == "note: the broker request failed: Socket disconnect; bars from yfinance"
    assert fallback_note(lines(("INFO", "[AAPL] No gateway, using yfinance fallback", None))) is None


@pytest.mark.parametrize("words, requested, notices", [
    (["5m", "200", "adj"], 200, []),
    ([], 250, []),
    (["d"], 100, ["'d' asks for day's bars by rules of its own: 100 bars by default (day: 250), a shorter "
                  "look-back at the broker (fewer bars may come), 1d bars over 1y from yfinance (day: 1d over 5y), "
                  "cache entries apart from day's"]),
    (["2025-01-01", "w"], None, ["'w' asks for week's bars by rules of its own: 1d bars from yfinance (week: 1wk), "
                                 "cache entries apart from week's"]),
    (["day", "5", "none"], 5, []),
    (["5min", "100"], 250, ["kline takes '5min' as the adjustment word (prices not adjusted): kline calls that "
                            "period 5m", "ignored: 100 (kline reads period, count, adj, in that order)"]),
    (["60m"], 250, ["kline takes '60m' as the adjustment word (prices not adjusted): kline calls that period 1h"]),
    (["90m"], 250, ["kline takes '90m' as the adjustment word (prices not adjusted): kline has no 90-minute bars; "
                    "the nearest period it offers is 1h"]),
    (["day", "5", "4H"], 5, ["kline takes '4H' as the adjustment word (prices not adjusted): kline has no 4-hour "
                             "bars; the nearest period it offers is 1h"]),
    (["2m"], 250, ["kline takes '2m' as the adjustment word (prices not adjusted): kline has no 2-minute bars; "
                   "the nearest period it offers is 1m"]),
    (["20250102"], 20250102, ["20250102 is read as a count of bars; did you mean 2025-01-02? "
                              "(dates are written YYYY-MM-DD)"]),
    (["2025-01-01", "20250601"], None, ["kline takes '20250601' as the adjustment word (prices not adjusted): "
                                        "dates are written YYYY-MM-DD (2025-06-01) and go right after the symbol"]),
    (["0"], 0, ["kline sends a count of 0 as it is, and the broker refuses it; what answers instead (yfinance's 5y "
                "of bars, or a larger cached answer) is kept whole"]),
    (["5m", "-3"], -3, ["kline sends a count of -3 as it is, and the broker refuses it; what answers instead "
                        "(yfinance's 5d of bars, or a larger cached answer) is kept without its first 3 bars"]),
    (["day", "１００"], 250, ["kline takes '１００' as the adjustment word (prices not adjusted): "
                              "a count is written in ASCII digits (100)"]),
    (["day", "5", "ajd"], 5, ["kline takes 'ajd' as the adjustment word (prices not adjusted): did you mean 'adj'?"]),
    (["day", "5", "ADJ"], 5, ["kline takes 'ADJ' as the adjustment word (prices not adjusted): did you mean 'adj'?"]),
    (["100", "day"], 100, ["kline takes 'day' as the adjustment word (prices not adjusted): "
                           "the period goes before the count"]),
    (["Intraday"], 250, ["kline takes 'Intraday' as the adjustment word (prices not adjusted): "
                         "did you mean 'intraday'?"]),
    (["day", "5", "2025-01-01"], 5, ["kline takes '2025-01-01' as the adjustment word (prices not adjusted): "
                                     "dates go right after the symbol"]),
    (["day", "5", "zzz"], 5, ["kline takes 'zzz' as the adjustment word (prices not adjusted): "
                              "adjustment words are adj and forward"]),
    (["day", "5", "adj", "extra"], 5, ["ignored: extra (kline reads period, count, adj, in that order)"]),
    (["intraday", "5m", "adj"], None, ["ignored: 5m adj (kline SYMBOL intraday takes no other words)"]),
    (["2025-01-01", "2025-06-01", "week", "adj"], None, []),
    (["2025-01-01", "day", "100"], None, ["kline takes '100' as the adjustment word (prices not adjusted): "
                                          "a date range takes no count"]),
    (["2025-01-01", "5m", "2025-06-01"], None, ["kline takes '2025-06-01' as the adjustment word (prices not "
                                                "adjusted): dates go right after the symbol"]),
    (["2025-01-01", "2025-06-01", "day", "adj", "x"], None, ["ignored: x (kline reads start, end, period, adj, "
                                                             "in that order)"]),
])
def test_words_the_command_reads_otherwise_get_a_notice(words, requested, notices):
    reading = read_kline_words(words, kline)
    assert (reading.requested, reading.notices) == (requested, notices)


def test_an_aliass_own_rules_are_told_once_a_session():
    told = set()
    said = [read_kline_words(words, kline, told).notices for words in (["d"], ["d", "5"], ["w"], ["d"])]
    assert [len(notices) for notices in said] == [1, 0, 1, 0]


@pytest.mark.parametrize("line, problem", [
    ("kline AAPL day 5", None),
    ("kline\tAAPL day 5", None),
    ("kline AAPL d\udcffy", "not UTF-8 text: byte 0xff at column 13"),
    ("kline \ud800AAPL", "not valid text: lone surrogate U+D800 at column 7"),
    ("kline AAPL\x1b[A", "control character U+001B at column 11"),
    ("kline AA\u200bPL", "invisible character U+200B at column 9"),
    ("kline AAPL\x00", "control character U+0000 at column 11"),
])
def test_unfit_input_is_named_before_it_reaches_a_command(line, problem):
    assert input_problem(line) == problem


STATUS = "source: ibkr (simulated) · 55 of 200 bars · 2025-06-02 09:30 → 2025-06-06 15:55 · fresh · " \
         "simulated feed, not market data"
NOTE = "note: kline takes '5min' as the adjustment word (prices not adjusted): did you mean '5m'?"


@pytest.mark.parametrize("text, width, broken_into", [
    (STATUS, None, 1),  # a pipe: as it is
    (STATUS, 140, 1),
    (STATUS, 80, 2),
    (STATUS, 40, 5),
    (NOTE, 80, 2),
    ("shell words:\n  help [WORD]    this list\n  exit | quit    leave the shell", 80, 3),
])
def test_the_shells_own_lines_are_broken_to_the_terminal_not_wrapped_by_it(text, width, broken_into):
    lines = fit_lines(text, width).split("\n")
    assert len(lines) == broken_into
    assert width is None or max(len(line) for line in lines) <= width
    # Nothing is lost or reordered: only the breaks and the continuation indent are new.
    words = re.findall(r"[^\s·]+", text)
    assert re.findall(r"[^\s·]+", "\n".join(lines)) == words
    assert all(line.startswith("  ") for line in lines[1:]) or "\n" in text


def test_the_cache_overview_breaks_its_symbols_between_symbols():
    held = "  " + "; ".join(f"SYM{n}: 1m, 5m, day" for n in range(10))
    lines = fit_line(held, 80, "; ").split("\n")
    assert len(lines) == 3 and all(len(line) <= 80 for line in lines)
    assert all(line.startswith("    SYM") and line.endswith("day") for line in lines[1:])
    assert "\n".join(lines).replace("\n    ", "; ") == held
