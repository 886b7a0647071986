"""What the broker's historical-data service refuses, with its error codes and texts.

The simulated broker client and the gateway double both ask here, so the demo and
the wire tests refuse the same requests the real gateway does (the request then
comes back empty, and the command falls back to the downloader).

Step sizes: the broker's historical-data limitations pair each duration with the
shortest bar it may be asked in (1 D: 1 min, 2 D: 2 mins, 1 W: 3 mins, 1 M:
30 mins, anything longer: 1 day); a longer duration for a shorter bar is refused
with 162 "Time length exceed max.", so no request makes the feed build millions
of bars.
"""

from __future__ import annotations

HMDS = "Historical Market Data Service error message:"
INVALID = "Error validating request.-'bP' : cause - "
TIME_LENGTH_EXCEEDED = f"{HMDS}Time length exceed max."

DAY = 86400
DURATION_UNIT_SECONDS = {"S": 1, "D": DAY, "W": 7 * DAY, "M": 31 * DAY, "Y": 365 * DAY}
# (longest duration, shortest bar allowed for it), in seconds; beyond the last row, daily bars.
_STEP_SIZES = ((60, 1), (1800, 1), (3600, 5), (4 * 3600, 10), (8 * 3600, 30),
               (DAY, 60), (2 * DAY, 120), (7 * DAY, 180), (31 * DAY, 1800))


def shortest_bar(duration_seconds: int) -> int:
    """The shortest bar, in seconds, the gateway serves for a request of this duration."""
    for longest, shortest in _STEP_SIZES:
        if duration_seconds <= longest:
            return shortest
    return DAY


def refusal(bar_seconds: int, duration_seconds: int, what_to_show: str, end_given: bool) -> tuple[int, str] | None:
    """(code, text) of the gateway's refusal of a well-formed request; None when it is served."""
    if what_to_show == "ADJUSTED_LAST" and end_given:
        return 321, f"{INVALID}End date not supported with adjusted last"
    if what_to_show == "ADJUSTED_LAST" and bar_seconds > DAY:
        return 321, f"{INVALID}Multi day bar size not supported with adjusted last"
    if bar_seconds < shortest_bar(duration_seconds):
        return 162, TIME_LENGTH_EXCEEDED
    return None
