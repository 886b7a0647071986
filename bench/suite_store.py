"""The bar store: the C++ DualCache beside the Python one (pickle plus sqlite3, a dict in front)."""

from __future__ import annotations

import pickle
import sqlite3
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

from bench.python_dualcache import DualCache as PythonDualCache
from bench.timing import best_first_time, best_time
from corbel.dualcache import DualCache
from veltrax.gateway import candle_store
from veltrax.gateway.candle_store import KlineCache

KEY = "AAPL:1m:none:count_30000"


def minute_bars(n: int) -> list[dict]:
    rng = np.random.default_rng(7)
    prices = 100 + rng.standard_normal(n).cumsum()
    frame = pd.DataFrame({
        "date": pd.date_range("2025-01-02 09:30", periods=n, freq="min"),
        "open": prices, "high": prices + 0.5, "low": prices - 0.5, "close": prices + 0.1,
        "volume": rng.integers(0, 1_000_000, n), "average": prices + 0.05,
        "barCount": rng.integers(1, 500, n)})
    return frame.convert_dtypes().to_dict(orient="records")


def fresh_read(open_store, key: str, repeat: int = 7) -> float:
    """Seconds to read `key` from a store just opened (nothing in memory): best of `repeat`.
    Opening and releasing the value are left out of the time."""
    return best_first_time(open_store, lambda store: store.get(key), repeat)


def stored_size(database: Path) -> int:
    with sqlite3.connect(database) as db:
        return db.execute("SELECT length(value) FROM entries WHERE key = ?", (KEY,)).fetchone()[0]


def bar_entry_scenarios(report, root: Path, label: str, key_bars: list[dict]) -> None:
    entry = {"bars": key_bars, "cached_at": time.time()}
    stores = {"python": (PythonDualCache, f"{root}/python-{label}-"), "ours": (DualCache, f"{root}/ours-{label}-")}
    opened = {name: kind("kline", cachePrefix=prefix) for name, (kind, prefix) in stores.items()}
    report.compare(f"write of a {label} entry", "pickle + sqlite3",
                   lambda: opened["python"].__setitem__(KEY, entry), lambda: opened["ours"].__setitem__(KEY, entry))
    for store in opened.values():
        store[KEY] = entry
    report.add(f"read of a {label} entry after a restart", "pickle + sqlite3",
               fresh_read(lambda: PythonDualCache("kline", cachePrefix=stores["python"][1]), KEY),
               fresh_read(lambda: DualCache("kline", cachePrefix=stores["ours"][1]), KEY))
    for store in opened.values():
        store.get(KEY)
    report.compare(f"memory hit of a {label} entry", "dict", lambda: opened["python"].get(KEY),
                   lambda: opened["ours"].get(KEY))
    opened["ours"].close()
    ours = stored_size(root / f"ours-{label}-kline" / "cache.db")
    python = stored_size(root / f"python-{label}-kline" / "cache.db")
    report.note(f"on-disk size of a {label} entry: {ours:,} bytes, pickle {python:,} bytes "
                f"({ours / python:.2f} of pickle's)")


def mixed_column_scenario(report, root: Path, bars: list[dict]) -> None:
    """Volumes that are whole in some bars and fractional in others: a column of mixed kinds,
    which the store once pickled whole and now writes cell by cell."""
    mixed = [{**bar, "volume": bar["volume"] + 0.5 if n % 2 else bar["volume"]} for n, bar in enumerate(bars)]
    entry = {"bars": mixed, "cached_at": time.time()}
    PythonDualCache("kline", cachePrefix=f"{root}/python-mixed-")[KEY] = entry
    DualCache("kline", cachePrefix=f"{root}/ours-mixed-")[KEY] = entry
    report.add("read of a 30,000-bar entry with a mixed column after a restart", "pickle + sqlite3",
               fresh_read(lambda: PythonDualCache("kline", cachePrefix=f"{root}/python-mixed-"), KEY),
               fresh_read(lambda: DualCache("kline", cachePrefix=f"{root}/ours-mixed-"), KEY))


def disk_limit_scenario(report, root: Path, bars: list[dict], limit: int, fill: int, label: str) -> None:
    """Writes of new entries into a store at its disk limit, each removing the least recently used
    now and then (amortised), beside the same writes into a store with room to spare. The log is
    checkpointed as it reaches a sixteenth of the limit (at most SQLite's own 1,000 pages): a small
    limit pays a checkpoint every few writes, a large one no more often than SQLite would."""
    entry = {"bars": bars, "cached_at": time.time()}
    roomy = DualCache("kline", cachePrefix=f"{root}/roomy-{label}-", memoryLimit=0)
    full = DualCache("kline", cachePrefix=f"{root}/full-{label}-", memoryLimit=0, diskLimit=limit)
    written = {"roomy": 0, "full": 0}

    def write(store, name):
        written[name] += 1
        store[f"K{written[name]}"] = entry

    for _ in range(fill):  # to the limit first
        write(full, "full")
    report.compare(f"write of a 250-bar daily entry at {label}", "the same with room",
                   lambda: write(roomy, "roomy"), lambda: write(full, "full"))


def filled(cache: KlineCache, others: int) -> KlineCache:
    bars = [{"date": pd.Timestamp("2025-01-02"), "close": 1.0}] * 5
    for n in range(others):
        cache.set(KlineCache.count_key(f"S{n:06d}", "day", "none", 250), bars)
    for count in (100, 500):
        cache.set(KlineCache.count_key("AAPL", "day", "none", count), bars * (count // 5))
    return cache


def larger_count_scenario(report, root: Path, others: int = 100_000) -> None:
    ours = filled(KlineCache(root / "ours-many"), others)
    scan_only = candle_store.DualCache
    candle_store.DualCache = PythonDualCache  # KlineCache scans keys() of a store without prefix lookup
    try:
        python = filled(KlineCache(root / "python-many"), others)
    finally:
        candle_store.DualCache = scan_only
    report.compare(f"try_larger_count among {others:,} other entries", "linear scan of keys()",
                   lambda: python.try_larger_count("AAPL", "day", "none", 50),
                   lambda: ours.try_larger_count("AAPL", "day", "none", 50))


def run(report) -> None:
    with tempfile.TemporaryDirectory() as directory:
        root = Path(directory)
        bar_entry_scenarios(report, root, "30,000-bar 1-minute", minute_bars(30_000))
        mixed_column_scenario(report, root, minute_bars(30_000))
        daily = [{**bar, "date": bar["date"].date()} for bar in minute_bars(250)]
        bar_entry_scenarios(report, root, "250-bar daily", daily)
        disk_limit_scenario(report, root, daily, 2 * 2**20, 400, "the disk limit")
        disk_limit_scenario(report, root, daily, 256 * 2**20, 20_000, "a 256 MiB disk limit")
        larger_count_scenario(report, root)
        report.note("pickle size of the 30,000-bar entry, for scale: "
                    f"{len(pickle.dumps({'bars': minute_bars(30_000), 'cached_at': 0.0}, 5)):,} bytes")
