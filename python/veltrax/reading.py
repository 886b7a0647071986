"""How the kline command will read the words after the symbol, told back to the user.

The command takes every word somewhere: a word that is not a period is tried as the count, then
taken as the adjustment word, and words beyond that are dropped, all in silence. This module
follows the same slots with the command module's own tables and classifiers, so what it says
is what the command does; the request itself still runs as typed.
"""

from __future__ import annotations

import difflib
import unicodedata
from dataclasses import dataclass, field
from types import ModuleType
from typing import Literal


@dataclass
class Reading:
    form: Literal["latest", "history", "intraday"]
    # The count the user asked for, where the form has one; the period's default when no word gave it.
    requested: int | None = None
    notices: list[str] = field(default_factory=list)


def read_kline_words(words: list[str], kline: ModuleType) -> Reading:
    """The command's reading of `words` (the words after the symbol) and what deserves a notice."""
    if words and words[0] == "intraday":
        reading = Reading("intraday")
        if words[1:]:
            reading.notices.append(f"ignored: {' '.join(words[1:])} (kline SYMBOL intraday takes no other words)")
        return reading
    if words and kline._is_date(words[0]):
        reading = Reading("history")
        position = 1
        if position < len(words) and kline._is_date(words[position]):
            position += 1
        if position < len(words) and kline._is_period(words[position]):
            position += 1
        slot_note = "start, end, period, adj"
    else:
        reading = Reading("latest")
        position = 0
        period = "day"
        if position < len(words) and kline._is_period(words[position]):
            period = words[position]
            position += 1
        # An alias has no default of its own in the table; the command's fallback count for it is
        # not told here, so the status line then shows the count that came.
        reading.requested = kline.PERIOD_DEFAULT_COUNT.get(period)
        if position < len(words) and (count := count_of(words[position])) is not None:
            reading.requested = count
            position += 1
        slot_note = "period, count, adj"
    if position < len(words):
        adjust = words[position]
        if adjust not in kline.ADJUST_KEYWORDS and adjust != "none":
            reading.notices.append(adjustment_notice(adjust, reading.form, kline))
        position += 1
    if position < len(words):
        reading.notices.append(f"ignored: {' '.join(words[position:])} (kline reads {slot_note}, in that order)")
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


def adjustment_notice(word: str, form: str, kline: ModuleType) -> str:
    """Why `word`, taken as the adjustment word, is most likely not what the user meant."""
    taken = f"kline takes '{word}' as the adjustment word (prices not adjusted)"
    if word == "intraday":
        return f"{taken}: intraday works only right after the symbol"
    if kline._is_period(word):
        return f"{taken}: the period goes {'before the count' if form == 'latest' else 'right after the dates'}"
    if kline._is_date(word):
        return f"{taken}: dates go right after the symbol"
    if form == "latest" and (digits := ascii_digits(word)) is not None:
        return f"{taken}: a count is written in ASCII digits ({digits})"
    if form == "history" and count_of(word) is not None:
        return f"{taken}: a date range takes no count"
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
