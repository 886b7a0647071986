"""A cache hit goes through the names the command module and the cache hold at that moment.

The hit path calls the C++ behind `_get_cache`, `KlineCache.count_key`, `KlineCache.get` and the
modes directly while those names hold the modules' own definitions; replacing any of them (as the
host or a test double may) must route the hit through the replacement.
"""

import time

import pytest

from broker_doubles import RecordingIB, command, daily_bars
from veltrax.cmds.quotes import kline
from veltrax.gateway.candle_store import KlineCache

KEY = "AAPL:day:none:count_5"
BARS = [{"close": 1.0}]


class Recorder:
    def __init__(self):
        self.calls = []


class FakeCache(Recorder):
    """The bar cache's interface over a dict, recording what it is asked."""

    def __init__(self, entries=None):
        super().__init__()
        self.entries = dict(entries or {})

    def get(self, key):
        self.calls.append(("get", key))
        return self.entries.get(key)

    def try_larger_count(self, *args):
        return None

    def set(self, key, bars):
        self.entries[key] = bars


def hit(op=None):
    """One `kline AAPL day 5` through run(), driven as the event loop would."""
    op = op or command("AAPL", ["day", "5"], RecordingIB(daily_bars(10)))
    coroutine = op.run()
    while True:
        try:
            coroutine.send(None)
        except StopIteration as stop:
            return stop.value


@pytest.fixture
def stored(data_dir):
    """The real process-wide cache, holding the entry a hit reads."""
    kline._get_cache().set(KEY, BARS)


def replace_get_cache(monkeypatch):
    fake = FakeCache({KEY: BARS})
    monkeypatch.setattr(kline, "_get_cache", lambda: fake)
    return lambda: fake.calls == [("get", KEY)]


def replace_candle_store(monkeypatch):
    fake = FakeCache({KEY: BARS})
    monkeypatch.setattr(kline, "_candle_store", fake)
    return lambda: fake.calls == [("get", KEY)]


def replace_kline_cache_class(monkeypatch):
    made = []

    class OtherCache(FakeCache):
        def __init__(self):
            super().__init__({"other-key": BARS})
            made.append(self)

        @staticmethod
        def count_key(symbol, period, adjust, count):
            return "other-key"

    monkeypatch.setattr(kline, "_candle_store", None)
    monkeypatch.setattr(kline, "KlineCache", OtherCache)
    return lambda: len(made) == 1 and made[0].calls == [("get", "other-key")]


def replace_count_key(monkeypatch):
    asked = []

    def count_key(symbol, period, adjust, count):
        asked.append((symbol, period, adjust, count))
        return "custom-key"

    monkeypatch.setattr(KlineCache, "count_key", staticmethod(count_key))
    kline._get_cache().set("custom-key", BARS)
    return lambda: asked == [("AAPL", "day", "none", 5)]


def replace_cache_get(monkeypatch):
    asked = []
    original = KlineCache.get

    def get(self, key):
        asked.append(key)
        return original(self, key)

    monkeypatch.setattr(KlineCache, "get", get)
    return lambda: asked == [KEY]


def replace_kline_mode(monkeypatch):
    calls = []

    async def _kline(self, contract, rest):
        calls.append(rest)
        return {"bars": BARS}

    monkeypatch.setattr(kline.IOpKline, "_kline", _kline)
    return lambda: calls == [["day", "5"]]


def replace_logger(monkeypatch):
    lines = []

    class Logger:
        def info(self, message, *values):
            lines.append(message.format(*values))

    monkeypatch.setattr(kline, "logger", Logger())
    return lambda: lines == ["[AAPL] kline exact cache hit: day 5 none"]


@pytest.mark.parametrize("replace", [
    replace_get_cache, replace_candle_store, replace_kline_cache_class, replace_count_key, replace_cache_get,
    replace_kline_mode, replace_logger,
])
def test_a_hit_uses_each_replacement(replace, stored, monkeypatch):
    used = replace(monkeypatch)
    result = hit()
    assert used()
    assert result["bars"] == BARS and result["source"] == "ibkr"


def test_a_hit_reads_the_replaced_clock(stored, monkeypatch):
    assert hit()["bars"] == BARS
    now = time.time()
    monkeypatch.setattr(time, "time", lambda: now + 86_401)  # the entry is a day and a second old
    result = hit()
    assert "cached" not in result and result["count"] == 5


def test_a_mode_set_on_the_instance_is_the_one_run_calls(stored):
    op = command("AAPL", ["day", "5"])
    calls = []

    async def _kline(contract, rest):
        calls.append(rest)
        return {"bars": BARS}

    op._kline = _kline
    assert hit(op)["bars"] == BARS and calls == [["day", "5"]]
