"""Date words, calendar dates and broker durations at the module's Python face."""

import datetime

import pytest

from veltrax.cmds.quotes import kline


@pytest.mark.parametrize("word", ["today", "yesterday", "2025-01-01", "2025-13-45"])
def test_date_words(word):
    assert kline._is_date(word) is True


@pytest.mark.parametrize(
    "word", ["Today", "YESTERDAY", "2025-1-01", "20250101", "2025/01/01", "2025-01-01T00:00", "", "intraday"])
def test_not_date_words(word):
    assert kline._is_date(word) is False


def test_parse_gives_calendar_dates():
    assert kline._parse_date("2024-02-29") == datetime.date(2024, 2, 29)
    assert type(kline._parse_date("2024-02-29")) is datetime.date
    today = datetime.date.today()
    assert kline._parse_date("today") == today
    assert kline._parse_date("yesterday") == today - datetime.timedelta(days=1)


@pytest.mark.parametrize("word", ["2025-02-29", "2025-13-45", "2025-02-30", "0000-01-01", "2025-01-01T00:00"])
def test_parse_refuses_what_is_no_real_date(word):
    with pytest.raises(ValueError, match=word):
        kline._parse_date(word)


@pytest.mark.parametrize(
    "days, text", [(0, "0 D"), (1, "1 D"), (365, "365 D"), (366, "2 Y"), (730, "2 Y"), (731, "3 Y"), (-3, "-3 D")])
def test_durations(days, text):
    assert kline._calc_duration(days) == text
