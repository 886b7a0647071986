"""KlineCache: key formats, where it keeps entries, and how entries age."""

import time
from pathlib import Path

import pytest

from veltrax.gateway import candle_store
from veltrax.gateway.candle_store import KlineCache

BARS = [{"date": "2025-01-02", "open": 1.0, "close": 2.0}]


@pytest.fixture
def clock(monkeypatch):
    """A wall clock the test moves by hand."""

    class Clock:
        now = 1_750_000_000.0

    monkeypatch.setattr(time, "time", lambda: Clock.now)
    return Clock


@pytest.fixture
def cache(tmp_path):
    return KlineCache(tmp_path)


def test_key_forms():
    assert KlineCache.count_key("SPY", "day", "none", 250) == "SPY:day:none:count_250"
    assert KlineCache.range_key("SPY", "1m", "adj", "2025-01-01", "2025-06-01") == "SPY:1m:adj:2025-01-01_2025-06-01"
    assert KlineCache.intraday_key("spy") == "SPY:intraday:full"
    assert KlineCache.intraday_key("straße") == "STRASSE:intraday:full"
    assert KlineCache.count_key("spy", "d", "adj", 5) == "spy:d:adj:count_5"
    assert KlineCache.range_key("spy", "day", "none", "a", "b") == "spy:day:none:a_b"


def test_wrong_argument_kinds_are_type_errors(cache):
    with pytest.raises(TypeError):
        KlineCache.count_key("SPY", "day", "none", 2.5)
    with pytest.raises(TypeError):
        KlineCache.count_key(None, "day", "none", 2)
    with pytest.raises(TypeError):
        cache.set("k", ("not", "a", "list"))
    with pytest.raises(TypeError):
        cache.try_larger_count("SPY", "day", "none", "5")
    with pytest.raises(ValueError, match=r"the symbol 'S\\udc80' is not valid text"):
        KlineCache.count_key("S\udc80", "day", "none", 1)
    with pytest.raises(ValueError, match=r"the adjustment '\\ud800' is not valid text"):
        cache.try_larger_count("SPY", "day", "\ud800", 1)


def test_stale_after_table():
    assert list(candle_store.STALE_AFTER.items()) == [
        ("1m", 60), ("5m", 300), ("15m", 900), ("30m", 1800), ("1h", 3600), ("day", 86400),
        ("week", 259200), ("month", 604800), ("year", 604800), ("intraday", 120)]


class TestDirectory:
    def test_given_directory(self, tmp_path):
        cache = KlineCache(data_dir=tmp_path / "mine")
        assert Path(cache.cache.directory) == tmp_path / "mine" / "cache-kline"
        assert KlineCache(str(tmp_path)).cache.directory == tmp_path / "cache-kline"

    def test_environment_then_home(self, tmp_path, monkeypatch):
        monkeypatch.setenv("VELTRAX_DATA_DIR", str(tmp_path / "env"))
        assert Path(KlineCache().cache.directory) == tmp_path / "env" / "cache-kline"
        monkeypatch.delenv("VELTRAX_DATA_DIR")
        monkeypatch.setenv("HOME", str(tmp_path / "home"))
        assert Path(KlineCache(None).cache.directory) == tmp_path / "home" / ".veltrax" / "cache-kline"

    def test_empty_environment_value_means_the_working_directory(self, tmp_path, monkeypatch):
        monkeypatch.setenv("VELTRAX_DATA_DIR", "")
        monkeypatch.chdir(tmp_path)
        KlineCache().set("SPY:day:none:count_1", BARS)
        assert (tmp_path / "cache-kline").is_dir()

    def test_environment_value_is_not_tilde_expanded(self, tmp_path, monkeypatch):
        monkeypatch.setenv("VELTRAX_DATA_DIR", "~")
        monkeypatch.chdir(tmp_path)
        KlineCache()
        assert (tmp_path / "~" / "cache-kline").is_dir()


def test_entries_survive_a_new_instance(tmp_path, clock):
    KlineCache(tmp_path).set("SPY:day:none:count_1", BARS)
    assert KlineCache(tmp_path).get("SPY:day:none:count_1") == BARS


def test_entry_shape(cache, clock):
    cache.set("SPY:day:none:count_1", BARS)
    entry = cache.cache.get("SPY:day:none:count_1")
    assert list(entry) == ["bars", "cached_at"]
    assert entry["bars"] == BARS and entry["cached_at"] == clock.now


def test_a_hit_returns_the_stored_list_itself(cache, clock):
    cache.set("SPY:day:none:count_1", BARS)
    assert cache.get("SPY:day:none:count_1") is cache.get("SPY:day:none:count_1")


def test_a_miss_leaves_the_store_untouched(cache):
    assert cache.get("SPY:day:none:count_9") is None
    assert list(cache.cache.keys()) == []


@pytest.mark.parametrize(
    "key, limit",
    [
        ("SPY:1m:none:count_5", 60),
        ("SPY:day:none:count_5", 86400),
        ("SPY:minute:none:count_5", 86400),
        ("SPY:week:adj:2025-01-01_2025-06-01", 259200),
        ("SPY:year:none:count_5", 604800),
        ("SPY:intraday:full", 120),
        ("no-colon-key", 86400),
    ],
)
def test_entries_go_stale_just_after_their_limit(key, limit, cache, clock):
    cache.set(key, BARS)
    clock.now += limit
    assert cache.get(key) == BARS
    clock.now += 1
    assert cache.get(key) is None
    assert key not in list(cache.cache.keys())


def test_is_stale_rules(clock):
    now = clock.now
    assert KlineCache._is_stale({"bars": []}, "SPY:day:none:count_1")
    assert not KlineCache._is_stale({"cached_at": now + 500}, "SPY:1m:none:count_1")
    assert KlineCache._is_stale({"cached_at": int(now) - 61}, "SPY:1m:none:count_1")
    assert not KlineCache._is_stale({"cached_at": now - 61}, "SPY:day:none:count_1")


def test_an_entry_without_bars_reads_as_none(cache, clock):
    cache.cache["SPY:day:none:count_1"] = {"cached_at": clock.now}
    assert cache.get("SPY:day:none:count_1") is None


def test_empty_lists_are_entries_too(cache, clock):
    cache.set("SPY:day:none:count_1", [])
    assert cache.get("SPY:day:none:count_1") == []



def test_an_entry_another_shell_deletes_while_we_read_it_is_still_a_miss(tmp_path, clock, monkeypatch):
    class RacedStore(dict):
        """Every entry is gone by the time it is deleted, as when another shell got there first."""

        def __init__(self, name, cachePrefix):
            super().__init__()

        def __delitem__(self, key):
            raise KeyError(key)

    monkeypatch.setattr(candle_store, "DualCache", RacedStore)
    cache = KlineCache(tmp_path)
    cache.set("SPY:1m:none:count_5", BARS)
    clock.now += 61
    assert cache.get("SPY:1m:none:count_5") is None
    assert cache.invalidate("SPY") == 1
