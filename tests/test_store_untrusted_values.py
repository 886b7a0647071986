"""Nothing read from the store is trusted: forged counts, planted pickles and values too large
for memory are misses that remove the entry, and reading never runs code."""

import datetime as dt
import json
import os
import pickle
import sqlite3
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import store_worker
from corbel.dualcache import DualCache
from exact_values import assert_identical

WORKER = Path(__file__).with_name("store_worker.py")


def varint(n: int) -> bytes:
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    return bytes(out + bytes([n]))


def text(data: bytes) -> bytes:
    return varint(len(data)) + data


def pickle_tag(data: bytes) -> bytes:
    return b"\x09" + text(data)


def stack_global(module: str, name: str) -> bytes:
    """The pickle opcodes that name module.name, as protocols 4 and 5 write them."""
    return b"".join(b"\x8c" + bytes([len(part)]) + part.encode() for part in (module, name)) + b"\x93"


def shared_lists(levels: int, width: int) -> list:
    """1.6 KB pickled, each level `width` references to the one below: width**levels paths."""
    value: list = []
    for _ in range(levels):
        value = [value] * width
    return value


class Runs:
    """Pickles as a call of `function` with `args`: what a planted value would have run."""

    def __init__(self, function, *args):
        self.function, self.args = function, args

    def __reduce__(self):
        return self.function, self.args


def forged_values(marker: Path) -> dict[str, tuple[int, bytes]]:
    touch = Runs(os.system, f"touch {marker}")
    return {
        "2^31 rows, no columns": (1, b"\x08" + varint(2**31) + b"\x00"),
        "2^31 rows, one column": (1, b"\x08" + varint(2**31) + b"\x01" + text(b"a") + b"\x00\x00" + text(b"")),
        "2^40 list items": (2, b"\x0a" + varint(2**40)),
        "2^40 dict items": (1, b"\x07" + varint(2**40)),
        "2^62 bytes of text": (1, b"\x06" + varint(2**62)),
        "mixed column of more cells than bytes": (2, b"\x08\x03\x01" + text(b"a") + b"\x09\x00" + text(b"\x00")),
        "a list in a version 1 value": (1, b"\x0a\x00"),
        "pickle running os.system": (1, pickle_tag(pickle.dumps(touch))),
        "pickled column running os.system": (1, b"\x08\x01\x01" + text(b"a") + b"\x08\x00"
                                              + text(pickle.dumps([touch]))),
        "pickle reaching a method through getattr": (
            1, pickle_tag(b"\x80\x04" + stack_global("builtins", "getattr") + stack_global("datetime", "date")
                          + b"\x8c\x03mro\x86R.")),
        "numpy scalar read from a pointer": (
            1, pickle_tag(b"\x80\x04" + stack_global("numpy._core.multiarray", "scalar")
                          + stack_global("numpy", "dtype") + b"\x8c\x02O8\x89\x88\x87RC\x08AAAAAAAA\x86R.")),
        "numpy scalar of a gigabyte": (
            1, pickle_tag(b"\x80\x04" + stack_global("numpy._core.multiarray", "scalar")
                          + stack_global("numpy", "dtype") + b"\x8c\x0bV1000000000\x89\x88\x87R\x85R.")),
        "bytearray of 16 GiB": (1, pickle_tag(b"\x80\x04" + stack_global("builtins", "bytearray")
                                              + b"\x8a\x05\x00\x00\x00\x00\x04\x85R.")),
        "pickle filling memo slot 200,000,000": (1, pickle_tag(b"\x80\x04Nr\x00\xc2\xeb\x0b.")),
        "nested lists sharing references": (1, pickle_tag(pickle.dumps((shared_lists(8, 100),), protocol=5))),
        "2 million rows of one flag": (1, b"\x08" + varint(2_000_000) + b"\x01" + text(b"a") + b"\x02\x00"
                                       + text(b"\x01" * 2_000_000)),
        "day 2,147,483,647 as a date": (2, b"\x0b" + (2**31 - 1).to_bytes(4, "little")),
        "day -2,147,483,648 in a date column": (1, b"\x08\x01\x01" + text(b"d") + b"\x03\x00"
                                                + text((-(2**31)).to_bytes(4, "little", signed=True))),
        "a datetime -2^63 microseconds off": (2, b"\x0c" + (-(2**63)).to_bytes(8, "little", signed=True)),
        "NaT as a timestamp": (2, b"\x0d\x02" + (-(2**63)).to_bytes(8, "little", signed=True)),
    }


