"""What the shell says about a bar result: its title, its status line, and, for a failed request,
one or two lines that name the cause."""

from __future__ import annotations

import datetime as dt
import re
from dataclasses import dataclass
from typing import Any, Iterable

CACHE = "cache"


@dataclass(frozen=True)
class LoggedLine:
    """One log line written while a request ran; `library` names the library that wrote it, and
    `seconds` how long after the request began it was written, where that was measured."""

    level: str
    message: str
    library: str | None = None
    seconds: float | None = None


def counted(count: int, noun: str) -> str:
    """ "1 bar", "1,200 bars" """
    return f"{count:,} {noun}{'' if count == 1 else 's'}"


def downloaded(bars: list[dict]) -> bool:
    """Whether the bars are yfinance's: its Adj Close column, or no bar with an average or trade
    count of its own (the command sets average = close and barCount = 1 for yfinance's bars)."""
    if not bars:
        return False
    if "Adj Close" in bars[0]:
        return True
    for bar in bars:
        try:
            if not (bar.get("barCount") == 1 and bar.get("average") == bar.get("close")):
                return False
        except TypeError:  # a missing value (pd.NA) is no broker's figure either
            continue
    return True


def downloaded_caveat(bars: list[dict]) -> str | None:
    """What yfinance's bars lack, and what they carry beyond the broker's; None for other bars."""
    if not downloaded(bars):
        return None
    extra = " and adds Adj Close (the close adjusted for dividends)" if "Adj Close" in bars[0] else ""
    return f"yfinance has no average or trade count (average = close, barCount = 1){extra}"


def title_of(result: dict, source: str, adjust_keywords: Iterable[str]) -> str:
    """The title the command prints over a table of this result, as it prints it on the path
    `source` names ("ibkr", "yfinance"); a cached result gets the broker's form."""
    symbol = result.get("symbol", "")
    from_yfinance = source == "yfinance"
    if result.get("type") == "intraday":
        return f"{symbol} Intraday" + (" [yfinance]" if from_yfinance else "")
    if "start" in result:
        title = f"{symbol} {result['period']} {result['start']} ~ {result['end']}"
    else:
        title = f"{symbol} {result['period']} ({len(result['bars'])} bars)"
    if from_yfinance:
        return title + " [yfinance]"
    return title + (" (adjusted)" if result.get("adjust") in set(adjust_keywords) else "")


def source_of(result: dict, fresh: bool) -> str:
    """Where a result's bars came from, as the user is told it: a request that printed no table
    ("fresh" is False) was answered by the cache, whatever the result says."""
    return result.get("source", CACHE) if fresh else CACHE


def status_line(result: dict, source: str, requested: int | None = None, feed_label: str | None = None,
                contract: str | None = None) -> str:
    """Where the bars came from (a future's contract, where the broker's), how many (of how many
    asked), which span, whether cached, and what yfinance's bars lack; bars of a feed that is no
    market (the demo's) say so."""
    bars = result["bars"]
    shown_source = source if source == CACHE or not feed_label else f"{source} (simulated)"
    count = f"{len(bars):,} of {counted(requested, 'bar')}" if requested is not None and len(bars) < requested else (
        counted(len(bars), "bar"))
    parts = [f"source: {shown_source}"]
    caveat = downloaded_caveat(bars)
    if contract and caveat is None:
        parts.append(contract)
    parts.append(count)
    if bars:
        parts.append(bar_span(bars[0].get("date"), bars[-1].get("date")))
    parts.append("cached" if source == CACHE else "fresh")
    if caveat:
        parts.append(caveat)
    if feed_label:
        parts.append(not_market_data(feed_label))
    return " · ".join(parts)


def not_market_data(feed_label: str) -> str:
    return f"{feed_label}, not market data"


def bar_span(first: Any, last: Any) -> str:
    """"2025-06-02 → 2025-06-06", with times of day where either end has one."""
    def has_time(value: Any) -> bool:
        return isinstance(value, dt.datetime) and (value.hour, value.minute, value.second) != (0, 0, 0)

    pattern = "%Y-%m-%d %H:%M" if has_time(first) or has_time(last) else "%Y-%m-%d"

    def text(value: Any) -> str:
        return value.strftime(pattern) if isinstance(value, dt.date) else str(value)

    return f"{text(first)} → {text(last)}" if first != last else text(first)


