"""Answering N bars from a cached larger count, and removing a symbol's entries."""

import time

import pytest

from veltrax.gateway.candle_store import KlineCache


def bars(n):
    return [{"i": i} for i in range(n)]


@pytest.fixture
def cache(tmp_path):
    return KlineCache(tmp_path)


def store(cache, symbol, period, adjust, count, n=None):
    cache.set(KlineCache.count_key(symbol, period, adjust, count), bars(count if n is None else n))


def test_smallest_sufficient_count_wins(cache):
    store(cache, "SPY", "day", "none", 500)
    store(cache, "SPY", "day", "none", 300)
    got = cache.try_larger_count("SPY", "day", "none", 100)
    assert got == bars(300)[-100:]


def test_exact_count_qualifies_and_is_a_new_list(cache):
    store(cache, "SPY", "day", "none", 250)
    got = cache.try_larger_count("SPY", "day", "none", 250)
    assert got == bars(250)
    assert got is not cache.get(KlineCache.count_key("SPY", "day", "none", 250))
    assert cache.try_larger_count("SPY", "day", "none", 251) is None


def test_short_candidate_gives_none(cache):
    store(cache, "SPY", "day", "none", 500, n=80)
    assert cache.try_larger_count("SPY", "day", "none", 100) is None


def test_empty_candidate_gives_none(cache):
    store(cache, "SPY", "day", "none", 500, n=0)
    assert cache.try_larger_count("SPY", "day", "none", 1) is None


def test_stale_best_candidate_is_deleted_and_no_second_choice_is_made(cache, monkeypatch):
    store(cache, "SPY", "1m", "none", 300)
    now = time.time()
    monkeypatch.setattr(time, "time", lambda: now + 120)
    store(cache, "SPY", "1m", "none", 500)
    assert cache.try_larger_count("SPY", "1m", "none", 100) is None
    assert "SPY:1m:none:count_300" not in cache.cache.keys()
    assert "SPY:1m:none:count_500" in cache.cache.keys()


def test_other_shapes_and_malformed_keys_are_ignored(cache):
    store(cache, "SPY", "week", "none", 500)
    store(cache, "SPY", "day", "adj", 500)
    store(cache, "SPYG", "day", "none", 500)
    cache.set("SPY:day:none:count_lots", bars(900))
    cache.set("SPY:day:none:2025-01-01_2025-06-01", bars(900))
    assert cache.try_larger_count("SPY", "day", "none", 100) is None
    store(cache, "SPY", "day", "none", 200)
    assert cache.try_larger_count("SPY", "day", "none", 100) == bars(200)[-100:]


def test_counts_of_zero_or_below_follow_slice_arithmetic(cache):
    store(cache, "SPY", "day", "none", 5)
    assert cache.try_larger_count("SPY", "day", "none", 0) == bars(5)
    assert cache.try_larger_count("SPY", "day", "none", -2) == bars(5)[2:]


def test_invalidate_removes_every_form_of_one_symbol_only(cache):
    store(cache, "SPY", "day", "none", 250)
    store(cache, "SPY", "1m", "adj", 10)
    cache.set(KlineCache.range_key("SPY", "day", "none", "2025-01-01", "2025-02-01"), bars(3))
    cache.set(KlineCache.intraday_key("spy"), bars(3))
    store(cache, "SPYG", "day", "none", 250)
    assert cache.invalidate("spy") == 0
    assert cache.invalidate("SPY") == 4
    assert sorted(cache.cache.keys()) == ["SPYG:day:none:count_250"]
    assert cache.invalidate("QQQ") == 0
