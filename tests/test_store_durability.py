"""What a user's data survives: restarts, a second shell, a killed writer, damaged files."""

import random
import signal
import sqlite3
import subprocess
import sys
import time
from pathlib import Path

import pytest

import store_worker
from corbel.dualcache import DualCache
from exact_values import assert_identical
from veltrax.gateway.candle_store import KlineCache

WORKER = Path(__file__).with_name("store_worker.py")


def worker(*args, **popen) -> subprocess.Popen:
    return subprocess.Popen([sys.executable, str(WORKER), *map(str, args)], text=True, **popen)


def finished(process: subprocess.Popen, timeout: float = 60) -> str:
    out, err = process.communicate(timeout=timeout)
    assert process.returncode == 0, err
    return out


def test_entries_written_by_one_process_read_back_identical_in_another(tmp_path):
    finished(worker("write", f"{tmp_path}/", stdout=subprocess.PIPE, stderr=subprocess.PIPE))
    store = DualCache("restart", cachePrefix=f"{tmp_path}/")
    expected = store_worker.restart_entries()
    assert store.keys() == sorted(expected)
    for key, value in expected.items():
        assert_identical(store.get(key), value, key)


def test_two_processes_on_one_directory_lose_nothing_and_see_each_others_writes(tmp_path):
    pair = [worker("pair", f"{tmp_path}/", me, other, 2.5, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            for me, other in (("A", "B"), ("B", "A"))]
    results = [finished(process).split() for process in pair]
    (written_a, seen_b, done_b), (written_b, seen_a, done_a) = results
    assert done_a == written_a and done_b == written_b
    assert int(seen_a) > 0 and int(seen_b) > 0, "neither read the other's writes while both ran"
    store = DualCache("pair", cachePrefix=f"{tmp_path}/")
    for me, written in (("A", int(written_a)), ("B", int(written_b))):
        for n in range(1, written + 1):
            assert store.get(f"{me}:{n}") == store_worker.bars(me, n, n % 30)


@pytest.mark.slow
def test_a_writer_killed_at_random_moments_loses_nothing_it_committed(tmp_path):
    prefix = f"{tmp_path}/"
    rng = random.Random(5)
    committed: list[str] = []

    def intact(store, keys):
        for key in keys:
            n = int(key.split(":")[1])
            assert store.get(key) == store_worker.churned(key, n), key

    for round_ in range(12):
        process = worker("churn", prefix, round_, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        process.stdout.readline()  # running: its first write is through
        time.sleep(rng.uniform(0, 0.25))
        process.send_signal(signal.SIGKILL)
        out, _ = process.communicate(timeout=30)
        hot = None
        this_round = []
        for line in out[: out.rfind("\n") + 1].splitlines():  # a kill may cut the last line short
            key, *version = line.split()
            if key == "hot":
                hot = int(version[0])
            else:
                this_round.append(key)
        store = DualCache("churn", cachePrefix=prefix)
        intact(store, this_round)
        if hot is not None:
            assert store.get("hot")["cached_at"] in (hot, hot + 1)
        store.close()
        committed += this_round
    intact(DualCache("churn", cachePrefix=prefix), committed)
    with sqlite3.connect(tmp_path / "churn" / "cache.db") as db:
        assert db.execute("PRAGMA integrity_check").fetchone() == ("ok",)
    assert not list((tmp_path / "churn").glob("*.damaged-*"))


class TestDamage:
    KEY = "SPY:day:none:count_3"

    @pytest.fixture
    def stored(self, tmp_path):
        """A store with a few entries, closed, and a way to rewrite one stored value."""
        store = KlineCache(tmp_path)
        for key in (self.KEY, "QQQ:day:none:count_3", "IWM:day:none:count_3"):
            store.set(key, [{"date": "2025-01-02", "close": 1.0}] * 3)
        store.cache.close()
        database = tmp_path / "cache-kline" / "cache.db"

        def rewrite(change):
            with sqlite3.connect(database) as db:
                (value,) = db.execute("SELECT value FROM entries WHERE key = ?", (self.KEY,)).fetchone()
                db.execute("UPDATE entries SET value = ? WHERE key = ?", (change(bytes(value)), self.KEY))

        return rewrite

    @pytest.mark.parametrize("change", [
        lambda v: v[:20] + bytes([v[20] ^ 0x10]) + v[21:],
        lambda v: v[: len(v) // 2],
        lambda v: b"",
        lambda v: v[:2] + b"\x01\x01" + v[4:],  # flags set on a version that has none
    ], ids=["bit flipped", "cut in half", "emptied", "header changed"])
    def test_a_damaged_value_is_a_miss_removed_and_logged_once(self, tmp_path, stored, log_lines, change):
        stored(change)
        cache = KlineCache(tmp_path)
        assert cache.get(self.KEY) is None
        assert self.KEY not in cache.cache.keys()
        assert cache.get(self.KEY) is None
        warnings = [message for level, message in log_lines if level == "WARNING"]
        assert len(warnings) == 1 and self.KEY in warnings[0] and "removed" in warnings[0]
        assert cache.get("QQQ:day:none:count_3") is not None

    @pytest.mark.parametrize("later, said", [
        (lambda value: store_worker.sealed(value[12:], version=9), "version 9"),
        (lambda value: store_worker.sealed(value[12:], version=value[2], flags=0xFF), "flags 255"),
    ], ids=["a later version", "flags of a later format"])
    def test_a_value_of_a_later_format_is_a_miss_left_in_place(self, tmp_path, stored, log_lines, later, said):
        stored(later)
        cache = KlineCache(tmp_path)
        assert cache.get(self.KEY) is None and cache.get(self.KEY) is None
        assert self.KEY in cache.cache.keys()
        warnings = [message for level, message in log_lines if level == "WARNING"]
        assert len(warnings) == 1 and said in warnings[0]

    def damaged_pages(self, database: Path):
        data = bytearray(database.read_bytes())
        page = int.from_bytes(data[16:18], "big")
        data[page:] = bytes(random.Random(1).randrange(256) for _ in range(len(data) - page))
        database.write_bytes(bytes(data))

    @pytest.mark.parametrize("damage", ["pages", "header", "foreign", "text"])
    def test_a_damaged_or_foreign_database_is_set_aside_and_the_store_starts_afresh(
            self, tmp_path, log_lines, damage):
        directory = tmp_path / "cache-kline"
        database = directory / "cache.db"
        cache = KlineCache(tmp_path)
        for n in range(200):
            cache.set(f"S{n}:day:none:count_1", [{"close": float(n)}] * 20)
        cache.cache.close()
        if damage == "pages":
            self.damaged_pages(database)
        elif damage == "header":
            database.write_bytes(b"\x00" * 100 + database.read_bytes()[100:])
        elif damage == "foreign":
            database.unlink()
            with sqlite3.connect(database) as db:
                db.execute("CREATE TABLE entries (key TEXT PRIMARY KEY, value BLOB NOT NULL)")
                db.execute("INSERT INTO entries VALUES ('S1:day:none:count_1', x'80')")
        else:
            database.write_text("not a database at all\n" * 500)

        cache = KlineCache(tmp_path)
        assert all(cache.get(f"S{n}:day:none:count_1") is None for n in range(200))
        warnings = [message for level, message in log_lines if level == "WARNING"]
        assert len(warnings) == 1 and "moved it to" in warnings[0] and str(database) in warnings[0]
        assert len(list(directory.glob("cache.db.damaged-*"))) == 1
        cache.set("SPY:day:none:count_1", [{"close": 1.0}])
        assert cache.get("SPY:day:none:count_1") == [{"close": 1.0}]
        assert KlineCache(tmp_path).get("SPY:day:none:count_1") == [{"close": 1.0}]


def test_malformed_values_that_pass_the_checksum_are_misses_not_crashes(tmp_path, log_lines):
    """Bytes rewritten with a valid checksum: the decoder itself must refuse what is out of bounds."""
    import datetime as dt
    import pandas as pd

    store = DualCache("forged", cachePrefix=f"{tmp_path}/")
    store["k"] = {"bars": [{"date": pd.Timestamp("2025-01-02 09:30"), "day": dt.date(2025, 1, 2),
                            "close": 1.5, "volume": pd.NA, "note": "é", "odd": (1,), "at": dt.datetime(2025, 1, 1)},
                           {"date": pd.Timestamp("2025-01-02 09:31"), "day": dt.date(2025, 1, 3),
                            "close": None, "volume": 7, "note": "", "odd": None, "at": dt.datetime(2025, 1, 2)}],
                  "cached_at": 1.0}
    store.close()
    database = tmp_path / "forged" / "cache.db"
    with sqlite3.connect(database) as db:
        (original,) = db.execute("SELECT value FROM entries").fetchone()
    rng = random.Random(3)
    for _ in range(300):
        body = bytearray(original[12:])
        for _ in range(rng.randint(1, 3)):
            at = rng.randrange(len(body))
            body[at] = rng.choice([0, 1, 2, 0x7F, 0x80, 0xFF, rng.randrange(256)])
        if rng.random() < 0.2:
            del body[rng.randrange(len(body)):]
        forged = store_worker.sealed(bytes(body), version=original[2])
        with sqlite3.connect(database) as db:
            db.execute("INSERT OR REPLACE INTO entries (key, stamp, value) VALUES ('k', 1, ?)", (forged,))
        reader = DualCache("forged", cachePrefix=f"{tmp_path}/")
        reader.get("k")  # a value or a miss; never a crash
        reader.close()
    refused = [message for level, message in log_lines if level == "WARNING"]
    assert refused and not [message for message in refused if "checksum" in message]
