"""A process that uses a store, for the tests that need more than one process, and the
helpers those tests share.

    store_worker.py write PREFIX            store restart_entries() and exit
    store_worker.py churn PREFIX SEED       write until killed, printing each key once committed
    store_worker.py pair PREFIX ME OTHER S  write and read alongside another process for S seconds
    store_worker.py untrusted PREFIX MB     read every entry twice with MB of memory to spare
    store_worker.py hold DATABASE HOW S     hold a lock on DATABASE (immediate or exclusive) for S seconds
    store_worker.py memory PREFIX MB        fill a store's memory level of MB from disk; print what it takes
"""

import datetime as dt
import json
import resource
import sys
import time

from corbel.dualcache import DualCache


def xxh64(data: bytes, seed: int = 0) -> int:
    """XXH64, which seals stored values; written out here so that tests can forge values."""
    p1, p2, p3, p4, p5 = (0x9E3779B185EBCA87, 0xC2B2AE3D27D4EB4F, 0x165667B19E3779F9,
                          0x85EBCA77C2B2AE63, 0x27D4EB2F165667C5)
    mask = (1 << 64) - 1

    def rotl(x, r):
        return ((x << r) | (x >> (64 - r))) & mask

    def round_(acc, lane):
        return rotl((acc + lane * p2) & mask, 31) * p1 & mask

    def lane(at, size=8):
        return int.from_bytes(data[at:at + size], "little")

    at, n = 0, len(data)
    if n >= 32:
        v = [(seed + p1 + p2) & mask, (seed + p2) & mask, seed, (seed - p1) & mask]
        while at + 32 <= n:
            v = [round_(v[i], lane(at + 8 * i)) for i in range(4)]
            at += 32
        h = (rotl(v[0], 1) + rotl(v[1], 7) + rotl(v[2], 12) + rotl(v[3], 18)) & mask
        for x in v:
            h = ((h ^ round_(0, x)) * p1 + p4) & mask
    else:
        h = (seed + p5) & mask
    h = (h + n) & mask
    while at + 8 <= n:
        h = (rotl(h ^ round_(0, lane(at)), 27) * p1 + p4) & mask
        at += 8
    if at + 4 <= n:
        h = (rotl(h ^ (lane(at, 4) * p1 & mask), 23) * p2 + p3) & mask
        at += 4
    while at < n:
        h = rotl(h ^ (data[at] * p5 & mask), 11) * p1 & mask
        at += 1
    h ^= h >> 33
    h = h * p2 & mask
    h ^= h >> 29
    h = h * p3 & mask
    return h ^ (h >> 32)


def sealed(body: bytes, version: int, flags: int = 0) -> bytes:
    """A stored value with this body, sealed as the store seals it: forged, yet intact."""
    return b"VX" + bytes([version, flags]) + xxh64(body, version << 8 | flags).to_bytes(8, "little") + body


def bars(tag: str, n: int, size: int) -> dict:
    start = dt.date(2020, 1, 1)
    return {"bars": [{"date": start + dt.timedelta(days=k), "close": n + k / 8, "volume": n * k, "tag": tag}
                     for k in range(size)],
            "cached_at": float(n)}


def restart_entries() -> dict:
    """What the restart test writes in one process and reads in another."""
    import pandas as pd

    frame = pd.DataFrame({
        "date": pd.date_range("2025-01-02 09:30", periods=300, freq="min"),
        "open": [i / 3 for i in range(300)], "volume": pd.array([None, *range(299)], dtype="Int64"),
        "average": pd.array([*range(299), None], dtype="Float64"), "barCount": range(300)})
    entries = {f"k{n}": bars(f"k{n}", n, n) for n in range(20)}
    entries["AAPL:1m:none:count_300"] = {"bars": frame.convert_dtypes().to_dict(orient="records"),
                                         "cached_at": 1_750_000_000.5}
    entries["other"] = {"tuple": (1, "a"), "na": pd.NA, "ts": pd.Timestamp("2025-01-02", tz="UTC")}
    return entries


def churned(key: str, n: int) -> dict:
    """The n-th entry a churning writer stores: every seventh is large, so kills land mid-write."""
    return bars(key, n, 5_000 if n % 7 == 3 else n % 40)


def churn(prefix: str, seed: int) -> None:
    store = DualCache("churn", cachePrefix=prefix)
    for n in range(10**9):
        key = f"r{seed}:{n}"
        store[key] = churned(key, n)
        print(key, flush=True)
        store["hot"] = bars("hot", n, 3)
        print("hot", n, flush=True)


