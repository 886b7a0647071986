"""A process that uses a store, for the tests that need more than one process.

    store_worker.py write PREFIX            store restart_entries() and exit
    store_worker.py churn PREFIX SEED       write until killed, printing each key once committed
    store_worker.py pair PREFIX ME OTHER S  write and read alongside another process for S seconds
"""

import datetime as dt
import sys
import time

from corbel.dualcache import DualCache


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
