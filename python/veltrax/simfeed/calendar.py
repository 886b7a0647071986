"""The simulated exchange's calendar: the New York Stock Exchange's sessions, from exchange_calendars.

Days are counted as integers from 1970-01-01 (a Thursday) and times of day as
minutes after midnight, New York time. Working in wall-clock terms keeps every
session at 09:30 across daylight-saving changes, as the exchange does.

Sessions, holidays, special closures (2012-10-29, 2025-01-09 ...) and early
closes (13:00 on the day after Thanksgiving, Christmas Eve, July 3) are the
XNYS calendar's. Extended hours run from 04:00 to four hours after the regular
close: 20:00, or 17:00 on an early-close day. The calendar library is loaded
on first use, never when the shell starts.
"""

from __future__ import annotations

import datetime as dt
import threading
import warnings
from dataclasses import dataclass
from zoneinfo import ZoneInfo

import numpy as np

EXCHANGE_TZ = ZoneInfo("America/New_York")
EXCHANGE_CALENDAR = "XNYS"

EPOCH_ORDINAL = dt.date(1970, 1, 1).toordinal()
EPOCH_WEEKDAY = dt.date(1970, 1, 1).weekday()

# Session times, minutes after midnight New York time, on an ordinary day.
EXTENDED_OPEN = 4 * 60
REGULAR_OPEN = 9 * 60 + 30
REGULAR_CLOSE = 16 * 60
EXTENDED_CLOSE = 20 * 60
AFTER_HOURS = EXTENDED_CLOSE - REGULAR_CLOSE  # extended hours after the close, early or not
MINUTES_PER_DAY = 24 * 60

# The feed has no history before this year (the calendar's rules and the price
# model are modern ones).
FIRST_YEAR = 1900
# The calendar is built this many years past the latest day asked for, so a clock
# moving on does not rebuild it.
_YEARS_AHEAD = 2


def day_number(d: dt.date) -> int:
    return d.toordinal() - EPOCH_ORDINAL


def to_date(day: int) -> dt.date:
    return dt.date.fromordinal(int(day) + EPOCH_ORDINAL)


def weekday(days: np.ndarray) -> np.ndarray:
    """Monday 0 ... Sunday 6."""
    return (days + EPOCH_WEEKDAY) % 7


def year_start(year: int) -> int:
    return day_number(dt.date(year, 1, 1))


@dataclass(frozen=True)
class _Sessions:
    day: np.ndarray  # day numbers of the sessions, ascending (read-only)
    close: np.ndarray  # regular close of each, minutes after midnight New York time
    last_day: int  # the last day the table knows (sessions or not)


_loaded: _Sessions | None = None
_load_lock = threading.Lock()


def _load(through_year: int) -> _Sessions:
    from exchange_calendars import get_calendar
    from pandas.errors import Pandas4Warning

    with warnings.catch_warnings():
        # The library reads tz-aware columns through Series.values, which pandas 3.1
        # deprecates; the values it reads are the same.
        warnings.simplefilter("ignore", Pandas4Warning)
        xnys = get_calendar(EXCHANGE_CALENDAR, start=f"{FIRST_YEAR}-01-01", end=f"{through_year}-12-31")
    schedule = xnys.schedule
    closes = schedule["close"].dt.tz_convert(EXCHANGE_TZ)
    days = schedule.index.to_numpy().astype("datetime64[D]").astype(np.int64)
    close = (closes.dt.hour * 60 + closes.dt.minute).to_numpy(dtype=np.int64)
    days.flags.writeable = close.flags.writeable = False
    return _Sessions(days, close, year_start(through_year + 1) - 1)


def _sessions_through(last: int) -> _Sessions:
    """The session table, built (once, or again further out) to cover day `last`."""
    global _loaded
    table = _loaded
    if table is None or last > table.last_day:
        with _load_lock:
            table = _loaded
            if table is None or last > table.last_day:
                year = max(to_date(last).year, dt.date.today().year) + _YEARS_AHEAD
                table = _loaded = _load(year)
    return table


def trading_days(first: int, last: int) -> np.ndarray:
    """Sessions from day `first` to day `last`, both included (read-only)."""
    first = max(first, year_start(FIRST_YEAR))
    if last < first:
        return np.empty(0, dtype=np.int64)
    sessions = _sessions_through(last).day
    return sessions[np.searchsorted(sessions, first) : np.searchsorted(sessions, last, side="right")]


def regular_close(days: np.ndarray) -> np.ndarray:
    """The regular close of each session of `days`: 16:00, or earlier on an early-close day."""
    days = np.asarray(days, dtype=np.int64)
    if days.size == 0:
        return np.empty(0, dtype=np.int64)
    table = _sessions_through(int(days.max()))
    return table.close[np.searchsorted(table.day, days)]


def session_close(days: np.ndarray, use_rth: bool) -> np.ndarray:
    """One past the last minute of each session of `days`: the regular close, or the end of extended hours."""
    close = regular_close(days)
    return close if use_rth else close + AFTER_HOURS


def session_open(use_rth: bool) -> int:
    """The first minute of every session."""
    return REGULAR_OPEN if use_rth else EXTENDED_OPEN
