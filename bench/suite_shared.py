"""The shared level on loopback: what a new process, its local levels empty, pays for bars another
shell fetched and shared. Beside it: a fresh fetch from the simulated feed (what it pays without the
shared level), and redis-py plus pickle doing the same read.

A redis-server of its own is started on a free port, as the tests' fixture does.
"""

from __future__ import annotations

import asyncio
import os
import pickle
import sys
import tempfile
import time
from pathlib import Path

import redis

from bench.suite_fresh_path import ConnectedState, NoCache, SimulatedFeed, broker_bars, pandas_way, quiet_print
from bench.timing import best_first_time
from corbel.dualcache import DualCache
from veltrax.cmds.quotes import kline
from veltrax.gateway.candle_store import KlineCache

# The redis-server fixture lives with the tests.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

ENTRIES = (("30,000-bar 1-minute", 30_000, "1m"), ("250-bar daily", 250, "day"))


class PickledRedis:
    """The same read done plainly: a redis-py client (connecting on first use, as ours does), one GET,
    one pickle.loads."""

    def __init__(self, port: int) -> None:
        self.client = redis.Redis(host="127.0.0.1", port=port)

    def get(self, key: str):
        return pickle.loads(self.client.get(key))


def run(report) -> None:
    from redis_server import RedisServer

    loop = asyncio.new_event_loop()
    saved = kline.printFrame, kline._candle_store, os.environ.get("VELTRAX_CACHE_URL")
    kline.printFrame = quiet_print
    try:
        with tempfile.TemporaryDirectory() as directory, RedisServer(Path(directory) / "redis") as server:
            root = Path(directory)
            os.environ["VELTRAX_CACHE_URL"] = server.url()  # as in each shell of the desk
            plain = redis.Redis(host="127.0.0.1", port=server.port)

            def new_directory() -> Path:
                return Path(tempfile.mkdtemp(dir=root))

            for label, n, period in ENTRIES:
                intraday = period == "1m"
                key = KlineCache.count_key("AAPL", period, "none", n)
                bars = pandas_way(broker_bars(n, intraday), "")  # the records the command stores

                def share() -> None:
                    """Another shell fetched the bars just now (a 1-minute entry is fresh for a minute)."""
                    entry = {"bars": bars, "cached_at": time.time()}
                    DualCache("kline", cachePrefix=f"{new_directory()}/")[key] = entry
                    plain.set(f"pickled:{key}", pickle.dumps(entry, pickle.HIGHEST_PROTOCOL))

                share()
                report.note(f"in Redis, a {label} entry: {plain.strlen(f'veltrax:kline:{key}'):,} bytes, "
                            f"pickled {plain.strlen(f'pickled:{key}'):,} bytes")
                report.add(f"shared-level read of a {label} entry, local levels empty", "redis-py GET + pickle",
                           best_first_time(lambda: PickledRedis(server.port), lambda store: store.get(f"pickled:{key}")),
                           best_first_time(lambda: DualCache("kline", cachePrefix=f"{new_directory()}/"),
                                           lambda store: store.get(key)))

                feed = SimulatedFeed(n, intraday)

                def request(cache) -> kline.IOpKline:
                    kline._candle_store = cache
                    op = kline.IOpKline(state=ConnectedState(), ib=feed)
                    op.symbol, op.rest = "AAPL", [period, str(n)]
                    return op

                def answer(op: kline.IOpKline) -> dict:
                    return loop.run_until_complete(op.run())

                share()
                hit = answer(request(KlineCache(new_directory())))
                fetched = answer(request(NoCache()))
                assert hit.get("cached") and len(hit["bars"]) == len(fetched["bars"]) == n, (hit.keys(), n)
                report.add(f"kline AAPL {period} {n}: a {label} entry from the shared level, new process",
                           "fresh fetch, simulated feed",
                           best_first_time(lambda: request(NoCache()), answer),
                           best_first_time(lambda: request(KlineCache(new_directory())), answer))
    finally:
        kline.printFrame, kline._candle_store = saved[:2]
        if saved[2] is None:
            os.environ.pop("VELTRAX_CACHE_URL", None)
        else:
            os.environ["VELTRAX_CACHE_URL"] = saved[2]
        loop.close()
