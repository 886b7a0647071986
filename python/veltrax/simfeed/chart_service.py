"""A stand-in for the Yahoo Finance endpoints yfinance uses for price history, answering from the simulated market.

It answers what `yfinance.Ticker(symbol).history(...)` asks, as Yahoo does: the
session cookie (fc.yahoo.com) and crumb (v1/test/getcrumb), the consent page
(none needed), the chart API (v8/finance/chart/SYMBOL with range or
period1/period2, interval, includePrePost and events), and the quote lookups the
library falls back on when it cannot find a symbol's time zone (v10 quoteSummary,
v7 quote).

The bars are the simulated feed's, on the same calendar, so the downloader and
the simulated broker agree where the real services agree: the same sessions, the
same regular-hours bars, the same split-adjusted prices and the same
dividend-adjusted closes (adjclose). Where Yahoo differs from the broker, the
double follows Yahoo: daily bars are stamped with the session's open, weekly
bars with their Monday and monthly bars with their first day; hourly (and
90-minute) bars start at 09:30, not on the clock hour; intraday bars are never
dividend-adjusted; 1-minute bars reach back 30 days (8 days per request), other
minute bars 60 days and hourly bars 730 days.

`ChartService.answer(method, url, cookie)` is pure request-in, answer-out;
`veltrax.simfeed.transport` serves it to a requests session without a socket.
"""

from __future__ import annotations

import datetime as dt
import json
import re
from collections.abc import Callable
from dataclasses import dataclass
from urllib.parse import parse_qsl, unquote, urlsplit

import numpy as np

from veltrax.simfeed import calendar as cal
from veltrax.simfeed.bars import BarSeries, aggregate, dividend_factor, ex_dividend_days, generate_bars
from veltrax.simfeed.instruments import DEFAULT_UNKNOWN_PREFIXES, instrument, lists_stock

# The values the double hands out for the session; tests look for them in messages.
CRUMB = "sImCrUmb7Qz"
COOKIE_NAME = "A3"
COOKIE_VALUE = "d=AQABBSimulatedSessionCookie0000&S=AQAAASimulated"

VALID_RANGES = ("1d", "5d", "1mo", "3mo", "6mo", "1y", "2y", "5y", "10y", "ytd", "max")
VALID_INTERVALS = ("1m", "2m", "5m", "15m", "30m", "60m", "90m", "1h", "1d", "5d", "1wk", "1mo", "3mo")
_INTRADAY_MINUTES = {"1m": 1, "2m": 2, "5m": 5, "15m": 15, "30m": 30, "60m": 60, "90m": 90, "1h": 60}
# How many days back Yahoo serves each intraday interval.
_REACH_DAYS = {"1m": 30, "60m": 730, "1h": 730}
_MINUTE_REACH_DAYS = 60
_ONE_MINUTE_SPAN_DAYS = 8

_QUOTE_HOSTS = ("query1.finance.yahoo.com", "query2.finance.yahoo.com")
_CHART_PATH = re.compile(r"/v8/finance/chart/([^/]+)")
_QUOTE_SUMMARY_PATH = re.compile(r"/v10/finance/quoteSummary/([^/]+)")
_NOT_FOUND_PAGE = b"<!DOCTYPE html><html><head><title>Yahoo</title></head><body>404 Not Found</body></html>"
_DOWN_PAGE = b"<!DOCTYPE html><html><body><h1>Will be right back...</h1></body></html>"


@dataclass(frozen=True)
class Answer:
    status: int
    body: bytes
    content_type: str = "application/json;charset=utf-8"
    set_cookie: str | None = None

    @classmethod
    def json(cls, status: int, document: object) -> Answer:
        return cls(status, json.dumps(document, separators=(",", ":")).encode())

    @classmethod
    def page(cls, status: int, body: bytes = _NOT_FOUND_PAGE) -> Answer:
        return cls(status, body, "text/html;charset=utf-8")


def chart_error(status: int, code: str, description: str) -> Answer:
    return Answer.json(status, {"chart": {"result": None, "error": {"code": code, "description": description}}})