def large_bars(rows: int) -> list[dict]:
    frame = pd.DataFrame({"date": pd.date_range("2025-01-02", periods=rows, freq="min"),
                          "open": np.arange(rows) / 3, "close": np.arange(rows) / 7,
                          "volume": np.arange(rows)})
    return frame.to_dict(orient="records")


def test_forged_values_are_misses_removed_once_and_run_nothing(tmp_path):
    prefix = f"{tmp_path}/"
    marker = tmp_path / "code-ran"
    store = DualCache("untrusted", cachePrefix=prefix)
    store["intact"] = {"bars": large_bars(3), "cached_at": 1.0}
    store.close()
    forged = forged_values(marker)
    with sqlite3.connect(tmp_path / "untrusted" / "cache.db") as db:
        db.executemany("INSERT INTO entries (key, stamp, value) VALUES (?, 1, ?)",
                       [(key, store_worker.sealed(body, version)) for key, (version, body) in forged.items()])

    done = subprocess.run([sys.executable, str(WORKER), "untrusted", prefix, "48"],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)

    assert not marker.exists()
    assert report["intact"]["kept"] and report["intact"]["got"][0] != "None" and not report["intact"]["warnings"]
    for key in forged:
        seen = report[key]
        assert seen["got"] == ["None", "None"] and not seen["kept"], key
        assert len(seen["warnings"]) == 1 and repr(key) in seen["warnings"][0], key
        if key.startswith(("2^", "mixed")):  # refused for its counts, before anything was made
            assert "memory" not in seen["warnings"][0], seen["warnings"][0]


def test_a_value_memory_cannot_hold_is_a_miss_removed_once(tmp_path, log_lines):
    testcapi = pytest.importorskip("_testcapi")
    DualCache("big", cachePrefix=f"{tmp_path}/")["k"] = large_bars(2000)
    store = DualCache("big", cachePrefix=f"{tmp_path}/")
    testcapi.set_nomemory(1000, 1005)  # a few allocations fail, well into the decoding
    try:
        got = store.get("k")
    finally:
        testcapi.remove_mem_hooks()
    assert got is None and store.keys() == [] and store.get("k") is None
    said = [message for level, message in log_lines if level == "WARNING"]
    assert len(said) == 1 and "'k'" in said[0] and "more than memory allows" in said[0]


# Values as an earlier version of the store wrote them, before bar lists needed no pickle.
EARLIER = {
    "intraday": (
        "56580100b84bebf15c2748140702046261727308030404646174650500021800565eceb52a060000ddf1d1b52a060000"
        "6485d5b52a0600046f70656e010100000118000000000000f83f0000000000000240000000000000000006766f6c756d"
        "650001000100180a0000000000000000000000000000001e0000000000000008626172436f756e740000180100000000"
        "00000002000000000000000300000000000000096361636865645f61740500002060b813da41",
        {"bars": [{"date": pd.Timestamp("2025-01-02 09:30"), "open": 1.5, "volume": 10, "barCount": 1},
                  {"date": pd.Timestamp("2025-01-02 09:31"), "open": 2.25, "volume": None, "barCount": 2},
                  {"date": pd.Timestamp("2025-01-02 09:32"), "open": None, "volume": 30, "barCount": 3}],
         "cached_at": 1750000000.5}),
    "aware timestamps, a pickled column": (
        "56580100e3bf72456209e4fd0702046261727308010204646174650800b101800595a6000000000000005d948c1e7061"
        "6e6461732e5f6c6962732e74736c6962732e74696d657374616d7073948c135f756e7069636b6c655f74696d65737461"
        "6d70949394288a07008a40ffb92a064e8c086275696c74696e73948c07676574617474729493948c087a6f6e65696e66"
        "6f948c085a6f6e65496e666f9493948c095f756e7069636b6c6594869452948c10416d65726963612f4e65775f596f72"
        "6b944b01869452944b0974945294612e05636c6f7365010008000000000000f03f096361636865645f61740500000000"
        "00000840",
        {"bars": [{"date": pd.Timestamp("2025-01-02 09:30", tz="America/New_York"), "close": 1.0}],
         "cached_at": 3.0}),
    "a pickled tuple": (
        "56580100446aef9abdc5d707096a8005955f000000000000004b018c0161948c086461746574696d65948c0864617465"
        "74696d65949394430a07e901020000000000009468018c0874696d657a6f6e6594939468018c0974696d6564656c7461"
        "9493944b004b004b0087945294859452948694529487942e",
        (1, "a", dt.datetime(2025, 1, 2, tzinfo=dt.timezone.utc))),
}


