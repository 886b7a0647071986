"""How the kline command will read the words after the symbol, told back to the user.

The command takes every word somewhere: a word that is not a period is tried as the count, then
taken as the adjustment word, and words beyond that are dropped, all in silence; an alias of a
period keeps defaults of its own; a count is sent as typed, whatever it is. This module follows
the same slots with the command module's own tables and classifiers, so what it says is what the
command does; the request itself still runs as typed.

`read_kline_words` reads the words before the request runs; the notes that need the answer
(bars before the start of a range, an empty range) are `veltrax.answers.answer_notes`.
"""

from __future__ import annotations

import datetime as dt
import difflib
import math
import re
import unicodedata
from dataclasses import dataclass, field
from types import ModuleType
from typing import Literal, MutableSet

from veltrax.answers import counted

# A number of some unit of time, as people write bar sizes ("2m", "4h", "90 min", "1w").
BAR_SIZE = re.compile(r"(\d+)\s*(s|secs?|seconds?|m|mins?|minutes?|h|hrs?|hours?|d|days?|w|wks?|weeks?|"
                      r"mo|mons?|months?|y|yrs?|years?)")
UNIT_SECONDS = {"s": 1, "m": 60, "h": 3600, "d": 86400, "w": 604800, "mo": 2592000, "y": 31536000}
UNIT_NAMES = {"s": "second", "m": "minute", "h": "hour", "d": "day", "w": "week", "mo": "month", "y": "year"}
# The count the command asks for when its default-count table does not list the period (an alias).
UNLISTED_PERIOD_COUNT = 100


@dataclass
class Reading:
    form: Literal["latest", "history", "intraday"]
    # The count the user asked for, where the form has one; the period's default when no word gave it.
    requested: int | None = None
    notices: list[str] = field(default_factory=list)
    # The request as the command reads it: the period word, and a range's end word (None when the
    # range ends today by default).
    period: str | None = None
    end: str | None = None


def read_kline_words(words: list[str], kline: ModuleType, told: MutableSet[str] | None = None) -> Reading:
    """The command's reading of `words` (the words after the symbol) and what deserves a notice.

    `told` is the host's memory of notes given once a session (an alias's own rules): a note in
    it is not given again, and a note given is added. Without one, every note is given each time.
    """
    if words and words[0] == "intraday":
        reading = Reading("intraday")
        if words[1:]:
            reading.notices.append(f"ignored: {' '.join(words[1:])} (kline SYMBOL intraday takes no other words)")
        return reading
    if words and kline._is_date(words[0]):
        reading = Reading("history", period="day")
        position = 1
        if position < len(words) and kline._is_date(words[position]):
            reading.end = words[position]
            position += 1
        if position < len(words) and kline._is_period(words[position]):
            reading.period = words[position]
            position += 1
        slot_note = "start, end, period, adj"
    else:
        reading = Reading("latest", period="day")
        position = 0
        if position < len(words) and kline._is_period(words[position]):
            reading.period = words[position]
            position += 1
        reading.requested = kline.PERIOD_DEFAULT_COUNT.get(reading.period, UNLISTED_PERIOD_COUNT)
        if position < len(words) and (count := count_of(words[position])) is not None:
            reading.requested = count
            reading.notices += count_notices(words[position], count, reading.period, kline)
            position += 1
        slot_note = "period, count, adj"
    if position < len(words):
        adjust = words[position]
        if adjust not in kline.ADJUST_KEYWORDS and adjust != "none":
            reading.notices.append(adjustment_notice(adjust, reading.form, kline))
        position += 1
    if position < len(words):
        reading.notices.append(f"ignored: {' '.join(words[position:])} (kline reads {slot_note}, in that order)")
    alias_note = alias_notice(reading, kline)
    if alias_note is not None and (told is None or alias_note not in told):
        reading.notices.append(alias_note)
        if told is not None:
            told.add(alias_note)
    return reading


def count_of(word: str) -> int | None:
    """The count a word gives, read as the command reads counts: a signed decimal integer in
    ASCII digits, blanks around it and single underscores between digits allowed, within 64 bits."""
    if not word.isascii():
        return None
    try:
        count = int(word)
    except ValueError:
        return None
    return count if -(2**63) <= count < 2**63 else None


def count_notices(word: str, count: int, period: str, kline: ModuleType) -> list[str]:
    """What a count word will do that its writer likely did not mean."""
    if (date := dashless_date(word)) is not None:
        return [f"{word} is read as a count of bars; did you mean {date}? (dates are written YYYY-MM-DD)"]
    if count > 0:
        return []
    span = kline.YF_PERIOD.get(period, "1y")
    kept = "whole" if count == 0 else f"without its first {counted(-count, 'bar')}"
    return [f"kline sends a count of {count} as it is, and the broker refuses it; what answers instead "
            f"(yfinance's {span} of bars, or a larger cached answer) is kept {kept}"]


def dashless_date(word: str) -> str | None:
    """ "2025-01-02" for "20250102": eight digits that make a date of this or the last century."""
    if not (len(word) == 8 and word.isascii() and word.isdigit()):
        return None
    try:
        day = dt.datetime.strptime(word, "%Y%m%d").date()
    except ValueError:
        return None
    return day.isoformat() if 1900 <= day.year < 2100 else None


