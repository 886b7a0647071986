"""Where the double's bars come from: a pluggable source, and a small deterministic stand-in.

The double serves the simulated feed's bars by default. A bar source is any callable

    source(symbol, bar_size, end, duration, what_to_show, use_rth) -> sequence of bars

with `bar_size` and `duration` as the client sent them ("5 mins", "2 Y"), `end` None for
"up to now" or the zone-aware instant the request named, and bars oldest first, each with
`date` (a `datetime.date` for daily and longer bars, a zone-aware `datetime` for intraday
ones), `open`, `high`, `low`, `close`, `volume`, `average` and `barCount` (ib_async's
`BarData` fits). The double only formats what the source returns; a source may refuse a
request by raising an exception with a `code` attribute (the gateway's error code).
"""

from __future__ import annotations

import datetime as dt
import re
from collections.abc import Callable, Sequence
from typing import Any

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


# -- the simulated feed ---------------------------------------------------------------------


def simulated_bars(symbol: str, bar_size: str, end: dt.datetime | None, duration: str, what_to_show: str,
                   use_rth: bool, now: Callable[[], dt.datetime] | None = None) -> list[BarData]:
    """The demo shell's simulated feed, so the double and `veltrax --demo` agree bar for bar.

    A request the feed refuses raises its RequestRefused (with the gateway's error code).
    """
    from veltrax.simfeed.bars import generate_bars

    series = generate_bars(symbol, bar_size, "" if end is None else end, duration, what_to_show, use_rth,
                           now=now() if now else None)
    return [BarData(date=d, open=o, high=h, low=lo, close=c, volume=v, average=a, barCount=n)
            for d, o, h, lo, c, v, a, n in series.rows()]
