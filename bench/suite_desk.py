"""A desk sharing one Redis: what the shared level saves the broker over time, what a count lookup
costs when Redis holds much else, and what a memory hit costs with a shared level.

- Three processes (three machines: data directories of their own) ask `kline AAPL 1m 5` every
  5 seconds for four freshness windows of one-minute bars, on a clock 20 times the wall clock's;
  beside them, the same desk with no shared level (each machine fetches once a window).
- A count lookup that misses (keys_with_prefix of a count prefix) with 300,000 keys of others in
  the Redis database, beside the same lookup on an empty database; and beside a SCAN of the
  database for the prefix, which is how it was found before the index.
- A memory hit with a shared level, beside the same hit in a store without one.

A redis-server of its own is started on a free port, as the tests' fixture does.
"""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import redis

from bench.timing import best_times
from corbel.dualcache import DualCache

# The redis-server fixture lives with the tests.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

MACHINES = 3
SPEED = 20.0
WINDOWS = 4
WINDOW = 60.0  # one-minute bars are fresh for a minute
ASK_EVERY = 5.0
OTHERS = 300_000
PREFIX = "AAPL:day:none:count_"


def desk_fetches(root: Path, url: str) -> int:
    """Broker fetches of a desk of MACHINES processes over WINDOWS freshness windows."""
    start = time.time() + 3  # every machine loaded and waiting
    environment = {**os.environ, "VELTRAX_CACHE_URL": url}
    machines = [subprocess.Popen([sys.executable, "-m", "bench.desk_machine", str(root / f"machine-{n}"),
                                  str(start + n * ASK_EVERY / SPEED / MACHINES), str(SPEED),
                                  str(WINDOWS * WINDOW), str(ASK_EVERY)],
                                 stdout=subprocess.PIPE, text=True, env=environment)
                for n in range(MACHINES)]
    fetches = 0
    for machine in machines:
        output, _ = machine.communicate(timeout=120)
        assert machine.returncode == 0, output
        fetches += int(output.split()[-1])
    return fetches


def fill(client: redis.Redis, count: int) -> None:
    pipe = client.pipeline(transaction=False)
    for start in range(0, count, 10_000):
        pipe.mset({f"elsewhere:{n}": b"x" for n in range(start, min(count, start + 10_000))})
    pipe.execute()


def scan_for(client: redis.Redis, prefix: str) -> list[bytes]:
    return list(client.scan_iter(match=f"veltrax:kline:{prefix}*", count=1000))


def run(report) -> None:
    from redis_server import RedisServer

    saved = os.environ.pop("VELTRAX_CACHE_URL", None)
    try:
        with tempfile.TemporaryDirectory() as directory, RedisServer(Path(directory) / "redis") as server:
            root = Path(directory)
            shared = desk_fetches(root / "shared", server.url())
            alone = desk_fetches(root / "alone", "")
            report.add_counts(f"kline AAPL 1m 5 on a desk of {MACHINES}, every {ASK_EVERY:g} s for {WINDOWS} "
                              "freshness windows: broker fetches per window", "no shared level",
                              alone / WINDOWS, shared / WINDOWS, "fetches")

            full = redis.Redis(host="127.0.0.1", port=server.port, db=1)
            fill(full, OTHERS)
            empty_store = DualCache("kline", cachePrefix=f"{root}/empty-", sharedUrl=server.url(0))
            full_store = DualCache("kline", cachePrefix=f"{root}/full-", sharedUrl=server.url(1))
            for store in (empty_store, full_store):
                store["MSFT:day:none:count_5"] = {"bars": [], "cached_at": time.time()}
            empty_time, full_time, scan_time = best_times([lambda: empty_store.keys_with_prefix(PREFIX),
                                                           lambda: full_store.keys_with_prefix(PREFIX),
                                                           lambda: scan_for(full, PREFIX)], rounds=5)
            report.add(f"count lookup that misses, {OTHERS:,} other keys in Redis", "an empty database",
                       empty_time, full_time)
            report.add(f"count lookup that misses, {OTHERS:,} other keys in Redis",
                       "SCAN of the database (before the index)", scan_time, full_time)

            key = "AAPL:day:none:count_250"
            entry = {"bars": [{"close": float(n)} for n in range(250)], "cached_at": time.time()}
            alone_store = DualCache("kline", cachePrefix=f"{root}/alone-", sharedUrl="")
            desk_store = DualCache("kline", cachePrefix=f"{root}/desk-", sharedUrl=server.url(0))
            for store in (alone_store, desk_store):
                store[key] = entry
                store.get(key)  # the copy confirmed once (a write's own echo asks for that)
            # Each twice, in turn: a hit is short enough for its place in the round to show.
            hits = best_times([lambda: alone_store.get(key), lambda: desk_store.get(key)] * 2, rounds=7)
            report.add("memory hit, 250-bar entry, with a shared level", "the same hit, no shared level",
                       min(hits[0::2]), min(hits[1::2]))
    finally:
        if saved is not None:
            os.environ["VELTRAX_CACHE_URL"] = saved
