"""Where the double's bars come from: a pluggable source, and a small deterministic stand-in.

A bar source is any callable

    source(symbol, bar_size, end, duration, what_to_show, use_rth) -> sequence of bars

with `bar_size` and `duration` as the client sent them ("5 mins", "2 Y"), `end` None for
"up to now" or the zone-aware instant the request named, and bars oldest first, each with
`date` (a `datetime.date` for daily and longer bars, a zone-aware `datetime` for intraday
ones), `open`, `high`, `low`, `close`, `volume`, `average` and `barCount` (ib_async's
`BarData` fits). The double only formats what the source returns.
"""

from __future__ import annotations

import datetime as dt
import re
import zlib
from collections.abc import Callable, Sequence
from typing import Any
from zoneinfo import ZoneInfo

from ib_async import BarData

BarSource = Callable[[str, str, "dt.datetime | None", str, str, bool], Sequence[Any]]

BAR_SIZES = {
    "1 secs": 1, "5 secs": 5, "10 secs": 10, "15 secs": 15, "30 secs": 30,
    "1 min": 60, "2 mins": 120, "3 mins": 180, "5 mins": 300, "10 mins": 600, "15 mins": 900,
    "20 mins": 1200, "30 mins": 1800, "1 hour": 3600, "2 hours": 7200, "3 hours": 10800,
    "4 hours": 14400, "8 hours": 28800, "1 day": 86400, "1 week": 604800, "1 month": 2592000,
}
DURATION = re.compile(r"([1-9]\d*) ([SDWMY])$")
DURATION_DAYS = {"S": 1 / 86400, "D": 1, "W": 7, "M": 31, "Y": 365}


def parse_duration(text: str) -> tuple[int, str]:
    """(3, "D") from "3 D"; ValueError for what the gateway refuses."""
    match = DURATION.match(text)
    if not match:
        raise ValueError(text)
    return int(match.group(1)), match.group(2)


def calendar_end(end: dt.datetime | None) -> dt.date | dt.datetime | None:
    """The end as the client's caller likely gave it: ib_async sends a date as 23:59:59 local time."""
    if end is None:
        return None
    local = end.astimezone()
    if local.time() == dt.time(23, 59, 59):
        return local.date()
    return end


def from_generator(generate: Callable[..., Sequence[Any]]) -> BarSource:
    """A source from a generator that takes `end` as ib_async's callers do (None, a date or a datetime)."""

    def source(symbol, bar_size, end, duration, what_to_show, use_rth):
        return generate(symbol, bar_size, calendar_end(end), duration, what_to_show, use_rth)

    return source


# -- the stand-in ---------------------------------------------------------------------------

EXCHANGE_ZONE = ZoneInfo("US/Eastern")  # the zone name the gateway writes for US stocks
REGULAR_HOURS = (dt.time(9, 30), dt.time(16, 0))
EXTENDED_HOURS = (dt.time(4, 0), dt.time(20, 0))
# Bars before this day carry a simulated 2:1 split in "ADJUSTED_LAST".
SPLIT_DAY = dt.date(2024, 6, 10)


def _weekdays_back(last: dt.date, count: int) -> list[dt.date]:
    days = []
    day = last
    while len(days) < count:
        if day.weekday() < 5:
            days.append(day)
        day -= dt.timedelta(days=1)
    return days[::-1]


def _window_days(last: dt.date, amount: int, unit: str) -> list[dt.date]:
    """The trading days a duration covers, ending at `last`: "N D" is N weekdays, longer units are calendar spans."""
    if unit in "SD":
        return _weekdays_back(last, amount if unit == "D" else 1)
    first = last - dt.timedelta(days=amount * DURATION_DAYS[unit])
    return [first + dt.timedelta(days=i) for i in range(1, (last - first).days + 1)
            if (first + dt.timedelta(days=i)).weekday() < 5]


def _session(use_rth: bool) -> tuple[dt.time, dt.time]:
    return REGULAR_HOURS if use_rth else EXTENDED_HOURS


def _bar_starts(days: list[dt.date], bar_size: str, use_rth: bool, until: dt.datetime) -> list[dt.date]:
    seconds = BAR_SIZES[bar_size]
    if seconds >= 86400:
        if bar_size == "1 week":
            days = [d for i, d in enumerate(days) if i == 0 or d.weekday() < days[i - 1].weekday()]
        elif bar_size == "1 month":
            days = [d for i, d in enumerate(days) if i == 0 or d.month != days[i - 1].month]
        return days
    opens, closes = _session(use_rth)
    starts = []
    for day in days:
        moment = dt.datetime.combine(day, opens, EXCHANGE_ZONE)
        close = dt.datetime.combine(day, closes, EXCHANGE_ZONE)
        while moment < close and moment < until:
            starts.append(moment)
            moment += dt.timedelta(seconds=seconds)
    return starts


def _bar(symbol: str, bar_size: str, start: dt.date, adjusted: bool) -> BarData:
    """Prices that depend only on symbol, bar size and start, so overlapping requests agree."""
    seed = zlib.crc32(f"{symbol}|{bar_size}|{start.isoformat()}".encode())
    base = 50 + zlib.crc32(symbol.encode()) % 400
    open_ = base + (seed % 1000) / 100
    close = open_ + ((seed >> 10) % 200 - 100) / 100
    high = max(open_, close) + ((seed >> 18) % 50) / 100
    low = min(open_, close) - ((seed >> 24) % 50) / 100
    day = start.date() if isinstance(start, dt.datetime) else start
    scale = 0.5 if adjusted and day < SPLIT_DAY else 1.0
    prices = [round(p * scale, 4) for p in (open_, high, low, close)]
    average = round((prices[1] + prices[2] + prices[3]) / 3, 4)
    return BarData(date=start, open=prices[0], high=prices[1], low=prices[2], close=prices[3],
                   volume=float(100 + seed % 9000), average=average, barCount=1 + seed % 250)


def stand_in_bars(symbol: str, bar_size: str, end: dt.datetime | None, duration: str, what_to_show: str,
                  use_rth: bool, now: Callable[[], dt.datetime] = lambda: dt.datetime.now(EXCHANGE_ZONE)):
    """Weekday sessions in New York time (09:30-16:00, or 04:00-20:00 outside regular hours).

    "N D" counts the last N sessions that have begun by the end, so a request for
    "1 D" made before the open, or at a weekend, gets the previous session.
    """
    amount, unit = parse_duration(duration)
    until = (end or now()).astimezone(EXCHANGE_ZONE)
    last = until.date()
    if BAR_SIZES[bar_size] < 86400 and until.time() <= _session(use_rth)[0]:
        last -= dt.timedelta(days=1)
    days = _window_days(last, amount, unit)
    adjusted = what_to_show == "ADJUSTED_LAST"
    return [_bar(symbol, bar_size, start, adjusted) for start in _bar_starts(days, bar_size, use_rth, until)]
