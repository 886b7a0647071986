"""The simulated exchange's calendar: US equity sessions in New York wall-clock time.

Days are counted as integers from 1970-01-01 (a Thursday) and times of day as
minutes after midnight, New York time. Working in wall-clock terms keeps every
session at 09:30-16:00 across daylight-saving changes, as the exchange does.
"""

from __future__ import annotations

import datetime as dt
from functools import lru_cache
from zoneinfo import ZoneInfo

import numpy as np

EXCHANGE_TZ = ZoneInfo("America/New_York")

EPOCH_ORDINAL = dt.date(1970, 1, 1).toordinal()
EPOCH_WEEKDAY = dt.date(1970, 1, 1).weekday()

# Session times, minutes after midnight New York time.
EXTENDED_OPEN = 4 * 60
REGULAR_OPEN = 9 * 60 + 30
REGULAR_CLOSE = 16 * 60
EXTENDED_CLOSE = 20 * 60
MINUTES_PER_DAY = 24 * 60

# The feed has no history before this year (the holiday rules and the price
# model are modern ones).
FIRST_YEAR = 1900


def day_number(d: dt.date) -> int:
    return d.toordinal() - EPOCH_ORDINAL


def to_date(day: int) -> dt.date:
    return dt.date.fromordinal(int(day) + EPOCH_ORDINAL)


def weekday(days: np.ndarray) -> np.ndarray:
    """Monday 0 ... Sunday 6."""
    return (days + EPOCH_WEEKDAY) % 7


def session_bounds(use_rth: bool) -> tuple[int, int]:
    """First and one-past-last minute of a session."""
    return (REGULAR_OPEN, REGULAR_CLOSE) if use_rth else (EXTENDED_OPEN, EXTENDED_CLOSE)


def _easter(year: int) -> dt.date:
    # Anonymous Gregorian algorithm.
    a, b, c = year % 19, year // 100, year % 100
    d, e = b // 4, b % 4
    f = (b + 8) // 25
    g = (b - f + 1) // 3
    h = (19 * a + b - d - g + 15) % 30
    i, k = c // 4, c % 4
    l = (32 + 2 * e + 2 * i - h - k) % 7  # noqa: E741
    m = (a + 11 * h + 22 * l) // 451
    month = (h + l - 7 * m + 114) // 31
    day = (h + l - 7 * m + 114) % 31 + 1
    return dt.date(year, month, day)


def _nth_weekday(year: int, month: int, wd: int, n: int) -> dt.date:
    """The n-th `wd` (Monday 0) of the month; n = -1 for the last."""
    if n > 0:
        first = dt.date(year, month, 1)
        return first + dt.timedelta(days=(wd - first.weekday()) % 7 + 7 * (n - 1))
    last = dt.date(year + month // 12, month % 12 + 1, 1) - dt.timedelta(days=1)
    return last - dt.timedelta(days=(last.weekday() - wd) % 7)


def _observed(d: dt.date) -> dt.date:
    """A Saturday holiday is kept on the Friday before, a Sunday one on the Monday after."""
    if d.weekday() == 5:
        return d - dt.timedelta(days=1)
    if d.weekday() == 6:
        return d + dt.timedelta(days=1)
    return d


@lru_cache(maxsize=512)
def holidays(year: int) -> frozenset[int]:
    """Full-day market holidays of `year` (NYSE rules of today), as day numbers."""
    days = [
        _nth_weekday(year, 9, 0, 1),  # Labor Day
        _nth_weekday(year, 11, 3, 4),  # Thanksgiving
        _easter(year) - dt.timedelta(days=2),  # Good Friday
        _observed(dt.date(year, 7, 4)),
        _observed(dt.date(year, 12, 25)),
        _nth_weekday(year, 2, 0, 3),  # Washington's Birthday
        _nth_weekday(year, 5, 0, -1),  # Memorial Day
    ]
    new_year = dt.date(year, 1, 1)
    if new_year.weekday() != 5:  # a Saturday New Year's Day is not made up on the Friday
        days.append(_observed(new_year))
    if year >= 1998:
        days.append(_nth_weekday(year, 1, 0, 3))  # Martin Luther King Jr. Day
    if year >= 2022:
        days.append(_observed(dt.date(year, 6, 19)))  # Juneteenth
    return frozenset(day_number(d) for d in days)


def is_trading_day(days: np.ndarray) -> np.ndarray:
    """Mask of the weekdays among `days` that are not market holidays."""
    days = np.asarray(days, dtype=np.int64)
    mask = weekday(days) < 5
    if days.size:
        first = to_date(days.min()).year
        last = to_date(days.max()).year
        closed = [d for year in range(first, last + 1) for d in holidays(year)]
        mask &= ~np.isin(days, np.array(closed, dtype=np.int64))
    return mask


def trading_days(first: int, last: int) -> np.ndarray:
    """Trading days from day `first` to day `last`, both included."""
    first = max(first, day_number(dt.date(FIRST_YEAR, 1, 1)))
    if last < first:
        return np.empty(0, dtype=np.int64)
    days = np.arange(first, last + 1, dtype=np.int64)
    return days[is_trading_day(days)]


def year_start(year: int) -> int:
    return day_number(dt.date(year, 1, 1))