def stored_bytes(tmp_path, name: str, key: str) -> bytes:
    with sqlite3.connect(tmp_path / name / "cache.db") as db:
        return bytes(db.execute("SELECT value FROM entries WHERE key = ?", (key,)).fetchone()[0])


@pytest.mark.parametrize("key", EARLIER)
def test_values_written_by_earlier_versions_read_back(tmp_path, key):
    DualCache("earlier", cachePrefix=f"{tmp_path}/").close()
    hex_value, expected = EARLIER[key]
    with sqlite3.connect(tmp_path / "earlier" / "cache.db") as db:
        db.execute("INSERT INTO entries (key, stamp, value) VALUES (?, 1, ?)", (key, bytes.fromhex(hex_value)))
    assert_identical(DualCache("earlier", cachePrefix=f"{tmp_path}/").get(key), expected)


def daily(rows: int) -> list[dict]:
    return [{"date": dt.date(2025, 1, 2) + dt.timedelta(days=n), "open": 1.5 + n, "volume": 100 * n,
             "average": 1.5, "barCount": 1} for n in range(rows)]


@pytest.mark.parametrize("bars, version", [
    (pd.DataFrame(large_bars(50)).convert_dtypes().to_dict(orient="records"), 1),
    (daily(20), 1),
    ([{**bar, "volume": float(bar["volume"]) if n % 2 else bar["volume"]} for n, bar in enumerate(daily(20))], 2),
    ([{"date": dt.date(2025, 1, 2), "close": 1.0}, {"date": pd.Timestamp("2025-01-03"), "close": pd.NA}], 2),
    ([{}, {}], 2),
], ids=["intraday", "daily", "int and float volumes", "dates and timestamps", "empty records"])
def test_bar_entries_are_stored_without_pickle_and_as_old_as_they_can_be(tmp_path, bars, version):
    """Older shells on the same directory read every value that needs nothing newer."""
    store = DualCache("plain", cachePrefix=f"{tmp_path}/")
    entry = {"bars": bars, "cached_at": 1.5}
    store["k"] = entry
    store.close()
    stored = stored_bytes(tmp_path, "plain", "k")
    assert b"\x80\x05" not in stored and stored[2] == version
    assert_identical(DualCache("plain", cachePrefix=f"{tmp_path}/").get("k"), entry)


class Point:
    def __init__(self, x):
        self.x = x


@pytest.mark.parametrize("value", [Point(1), [{"date": dt.date(2025, 1, 2), "p": Point(2)}], {"k": (Point(3),)}],
                         ids=["object", "in a bar list", "in a tuple"])
def test_a_value_that_would_need_code_to_read_is_refused_when_written(tmp_path, value):
    store = DualCache("refused", cachePrefix=f"{tmp_path}/")
    store["k"] = 1
    with pytest.raises(TypeError, match="Point"):
        store["k"] = value
    assert store.get("k") == 1 and DualCache("refused", cachePrefix=f"{tmp_path}/").get("k") == 1
