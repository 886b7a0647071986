"""The store's two levels: what memory holds, what disk holds, and how they stay in step."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from corbel.dualcache import DualCache, StoreError


@pytest.fixture
def prefix(tmp_path):
    return str(tmp_path) + "/"


@pytest.fixture
def store(prefix):
    return DualCache("levels", cachePrefix=prefix)


def entry(n: int) -> dict:
    return {"bars": [{"close": float(i), "volume": i} for i in range(n)], "cached_at": 1.0}


class TestMemoryLevel:
    def test_a_hit_returns_the_stored_object_itself(self, store):
        value = entry(3)
        store["k"] = value
        assert store.get("k") is value
        assert store["k"] is value

    def test_a_read_from_disk_is_kept_for_the_next_hit(self, store, prefix):
        store["k"] = entry(3)
        other = DualCache("levels", cachePrefix=prefix)
        first = other.get("k")
        assert first == entry(3)
        assert other.get("k") is first

    def test_the_limit_pushes_the_least_recently_used_out_to_disk(self, store):
        store["a"] = entry(100)
        one_entry = store.stats()["memory_bytes"]
        store.memoryLimit = int(one_entry * 2.5)
        store["b"] = entry(100)
        store.get("a")  # a is now more recent than b
        store["c"] = entry(100)
        stats = store.stats()
        assert stats["memory_entries"] == 2 and stats["memory_bytes"] <= stats["memory_limit"]
        kept_a, kept_c = store.get("a"), store.get("c")
        assert store.get("a") is kept_a and store.get("c") is kept_c
        assert store.get("b") == entry(100)  # still on disk
        assert len(store) == 3

    def test_an_entry_larger_than_the_limit_lives_on_disk_only(self, prefix):
        store = DualCache("levels", cachePrefix=prefix, memoryLimit=1000)
        value = entry(500)
        store["big"] = value
        assert store.stats()["memory_entries"] == 0
        assert store.get("big") == value and store.get("big") is not value

    def test_lowering_the_limit_empties_memory_but_not_disk(self, store):
        for key in "abc":
            store[key] = entry(10)
        store.memoryLimit = 0
        assert store.stats()["memory_entries"] == 0 and store.stats()["memory_bytes"] == 0
        assert [store.get(key) for key in "abc"] == [entry(10)] * 3

    @pytest.mark.slow
    @pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                        reason="AddressSanitizer's allocator pads and keeps freed memory")
    def test_the_bound_holds_what_the_values_really_take(self, tmp_path):
        """Counted as they really are in memory, read-back entries keep the process within the limit."""
        limit = 48
        done = subprocess.run([sys.executable, str(Path(__file__).with_name("store_worker.py")), "memory",
                               f"{tmp_path}/", str(limit)], capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stderr
        seen = json.loads(done.stdout)
        sqlite_pages = 2000 / 1024  # MiB: SQLite's own page cache, not the memory level's, fills as entries are read
        assert seen["counted"] <= limit
        assert -0.05 * limit <= seen["held"] - seen["counted"] <= 0.05 * limit + sqlite_pages, seen
        assert seen["peak"] <= 1.05 * limit + sqlite_pages, seen

    def test_default_limits_are_generous_and_stats_have_their_shape(self, store):
        store["k"] = entry(1)
        stats = store.stats()
        assert list(stats) == ["directory", "entries", "disk_bytes", "disk_data_bytes", "disk_log_bytes", "disk_limit",
                               "disk", "memory_entries", "memory_bytes", "memory_limit", "memory_only", "shared"]
        assert stats["disk_bytes"] == stats["disk_data_bytes"] + stats["disk_log_bytes"]
        assert stats["directory"] == str(store.directory)
        assert stats["entries"] == 1 and stats["memory_entries"] == 1 and stats["memory_only"] == 0
        assert stats["disk_bytes"] > 0 and 0 < stats["memory_bytes"] < stats["memory_limit"]
        assert (stats["memory_limit"], stats["disk_limit"], stats["disk"]) == (256 * 2**20, 2 * 2**30, "ok")
        assert stats["shared"] is None is store.shared


class TestOperations:
    def test_get_set_delete_and_contains(self, store, prefix):
        assert store.get("k") is None and store.get("k", "dflt") == "dflt" and "k" not in store
        store["k"] = None
        assert "k" in store and store.get("k", "dflt") is None
        del store["k"]
        assert "k" not in store
        with pytest.raises(KeyError):
            del store["k"]
        with pytest.raises(KeyError):
            store["k"]
        store["k"] = 1
        del store["k"]
        assert DualCache("levels", cachePrefix=prefix).get("k") is None

    def test_keys_come_from_disk_in_key_order(self, store):
        for key in ["b", "a", "SPY:day", "é"]:
            store[key] = 0
        keys = store.keys()
        assert keys == ["SPY:day", "a", "b", "é"] and list(store) == keys and len(store) == 4

    def test_keys_with_prefix_are_exactly_those_that_begin_with_it(self, store):
        keys = ["SPY:day:none:count_5", "SPY:week:none:count_5", "SPYG:day:none:count_5", "SPX:1m",
                "SP", "\U0010ffff:x", "\U0010ffff", "é:1"]
        for key in keys:
            store[key] = 0
        for prefix in ["SPY:", "SPY", "SP", "", "\U0010ffff", "é", "Z", "SPY:day:none:count_"]:
            assert store.keys_with_prefix(prefix) == sorted(k for k in keys if k.startswith(prefix))

    def test_keys_must_be_text(self, store):
        for bad in [1, None, b"k"]:
            with pytest.raises(TypeError):
                store[bad] = 1
            with pytest.raises(TypeError):
                store.get(bad)

    @pytest.mark.parametrize("operation", [
        lambda store: store.keys(), lambda store: store.keys_with_prefix("k"), lambda store: store.stats(),
        lambda store: store.__setitem__("new", [{"a": 1.5, "b": "x"}]), lambda store: "k1" in store,
    ], ids=["keys", "keys_with_prefix", "stats", "set", "contains"])
    def test_running_out_of_memory_anywhere_in_an_operation_is_a_memory_error(self, store, operation):
        testcapi = pytest.importorskip("_testcapi")
        for n in range(5):
            store[f"k{n}"] = n
        for failing in range(40):  # the failing allocation moves through the whole operation
            testcapi.set_nomemory(failing, failing + 1)
            try:
                operation(store)
            except MemoryError:
                pass
            finally:
                testcapi.remove_mem_hooks()
        assert store.keys()[:5] == [f"k{n}" for n in range(5)]

    def test_a_closed_store_says_so(self, store):
        store["k"] = 1
        store.close()
        with pytest.raises(StoreError, match="closed"):
            store.get("k")
        with pytest.raises(StoreError):
            store["k"] = 2
        assert issubclass(StoreError, OSError)


class TestTwoStoresOnOneDirectory:
    """Two stores in one process stand for two shells: each has its own memory level."""

    def test_each_sees_the_others_writes_and_deletions(self, prefix):
        a = DualCache("shared", cachePrefix=prefix)
        b = DualCache("shared", cachePrefix=prefix)
        a["k"] = "from a"
        assert b.get("k") == "from a"
        assert a.get("k") == "from a"  # now in a's memory
        b["k"] = "from b"
        assert a.get("k") == "from b"
        assert a["k"] == "from b"
        del b["k"]
        assert a.get("k") is None and "k" not in a
        b["k"] = "again"
        assert "k" in a and a.get("k") == "again"

    def test_memory_hits_survive_unrelated_writes(self, prefix):
        a = DualCache("shared", cachePrefix=prefix)
        b = DualCache("shared", cachePrefix=prefix)
        a["k"] = value = entry(2)
        b["other"] = 1
        assert a.get("k") is value