# The command's line as it turns to yfinance: what it prints from then on is yfinance's.
FALLBACK_STARTED = re.compile(r"\[[^\]]*\] yfinance fallback: rest=.*", re.DOTALL)


def answered_by_yfinance(lines: Iterable[LoggedLine]) -> bool:
    """Whether the request has turned to yfinance, by the command's own log lines."""
    return any(FALLBACK_STARTED.fullmatch(line.message) for line in lines)


# The command's own log lines that tell why a source did not answer.
SYMBOL_NOT_FOUND = re.compile(r"Symbol not found: (?P<symbol>.*)")
BROKER_ERROR = re.compile(r"\[[^\]]*\] IBKR returned error \((?P<text>.*)\), falling back to yfinance")
BROKER_FAILED = re.compile(r"\[[^\]]*\] IBKR failed \((?P<text>.*)\), falling back to yfinance")
DOWNLOAD_FAILED = re.compile(r"\[[^\]]*\] yfinance fetch failed: (?P<text>.*)", re.DOTALL)
DOWNLOAD_EMPTY = re.compile(r"\[[^\]]*\] yfinance returned no data")
# ib_async's (and the simulated feed's) line when the command's wait for bars ran out; the
# gateway then answers the cancel with error 162, "query cancelled", which says nothing more.
BROKER_TIMED_OUT = re.compile(r"reqHistoricalData: Timeout")
QUERY_CANCELLED = re.compile(r"query cancelled", re.IGNORECASE)
# ib_async's (and the simulated feed's) line for an error the gateway sent.
GATEWAY_ERROR = re.compile(r"Error (?P<code>\d+), reqId -?\d+: (?P<text>.*?)(?:, contract: .*)?$", re.DOTALL)
# How the network failing shows in download errors (curl, requests, the OS).
NO_NETWORK = re.compile(
    r"could not resolve host|name or service not known|temporary failure in name resolution|"
    r"network is unreachable|no route to host|failed to connect|couldn't connect|connection refused|"
    r"timed out", re.IGNORECASE)
# Yahoo's failures as yfinance words them (HTTP status lines, decoder and socket errors) mean little
# to a trader; what each means, in plain words.
YAHOO_FAILURES = (
    (re.compile(r"\b404 Client Error"), "yfinance does not know the symbol"),
    (re.compile(r"Too Many Requests|Rate limited", re.IGNORECASE),
     "Yahoo is limiting requests from this address; try again in a few minutes"),
    (re.compile(r"CURRENTLY DOWN|\b5\d\d Server Error", re.IGNORECASE), "Yahoo's service is down; try again later"),
    (re.compile(r"Expecting value|Unterminated string|line \d+ column \d+|Connection aborted|RemoteDisconnected|"
                r"IncompleteRead|Connection broken"), "Yahoo's answer was cut off or garbled; try again"),
)


def short(text: str) -> str:
    """A library's error text without its preambles and its pointers to further reading."""
    text = re.sub(r"^(Failed to perform, curl: \(\d+\) |Historical Market Data Service error message:\s*)", "",
                  text.strip())
    return re.split(r"\.? See https?://", text)[0].rstrip(". ")


def broker_causes(lines: Iterable[LoggedLine]) -> list[str]:
    """Why the broker did not answer, in the order it happened; the gateway's own error text in
    place of the command's reading of it."""
    causes, gateway_said, timed_out = [], False, False
    for line in lines:
        if match := SYMBOL_NOT_FOUND.fullmatch(line.message):
            causes.append(f"the broker does not list {match['symbol']}")
        elif line.library and BROKER_TIMED_OUT.search(line.message):
            waited = f"within {line.seconds:.0f} s" if line.seconds is not None else "in time"
            causes.append(f"the gateway did not answer {waited}")
            gateway_said = timed_out = True
        elif line.library and line.level == "ERROR" and (match := GATEWAY_ERROR.search(line.message)):
            if not (timed_out and QUERY_CANCELLED.search(match["text"])):
                causes.append(f"gateway error {match['code']}: {short(match['text'])}")
            gateway_said = True
        elif match := BROKER_FAILED.fullmatch(line.message):
            causes.append(f"the broker request failed: {match['text']}")
        elif (match := BROKER_ERROR.fullmatch(line.message)) and not gateway_said:
            causes.append(f"the broker answered: {match['text']}")
    return causes


