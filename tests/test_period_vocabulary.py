"""The period words, their tables and classifiers, as the kline module exposes them."""

import types

import pytest

from veltrax.cmds.quotes import kline

CANONICAL = ["1m", "5m", "15m", "30m", "1h", "day", "week", "month", "year"]
ALIASES = ["minute", "hour", "d", "w", "m", "y", "1d", "1mo"]


def test_tables_have_their_keys_in_the_documented_order():
    assert list(kline.PERIOD_MAP) == CANONICAL + ALIASES
    for table in (kline.PERIOD_DEFAULT_COUNT, kline.YF_PERIOD, kline.YF_INTERVAL):
        assert list(table) == CANONICAL
    assert list(kline.DURATION_FACTOR.items()) == [("day", 1.4), ("week", 1.02)]
    assert list(kline.BAR_SECONDS) == [
        "1 secs", "1 min", "5 mins", "15 mins", "30 mins", "1 hour", "1 day", "1 week", "1 month"]


def test_near_miss_words_map_where_they_should():
    assert [kline.PERIOD_MAP[w] for w in ("year", "y", "m", "1mo", "month")] == ["1 month"] * 5
    assert kline.PERIOD_MAP["minute"] == kline.PERIOD_MAP["1m"] == "1 min"
    assert kline.PERIOD_MAP["1d"] == kline.PERIOD_MAP["d"] == "1 day"
    assert kline.BAR_SECONDS["1 month"] == 2592000
    assert kline.YF_INTERVAL["1h"] == "60m" and kline.YF_INTERVAL["year"] == "1mo"
    assert kline.PERIOD_DEFAULT_COUNT["5m"] == 78 and kline.PERIOD_DEFAULT_COUNT["day"] == 250


def test_tables_are_read_only():
    assert isinstance(kline.PERIOD_MAP, types.MappingProxyType)
    with pytest.raises(TypeError):
        kline.PERIOD_MAP["2m"] = "2 mins"
    with pytest.raises(AttributeError):
        kline.ADJUST_KEYWORDS.add("ADJ")
    assert kline.ADJUST_KEYWORDS == {"adj", "forward"}
    assert kline._INTRADAY_PERIODS == {"1m", "5m", "15m", "30m", "1h", "minute", "hour"}


@pytest.mark.parametrize("word", CANONICAL + ALIASES)
def test_every_period_word_is_a_period(word):
    assert kline._is_period(word)


@pytest.mark.parametrize("word", ["Day", "2m", "60m", "", " day", "day ", "1wk", "ADJ"])
def test_near_misses_are_not_periods(word):
    assert not kline._is_period(word)


def test_regular_trading_hours_only_for_bars_of_a_day_or_longer():
    assert [kline._use_rth(w) for w in ("minute", "1h", "1m", "hour")] == [False] * 4
    assert [kline._use_rth(w) for w in ("day", "d", "year", "w", "adj", "", "Minute")] == [True] * 7


def test_adjust_words_are_exact():
    assert {"adj", "forward"} <= kline.ADJUST_KEYWORDS
    assert "ADJ" not in kline.ADJUST_KEYWORDS and "adjust" not in kline.ADJUST_KEYWORDS


def test_classifiers_take_text_only():
    with pytest.raises(TypeError):
        kline._is_period(5)
    with pytest.raises(TypeError):
        kline._use_rth(None)