class ChartService:
    """Yahoo's price-history endpoints over the simulated market; `clock` is the market's now."""

    def __init__(self, clock: Callable[[], dt.datetime] | None = None,
                 unknown_prefixes: tuple[str, ...] = DEFAULT_UNKNOWN_PREFIXES) -> None:
        self.clock = clock or (lambda: dt.datetime.now(dt.timezone.utc))
        self.unknown_prefixes = tuple(unknown_prefixes)

    def lists(self, symbol: str) -> bool:
        return lists_stock(symbol, self.unknown_prefixes)

    def answer(self, method: str, url: str, cookie: str = "") -> Answer:
        parts = urlsplit(url)
        host, path = parts.hostname or "", parts.path
        params = dict(parse_qsl(parts.query))
        if host == "fc.yahoo.com":
            # Yahoo answers the cookie page with a 404 that sets the session cookie.
            # A year from the wall clock's now, not the market's: the client checks the expiry against its own.
            expires = (dt.datetime.now(dt.timezone.utc) + dt.timedelta(days=365)).strftime("%a, %d %b %Y %H:%M:%S GMT")
            return Answer(404, _NOT_FOUND_PAGE, "text/html;charset=utf-8",
                          f"{COOKIE_NAME}={COOKIE_VALUE}; Expires={expires}; Domain=.yahoo.com; Path=/; "
                          "Secure; HttpOnly; SameSite=None")
        if host not in _QUOTE_HOSTS:
            return Answer.page(404)  # the consent pages and anything else: nothing to agree to here
        if path == "/v1/test/getcrumb":
            if f"{COOKIE_NAME}=" not in cookie:
                return Answer.json(401, {"finance": {"result": None, "error": {
                    "code": "Unauthorized", "description": "Invalid Cookie"}}})
            return Answer(200, CRUMB.encode(), "text/plain;charset=utf-8")
        if match := _CHART_PATH.fullmatch(path):
            return self.chart(unquote(match[1]), params)
        if match := _QUOTE_SUMMARY_PATH.fullmatch(path):
            return self.quote_summary(unquote(match[1]))
        if path == "/v7/finance/quote":
            symbols = [s for s in params.get("symbols", "").split(",") if self.lists(s)]
            return Answer.json(200, {"quoteResponse": {"result": [self._quote(s) for s in symbols], "error": None}})
        return Answer.page(404)

    # ------------------------------------------------------------ quote lookups

    def _quote(self, symbol: str) -> dict:
        return {"symbol": symbol, "quoteType": "EQUITY", "currency": "USD", "exchange": _exchange(symbol)[0],
                "exchangeTimezoneName": "America/New_York", "exchangeTimezoneShortName": "EST",
                "longName": f"{symbol} (simulated)"}

    def quote_summary(self, symbol: str) -> Answer:
        if not self.lists(symbol):
            return Answer.json(404, {"quoteSummary": {"result": None, "error": {
                "code": "Not Found", "description": f"Quote not found for symbol: {symbol}"}}})
        return Answer.json(200, {"quoteSummary": {"result": [{"quoteType": self._quote(symbol)}], "error": None}})

    # ------------------------------------------------------------ the chart

    def chart(self, symbol: str, params: dict[str, str]) -> Answer:
        if not self.lists(symbol):
            return chart_error(404, "Not Found", "No data found, symbol may be delisted")
        interval = params.get("interval", "1d")
        if interval not in VALID_INTERVALS or interval in ("5d", "3mo"):
            return chart_error(400, "Bad Request", f"Invalid input - interval={interval} is not supported. "
                                                   f"Valid intervals: [{', '.join(VALID_INTERVALS)}]")
        range_ = params.get("range")
        if range_ is not None and range_ not in VALID_RANGES:
            return chart_error(400, "Bad Request", f"Invalid input - range={range_} is not supported. "
                                                   f"Valid ranges: [{', '.join(VALID_RANGES)}]")
        now = self.clock()
        prepost = params.get("includePrePost", "false").lower() == "true"
        intraday = interval in _INTRADAY_MINUTES
        try:
            start, end = self._window(range_, params, now, prepost and intraday)
        except ValueError:
            return chart_error(400, "Bad Request", "Invalid input - period1 and period2 must be epoch seconds")
        if intraday:
            refusal = _intraday_refusal(interval, start, end, now)
            if refusal:
                return chart_error(422, "Unprocessable Entity", refusal)
            bars, stamps, adjclose = self._intraday(symbol, interval, start, end, now, prepost)
        else:
            bars, stamps, adjclose = self._daily(symbol, interval, start, end, now)
        events = params.get("events", "")
        return Answer.json(200, {"chart": {"result": [self._result(
            symbol, interval, range_, now, prepost, bars, stamps, adjclose, events, start, end)], "error": None}})

    def _window(self, range_: str | None, params: dict[str, str], now: dt.datetime,
                extended: bool) -> tuple[dt.datetime, dt.datetime]:
        """The instants [start, end) a request covers."""
        if range_ is None:
            start = _instant(int(params.get("period1", "0")))
            end = _instant(int(params["period2"])) if "period2" in params else now
            return start, min(end, now + dt.timedelta(seconds=1))
        local_now = now.astimezone(cal.EXCHANGE_TZ)
        if range_.endswith("d"):
            # The last N sessions begun by now.
            today = cal.day_number(local_now.date())
            opens = cal.session_open(not extended)
            sessions = cal.trading_days(today - 3 * int(range_[:-1]) - 14, today)
            if len(sessions) and sessions[-1] == today and local_now.hour * 60 + local_now.minute < opens:
                sessions = sessions[:-1]
            first = cal.to_date(sessions[-int(range_[:-1])])
            return dt.datetime.combine(first, dt.time(), cal.EXCHANGE_TZ), now
        if range_ == "ytd":
            first = local_now.date().replace(month=1, day=1)
        elif range_ == "max":
            first = dt.date(cal.FIRST_YEAR, 1, 1)
        else:
            months = int(range_[:-2]) if range_.endswith("mo") else 12 * int(range_[:-1])
            first = _months_before(local_now.date(), months)
        return dt.datetime.combine(first, dt.time(), cal.EXCHANGE_TZ), now

    def _intraday(self, symbol: str, interval: str, start: dt.datetime, end: dt.datetime, now: dt.datetime,
                  prepost: bool) -> tuple[BarSeries, list[int], None]:
        sessions = _sessions_between(start, end)
        if len(sessions) == 0:
            return _no_bars(intraday=True), [], None
        minutes = generate_bars(symbol, "1 min", end - dt.timedelta(seconds=1), f"{len(sessions)} D", "TRADES",
                                not prepost, now=now)
        stamps = _stamps(minutes)
        keep = (stamps >= start.timestamp()) & (stamps < end.timestamp())
        minutes = minutes.take(keep)
        size = _INTRADAY_MINUTES[interval]
        if size > 1:
            # Yahoo's bars start at the open of each part of the day (04:00, 09:30, the close).
            close = cal.regular_close(minutes.day)
            part_start = np.where(minutes.minute < cal.REGULAR_OPEN, cal.EXTENDED_OPEN,
                                  np.where(minutes.minute < close, cal.REGULAR_OPEN, close))
            label = part_start + (minutes.minute - part_start) // size * size
            minutes = aggregate(instrument(symbol), minutes, minutes.day * cal.MINUTES_PER_DAY + label, label)
        return minutes, _stamps(minutes).tolist(), None

    def _daily(self, symbol: str, interval: str, start: dt.datetime, end: dt.datetime,
               now: dt.datetime) -> tuple[BarSeries, list[int], list[float]]:
        ins = instrument(symbol)
        first_day = cal.day_number(start.astimezone(cal.EXCHANGE_TZ).date())
        last = end - dt.timedelta(seconds=1)
        if interval == "1wk":
            first_day -= int(cal.weekday(np.array([first_day]))[0])
        elif interval == "1mo":
            first_day = cal.day_number(cal.to_date(first_day).replace(day=1))
        daily = _daily_series(symbol, first_day, last, now)
        if len(daily) == 0:
            return _no_bars(intraday=False), [], []
        if interval == "1d":
            stamps = [_stamp(day, cal.REGULAR_OPEN) for day in daily.day.tolist()]
            keep = np.asarray(stamps) >= start.timestamp() if stamps else np.zeros(0, bool)
            daily, stamps = daily.take(keep), [s for s, k in zip(stamps, keep) if k]
            factor = dividend_factor(ins, daily.day, cal.day_number(now.astimezone(cal.EXCHANGE_TZ).date()))
            return daily, stamps, (daily.close * factor).round(ins.decimals + 4).tolist()
        if interval == "1wk":
            keys = daily.day - cal.weekday(daily.day)
        else:
            keys = daily.day.astype("datetime64[D]").astype("datetime64[M]").astype("datetime64[D]").astype(np.int64)
        factor = dividend_factor(ins, daily.day, cal.day_number(now.astimezone(cal.EXCHANGE_TZ).date()))
        adjusted_close = daily.close * factor
        periods = aggregate(ins, daily, keys, None)
        starts = np.unique(keys)
        last_of_period = np.r_[np.flatnonzero(keys[1:] != keys[:-1]), len(keys) - 1]
        stamps = [_stamp(day, 0) for day in starts.tolist()]
        return periods, stamps, adjusted_close[last_of_period].round(ins.decimals + 4).tolist()

    def _result(self, symbol: str, interval: str, range_: str | None, now: dt.datetime, prepost: bool,
                bars: BarSeries, stamps: list[int], adjclose: list[float] | None, events: str,
                start: dt.datetime, end: dt.datetime) -> dict:
        ins = instrument(symbol)
        meta = self._meta(symbol, interval, range_, now, bars)
        if interval in _INTRADAY_MINUTES:
            meta["tradingPeriods"] = _trading_periods(_sessions_between(start, end), prepost)
        result: dict = {"meta": meta}
        quote: dict = {}
        if stamps:
            result["timestamp"] = stamps
            quote = {"open": bars.open.tolist(), "high": bars.high.tolist(), "low": bars.low.tolist(),
                     "close": bars.close.tolist(), "volume": bars.volume.astype(np.int64).tolist()}
        result["indicators"] = {"quote": [quote]}
        if adjclose is not None and stamps:
            result["indicators"]["adjclose"] = [{"adjclose": adjclose}]
        if stamps and interval not in _INTRADAY_MINUTES:
            found = _events(ins, bars, stamps, interval, now, "div" in events, "split" in events)
            if found:
                result["events"] = found
        return result

    def _meta(self, symbol: str, interval: str, range_: str | None, now: dt.datetime, bars: BarSeries) -> dict:
        ins = instrument(symbol)
        local = now.astimezone(cal.EXCHANGE_TZ)
        offset = int(local.utcoffset().total_seconds())
        today = cal.trading_days(cal.day_number(local.date()) - 10, cal.day_number(local.date()))[-1]
        close = int(cal.regular_close(np.array([today]))[0])
        exchange, full_name = _exchange(symbol)
        last_close = float(bars.close[-1]) if len(bars) else None
        return {
            "currency": "USD", "symbol": symbol, "exchangeName": exchange, "fullExchangeName": full_name,
            "instrumentType": "EQUITY", "firstTradeDate": _stamp(cal.year_start(cal.FIRST_YEAR), cal.REGULAR_OPEN),
            "regularMarketTime": int(now.timestamp()), "hasPrePostMarketData": True, "gmtoffset": offset,
            "timezone": local.tzname(), "exchangeTimezoneName": "America/New_York",
            "regularMarketPrice": last_close, "chartPreviousClose": last_close,
            "priceHint": 2 if ins.decimals <= 2 else ins.decimals,
            "currentTradingPeriod": {
                part: _period(today, first, last, offset, local.tzname())
                for part, first, last in (("pre", cal.EXTENDED_OPEN, cal.REGULAR_OPEN),
                                          ("regular", cal.REGULAR_OPEN, close),
                                          ("post", close, close + cal.AFTER_HOURS))
            },
            "dataGranularity": interval, "range": range_ or "", "validRanges": list(VALID_RANGES),
        }