def download_failure(text: str) -> str:
    if NO_NETWORK.search(text):
        return f"yfinance could not be reached: no network ({text})"
    meaning = next((meaning for pattern, meaning in YAHOO_FAILURES if pattern.search(text)), None)
    return meaning or f"yfinance failed: {text}"


def download_causes(lines: Iterable[LoggedLine]) -> list[str]:
    """Why yfinance did not answer: the command's own line for a failed download, else what
    yfinance itself logged as an error, else that it had no data."""
    failed, library_errors, empty = [], [], False
    for line in lines:
        if match := DOWNLOAD_FAILED.fullmatch(line.message):
            failed.append(download_failure(short(match["text"])))
        elif (line.library or "").startswith("yfinance") and line.level == "ERROR":
            library_errors.append(f"yfinance: {short(line.message.split(': ', 1)[-1])}")
        elif DOWNLOAD_EMPTY.fullmatch(line.message):
            empty = True
    return failed or library_errors or (["yfinance has no data for it"] if empty else [])


def failure_lines(what: str, error: str, lines: list[LoggedLine], detail: str = "",
                  known_causes: Iterable[str] = ()) -> list[str]:
    """One line naming the failure (and its `detail`), and one naming its causes when the log
    tells them; `known_causes` are those the host knows first-hand (a gateway that is away)."""
    causes = []
    for cause in [*known_causes, *broker_causes(lines), *download_causes(lines)]:
        # A cause that only repeats the failure ("the broker answered: No data returned") says nothing new.
        if not cause.endswith(f": {error}") and cause not in causes:
            causes.append(cause)
    return [f"{what}: {error}{detail}", *([f"  {'; '.join(causes)}"] if causes else [])]


def error_result_lines(what: str, result: dict, lines: list[LoggedLine], known_causes: Iterable[str] = ()) -> list[str]:
    """`failure_lines` of a result with an "error". The range refusal has no symbol and tells its
    dates only in the log, so they are said."""
    refused_range = "start" in result and "end" in result and "symbol" not in result
    detail = f" ({result['start']} is not before {result['end']})" if refused_range else ""
    return failure_lines(what, str(result["error"]), lines, detail, known_causes)


def fallback_note(lines: list[LoggedLine]) -> str | None:
    """Why the broker did not answer a request that yfinance then answered."""
    causes = list(dict.fromkeys(broker_causes(lines)))
    return f"note: {'; '.join(causes)}; bars from yfinance" if causes else None


RANGE_REFUSED = "Start must be before end"


def answer_notes(result: Any, reading: Any, symbol: str = "SYMBOL", today: dt.date | None = None,
                 caveats: bool = True) -> list[str]:
    """Notes on an answer where the command's own rules surprise: a range answered with bars from
    before its start, a range refused for ending where it starts, and (with `caveats`) what
    yfinance's bars lack. `reading` is the request as `veltrax.reading.read_kline_words` read it.
    Pure: any host may call it, and says the notes its own way."""
    if not isinstance(result, dict):
        return []
    notes = []
    if (reading.form == "history" and result.get("error") == RANGE_REFUSED and reading.end is None
            and result.get("start") == (today or dt.date.today()).isoformat()):
        notes.append("a range that starts today ends today, and kline needs a start before the end: for "
                     f"today's bars ask for intraday (kline {symbol} intraday); for the last session's, start "
                     "at yesterday")
    if reading.form == "history" and "bars" in result and "start" in result and "error" not in result:
        earlier = sum(1 for bar in result["bars"] if date_of(bar.get("date")) < result["start"])
        if earlier:
            verb = "is" if earlier == 1 else "are"
            notes.append(f"{earlier:,} of {counted(len(result['bars']), 'bar')} {verb} before {result['start']}: "
                         "the broker reaches back by whole sessions (by whole years past 365 days), and kline "
                         "keeps every bar it sends")
    if caveats and "bars" in result and (caveat := downloaded_caveat(result["bars"])) is not None:
        notes.append(caveat)
    return notes


def date_of(value: Any) -> str:
    """A bar's date as YYYY-MM-DD text, for comparing with a range's dates."""
    return value.strftime("%Y-%m-%d") if isinstance(value, dt.date) else str(value)[:10]