def pair(prefix: str, me: str, other: str, seconds: float) -> None:
    store = DualCache("pair", cachePrefix=prefix)
    seen = 0
    n = 0
    until = time.monotonic() + seconds
    while time.monotonic() < until:
        n += 1
        store[f"{me}:{n}"] = bars(me, n, n % 30)
        store[f"{me}:last"] = n
        store["shared"] = (me, n)
        last = store.get(f"{other}:last")
        if last is not None:
            assert last >= seen, f"{other}:last went back from {seen} to {last}"
            seen = last
            assert store.get(f"{other}:{last}") == bars(other, last, last % 30)
        assert store.get("shared")[0] in (me, other)
    store[f"{me}:done"] = n
    deadline = time.monotonic() + 30
    while store.get(f"{other}:done") is None:
        assert time.monotonic() < deadline, f"{other} never finished"
        time.sleep(0.01)
    done = store.get(f"{other}:done")
    assert store.get(f"{other}:last") == done, "a stale memory hit of the other's progress"
    for k in range(1, done + 1):
        assert store.get(f"{other}:{k}") == bars(other, k, k % 30), f"{other}:{k} lost"
    print(n, seen, done)


def untrusted(prefix: str, spare_mb: int) -> None:
    """Reads each entry twice under an address-space limit, so that a forged count that
    is believed fails fast instead of taking the machine's memory; prints, per key,
    what the reads gave, whether the entry is still stored, and the warnings it caused."""
    import pandas  # noqa: F401  (loaded before the limit, as in the shell)
    from loguru import logger

    store = DualCache("untrusted", cachePrefix=prefix)
    lines: list[str] = []
    logger.remove()
    logger.add(lambda message: lines.append(message.record["message"]), level="WARNING")
    with open("/proc/self/statm") as statm:
        used = int(statm.read().split()[0]) * resource.getpagesize()
    limit = used + spare_mb * 2**20
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    report = {}
    for key in store.keys():
        lines.clear()
        got = [repr(store.get(key)) for _ in range(2)]
        report[key] = {"got": got, "kept": key in store.keys(), "warnings": list(lines)}
    print(json.dumps(report))


def minute_bars(rows: int, seed: int) -> list[dict]:
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(seed)
    prices = 100 + rng.standard_normal(rows).cumsum()
    frame = pd.DataFrame({"date": pd.date_range("2025-01-02 09:30", periods=rows, freq="min"),
                          "open": prices, "high": prices + 0.5, "low": prices - 0.5, "close": prices + 0.1,
                          "volume": rng.integers(0, 10**6, rows), "average": prices + 0.05,
                          "barCount": rng.integers(1, 500, rows)})
    return frame.convert_dtypes().to_dict(orient="records")


def memory(prefix: str, limit_mb: int) -> None:
    """Stores twice the limit's worth of bar entries, then reads them all through a store whose
    memory level has that limit; prints, in MiB, what the process holds for them at the end and
    at most (resident memory above what it held before), and what the store counted."""
    import gc
    import resource

    def resident() -> int:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * resource.getpagesize()

    writer = DualCache("memory", cachePrefix=prefix, memoryLimit=0)
    keys = [f"k{n}" for n in range(2 * limit_mb // 3)]  # about 3 MiB of objects each
    for n, key in enumerate(keys):
        writer[key] = {"bars": minute_bars(4_000, n), "cached_at": 1.0}
    writer.close()
    del writer
    gc.collect()
    before = resident()
    store = DualCache("memory", cachePrefix=prefix, memoryLimit=limit_mb * 2**20)
    peak = 0
    for key in keys:
        store.get(key)
        gc.collect()
        peak = max(peak, resident() - before)
    print(json.dumps({"held": (resident() - before) / 2**20, "peak": peak / 2**20,
                      "counted": store.stats()["memory_bytes"] / 2**20}))


def hold(database: str, how: str, seconds: float) -> None:
    """Another shell in the middle of a long write: holds the database's lock, says so, lets go."""
    import sqlite3

    db = sqlite3.connect(database, isolation_level=None)
    db.execute(f"BEGIN {how.upper()}")
    print("locked", flush=True)
    time.sleep(seconds)
    db.execute("COMMIT")


if __name__ == "__main__":
    mode, prefix, *rest = sys.argv[1:]
    if mode == "write":
        store = DualCache("restart", cachePrefix=prefix)
        for key, value in restart_entries().items():
            store[key] = value
    elif mode == "churn":
        churn(prefix, int(rest[0]))
    elif mode == "pair":
        pair(prefix, rest[0], rest[1], float(rest[2]))
    elif mode == "untrusted":
        untrusted(prefix, int(rest[0]))
    elif mode == "hold":
        hold(prefix, rest[0], float(rest[1]))
    elif mode == "memory":
        memory(prefix, int(rest[0]))