def _instant(seconds: int) -> dt.datetime:
    return dt.datetime.fromtimestamp(seconds, dt.timezone.utc)


def _months_before(day: dt.date, months: int) -> dt.date:
    year, month = divmod(day.year * 12 + day.month - 1 - months, 12)
    month += 1
    last_day = (dt.date(year + month // 12, month % 12 + 1, 1) - dt.timedelta(days=1)).day
    return dt.date(year, month, min(day.day, last_day))


def _stamp(day: int, minute: int) -> int:
    """Epoch seconds of a New York wall-clock minute."""
    wall = dt.datetime.combine(cal.to_date(day), dt.time(minute // 60, minute % 60), cal.EXCHANGE_TZ)
    return int(wall.timestamp())


def _stamps(bars: BarSeries) -> np.ndarray:
    return np.array([int(d.timestamp()) for d in bars.dates()], dtype=np.int64)


def _daily_series(symbol: str, first_day: int, last: dt.datetime, now: dt.datetime) -> BarSeries:
    """The feed's daily bars from day `first_day` to the instant `last`."""
    last_day = cal.day_number(last.astimezone(cal.EXCHANGE_TZ).date())
    sessions = cal.trading_days(first_day, last_day)
    if len(sessions) == 0:
        return _no_bars(intraday=False)
    years = cal.to_date(last_day).year - cal.to_date(int(sessions[0])).year + 1
    duration = f"{len(sessions)} D" if len(sessions) <= 250 else f"{years} Y"
    daily = generate_bars(symbol, "1 day", last, duration, "TRADES", True, now=now)
    return daily.take(daily.day >= sessions[0])


def _sessions_between(start: dt.datetime, end: dt.datetime) -> np.ndarray:
    first = cal.day_number(start.astimezone(cal.EXCHANGE_TZ).date())
    last = cal.day_number((end - dt.timedelta(seconds=1)).astimezone(cal.EXCHANGE_TZ).date())
    return cal.trading_days(first, last)


def _no_bars(intraday: bool) -> BarSeries:
    none, ints = np.empty(0), np.empty(0, np.int64)
    return BarSeries(ints, ints if intraday else None, none, none, none, none, none, none, ints)


def _intraday_refusal(interval: str, start: dt.datetime, end: dt.datetime, now: dt.datetime) -> str | None:
    reach = _REACH_DAYS.get(interval, _MINUTE_REACH_DAYS)
    times = f"startTime={int(start.timestamp())} and endTime={int(end.timestamp())}"
    if interval == "1m" and end - start > dt.timedelta(days=_ONE_MINUTE_SPAN_DAYS):
        return (f"{interval} data not available for {times}. "
                f"Only {_ONE_MINUTE_SPAN_DAYS} days worth of 1m granularity data are allowed to be fetched per request.")
    if start < now - dt.timedelta(days=reach):
        return f"{interval} data not available for {times}. The requested range must be within the last {reach} days."
    return None


def _exchange(symbol: str) -> tuple[str, str]:
    """(exchange code, full name): the same primary exchange as the simulated broker's contract."""
    from veltrax.simfeed.instruments import symbol_seed

    return (("NMS", "NasdaqGS"), ("NYQ", "NYSE"))[symbol_seed(symbol) % 2]


def _period(day: int, first: int, last: int, offset: int, zone: str | None) -> dict:
    return {"timezone": zone, "start": _stamp(day, first), "end": _stamp(day, last), "gmtoffset": offset}


def _trading_periods(sessions: np.ndarray, prepost: bool) -> list | dict:
    if len(sessions) == 0:
        return {"pre": [], "post": []}
    closes = cal.regular_close(sessions).tolist()

    def part(first_of: Callable[[int], int], last_of: Callable[[int], int]) -> list:
        rows = []
        for day, close in zip(sessions.tolist(), closes):
            noon = dt.datetime.combine(cal.to_date(day), dt.time(12), cal.EXCHANGE_TZ)
            rows.append([_period(day, first_of(close), last_of(close), int(noon.utcoffset().total_seconds()),
                                 noon.tzname())])
        return rows

    regular = part(lambda close: cal.REGULAR_OPEN, lambda close: close)
    if not prepost:
        return regular
    return {"pre": part(lambda close: cal.EXTENDED_OPEN, lambda close: cal.REGULAR_OPEN), "regular": regular,
            "post": part(lambda close: close, lambda close: close + cal.AFTER_HOURS)}


def _events(ins, bars: BarSeries, stamps: list[int], interval: str, now: dt.datetime, dividends: bool,
            splits: bool) -> dict:
    """Dividends and splits on the sessions the bars cover, stamped like daily bars."""
    found: dict = {}
    first_day = cal.day_number(_instant(stamps[0]).astimezone(cal.EXCHANGE_TZ).date())
    last_day = int(bars.day[-1])
    today = cal.day_number(now.astimezone(cal.EXCHANGE_TZ).date())
    if dividends and ins.dividend_yield > 0:
        years = range(cal.to_date(first_day).year, cal.to_date(last_day).year + 1)
        days = [d for year in years for d in ex_dividend_days(ins.symbol, year) if first_day <= d <= min(last_day, today)]
        if days:
            # The amount that makes the adjustment factor (1 - yield / 4): a quarter's yield on the last close.
            before = _daily_series(ins.symbol, days[0] - 10,
                                   dt.datetime.combine(cal.to_date(days[-1]), dt.time(0), cal.EXCHANGE_TZ), now)
            found["dividends"] = {}
            for day in days:
                earlier = before.close[before.day < day]
                if len(earlier):
                    stamp = _stamp(day, cal.REGULAR_OPEN)
                    amount = round(float(earlier[-1]) * ins.dividend_yield / 4.0, 4)
                    found["dividends"][str(stamp)] = {"amount": amount, "date": stamp}
    if splits:
        taken = {}
        for split in ins.splits:
            effective = cal.trading_days(cal.day_number(split.day), cal.day_number(split.day) + 10)
            if len(effective) and first_day <= effective[0] <= last_day:
                stamp = _stamp(int(effective[0]), cal.REGULAR_OPEN)
                taken[str(stamp)] = {"date": stamp, "numerator": split.numerator, "denominator": split.denominator,
                                     "splitRatio": f"{split.numerator}:{split.denominator}"}
        if taken:
            found["splits"] = taken
    return found