def adjustment_notice(word: str, form: str, kline: ModuleType) -> str:
    """Why `word`, taken as the adjustment word, is most likely not what the user meant."""
    taken = f"kline takes '{word}' as the adjustment word (prices not adjusted)"
    if word == "intraday":
        return f"{taken}: intraday works only right after the symbol"
    if kline._is_period(word):
        return f"{taken}: the period goes {'before the count' if form == 'latest' else 'right after the dates'}"
    if kline._is_date(word):
        return f"{taken}: dates go right after the symbol"
    if (date := dashless_date(word)) is not None:
        return f"{taken}: dates are written YYYY-MM-DD ({date}) and go right after the symbol"
    if form == "latest" and (digits := ascii_digits(word)) is not None:
        return f"{taken}: a count is written in ASCII digits ({digits})"
    if form == "history" and count_of(word) is not None:
        return f"{taken}: a date range takes no count"
    if (nearest := nearest_period(word, kline)) is not None:
        return f"{taken}: {nearest}"
    guess = likely_word(word, kline)
    if guess is not None:
        return f"{taken}: did you mean '{guess}'?"
    return f"{taken}: adjustment words are {' and '.join(sorted(kline.ADJUST_KEYWORDS))}"


def ascii_digits(word: str) -> str | None:
    """`word` in ASCII digits when it is an integer written in other digits (１００, ١٠٠)."""
    if word.isascii():
        return None
    try:
        return str(int(word))
    except ValueError:
        return None


def canonical_periods(kline: ModuleType) -> list[str]:
    """The period words with defaults of their own (the others are aliases), in the command's order."""
    return [period for period in kline.PERIOD_MAP if period in kline.PERIOD_DEFAULT_COUNT]


def nearest_period(word: str, kline: ModuleType) -> str | None:
    """For a bar size written as a number and a unit ("2m", "4H", "90min"): the period word kline
    offers for it, or the nearest one (by ratio: 90 minutes is nearer an hour than half an hour)."""
    match = BAR_SIZE.fullmatch(unicodedata.normalize("NFKC", word).casefold())
    if match is None or int(match[1]) == 0:
        return None
    unit = next(key for key in sorted(UNIT_SECONDS, key=len, reverse=True) if match[2].startswith(key))
    seconds = int(match[1]) * UNIT_SECONDS[unit]
    sizes = {period: kline.BAR_SECONDS[kline.PERIOD_MAP[period]] for period in canonical_periods(kline)}
    nearest = min(sizes, key=lambda period: abs(math.log(seconds / sizes[period])))
    if sizes[nearest] == seconds:
        return f"kline calls that period {nearest}"
    return f"kline has no {match[1]}-{UNIT_NAMES[unit]} bars; the nearest period it offers is {nearest}"


def likely_word(word: str, kline: ModuleType) -> str | None:
    """The command word `word` most likely stands for: the same word in other case or width, or
    a near spelling of a period, adjustment or form word."""
    known = [*kline.PERIOD_MAP, *sorted(kline.ADJUST_KEYWORDS), "intraday", "today", "yesterday"]
    folded = unicodedata.normalize("NFKC", word).casefold()
    same = [candidate for candidate in known if candidate.casefold() == folded]
    if same:
        return same[0]
    close = difflib.get_close_matches(folded, known, n=1, cutoff=0.6)
    return close[0] if close else None


def canonical_of(alias: str, kline: ModuleType) -> str:
    """The period word whose bar size an alias asks for ("d": day, "y": year, "1mo": month)."""
    same_size = [period for period in canonical_periods(kline) if kline.PERIOD_MAP[period] == kline.PERIOD_MAP[alias]]
    return next((period for period in same_size if period[0] == alias[0]), same_size[0])


def alias_notice(reading: Reading, kline: ModuleType) -> str | None:
    """How an alias is read apart from its period word: the command looks every table up by the
    word as typed, so an alias takes the defaults of words it does not list."""
    alias = reading.period
    if reading.form == "intraday" or alias is None or alias in kline.PERIOD_DEFAULT_COUNT:
        return None
    canonical = canonical_of(alias, kline)
    differences = []
    if reading.form == "latest":
        differences.append(f"{kline.PERIOD_DEFAULT_COUNT.get(alias, UNLISTED_PERIOD_COUNT)} bars by default "
                           f"({canonical}: {kline.PERIOD_DEFAULT_COUNT[canonical]})")
        if kline.DURATION_FACTOR.get(alias, 1.0) < kline.DURATION_FACTOR.get(canonical, 1.0):
            differences.append("a shorter look-back at the broker (fewer bars may come)")
    interval, canonical_interval = kline.YF_INTERVAL.get(alias, "1d"), kline.YF_INTERVAL[canonical]
    span, canonical_span = kline.YF_PERIOD.get(alias, "1y"), kline.YF_PERIOD[canonical]
    if reading.form == "latest" and (interval, span) != (canonical_interval, canonical_span):
        differences.append(f"{interval} bars over {span} from yfinance ({canonical}: {canonical_interval} over "
                           f"{canonical_span})")
    elif reading.form == "history" and interval != canonical_interval:
        differences.append(f"{interval} bars from yfinance ({canonical}: {canonical_interval})")
    differences.append(f"cache entries apart from {canonical}'s")
    return f"'{alias}' asks for {canonical}'s bars by rules of its own: {', '.join(differences)}"
