"""Answering N bars from a cached larger count, and removing a symbol's entries."""

import time

import pytest

from corbel.dualcache import DualCache
from veltrax.gateway import candle_store
from veltrax.gateway.candle_store import KlineCache


def bars(n):
    return [{"i": i} for i in range(n)]


class ScanOnlyStore:
    """A store that offers no lookup by prefix: KlineCache scans keys() instead."""

    def __init__(self, name, cachePrefix=""):
        self.entries = {}

    def get(self, key, default=None):
        return self.entries.get(key, default)

    def __setitem__(self, key, value):
        self.entries[key] = value

    def __delitem__(self, key):
        del self.entries[key]

    def keys(self):
        return list(self.entries)


class NoScanStore(DualCache):
    """The real store, refusing the whole-store listing."""

    def keys(self):
        raise AssertionError("scanned every key")


@pytest.fixture(params=["prefix lookup", "key scan"])
def cache(request, tmp_path, monkeypatch):
    """Every rule holds both ways the cache can find a symbol's keys."""
    if request.param == "key scan":
        monkeypatch.setattr(candle_store, "DualCache", ScanOnlyStore)
    return KlineCache(tmp_path)


def test_a_symbols_keys_are_looked_up_by_prefix_not_by_scanning_the_store(tmp_path, monkeypatch):
    monkeypatch.setattr(candle_store, "DualCache", NoScanStore)
    cache = KlineCache(tmp_path)
    for symbol in ("SPY", "SPYG", "QQQ"):
        store(cache, symbol, "day", "none", 300)
    assert cache.try_larger_count("SPY", "day", "none", 100) == bars(300)[-100:]
    assert cache.invalidate("SPY") == 1
    assert cache.get(KlineCache.count_key("SPYG", "day", "none", 300)) == bars(300)


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


@pytest.mark.parametrize("planted", [
    "SPY:day:adj:count_x:count_250",  # what `kline SPY day 250 adj:count_x` stores
    "SPY:day:adj:count_0250", "SPY:day:adj:count_+250", "SPY:day:adj:count_2_50", "SPY:day:adj:count_ 250",
])
def test_only_keys_count_key_writes_are_taken(planted, cache):
    cache.set(planted, bars(250))
    assert cache.try_larger_count("SPY", "day", "adj", 200) is None
    store(cache, "SPY", "day", "adj", 300)
    assert cache.try_larger_count("SPY", "day", "adj", 200) == bars(300)[-200:]


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
