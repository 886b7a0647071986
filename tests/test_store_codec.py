"""Values come back from the store with exactly the types and values they went in with."""

import collections
import datetime as dt
import decimal
import math
import pickle
import sqlite3
import struct
import zoneinfo

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from corbel.dualcache import DualCache
from exact_values import assert_identical


def reopened(store: DualCache) -> DualCache:
    """The same directory in a fresh store: nothing in memory, everything from disk."""
    store.close()
    return DualCache(store.directory.name, cachePrefix=str(store.directory.parent) + "/")


@pytest.fixture
def store(tmp_path):
    return DualCache("codec", cachePrefix=str(tmp_path) + "/")


def bar_records(frame: pd.DataFrame) -> list[dict]:
    return frame.convert_dtypes().to_dict(orient="records")


def intraday_frame(n: int, unit: str = "us") -> pd.DataFrame:
    rng = np.random.default_rng(n)
    return pd.DataFrame({
        "date": pd.date_range("2025-01-02 09:30", periods=n, freq="min", unit=unit),
        "open": rng.random(n) * 100, "high": rng.random(n) * 100, "low": rng.random(n) * 100,
        "close": rng.random(n) * 100, "volume": rng.integers(0, 10**9, n),
        "average": rng.random(n) * 100, "barCount": rng.integers(0, 1000, n)})


class TestBarLists:
    @pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
    def test_intraday_bars_keep_timestamps_and_their_unit(self, store, unit):
        frame = intraday_frame(50, unit)
        if unit == "ns":
            frame["date"] += pd.Timedelta(nanoseconds=7)
        entry = {"bars": bar_records(frame), "cached_at": 1_750_000_000.25}
        store["k"] = entry
        assert_identical(reopened(store).get("k"), entry)

    def test_timestamps_beyond_the_years_of_datetime(self, store):
        bars = [{"date": pd.Timestamp(seconds, unit="s").as_unit("s")}
                for seconds in (-62_135_596_801, 253_402_300_800, 0)]  # years 0 and 10000, and 1970
        store["k"] = bars
        assert_identical(reopened(store).get("k"), bars)

    def test_daily_bars_keep_dates(self, store):
        frame = pd.DataFrame({"date": [dt.date(2024, 1, 2), dt.date(1, 1, 1), dt.date(9999, 12, 31)],
                              "open": [1.5, 2.0, 3.0], "volume": [1, 2, 3]})
        entry = {"bars": bar_records(frame), "cached_at": 2.0}
        store["k"] = entry
        assert_identical(reopened(store).get("k"), entry)

    def test_missing_values_stay_na_and_none(self, store):
        frame = pd.DataFrame({
            "volume": pd.array([1, None, 3], dtype="Int64"),
            "close": pd.array([None, 2.5, None], dtype="Float64"),
            "flag": pd.array([True, None, False], dtype="boolean"),
            "note": ["a", None, "ü"],
            "nothing": [None, None, None],
            "date": [pd.Timestamp("2025-01-02 10:00"), pd.NA, pd.Timestamp("2025-01-03")],
        })
        bars = frame.to_dict(orient="records")
        bars[0]["nothing"] = pd.NA
        store["k"] = bars
        assert_identical(reopened(store).get("k"), bars)

    def test_floats_keep_every_bit(self, store):
        values = [0.0, -0.0, math.inf, -math.inf, math.nan, struct.unpack("<d", b"\x01\x00\x00\x00\x00\x00\xf8\x7f")[0],
                  5e-324, 1.7976931348623157e308]
        bars = [{"x": v} for v in values]
        store["k"] = bars
        assert_identical(reopened(store).get("k"), bars)

    def test_key_order_and_odd_key_names_are_kept(self, store):
        bars = [{"z": 1, "a": 2, "": 3, "__class__": 4, "ünï": 5, "with space": 6}] * 3
        store["k"] = bars
        assert_identical(reopened(store).get("k"), bars)

    def test_columns_of_mixed_or_other_kinds_still_round_trip(self, store):
        aware = dt.datetime(2025, 1, 2, 9, 30, tzinfo=zoneinfo.ZoneInfo("America/New_York"))
        bars = [
            {"mixed": 1, "big": 2**70, "np": np.int64(3), "aware": aware, "tuple": (1, 2), "f": np.float64(1.5),
             "ts": pd.Timestamp("2025-01-02", tz="UTC"), "naive": dt.datetime(2025, 1, 2, 3, 4, 5, 6),
             "folded": dt.datetime(2025, 11, 2, 1, 30, fold=1), "unit": pd.Timestamp("2025-01-02").as_unit("s")},
            {"mixed": 1.0, "big": 1, "np": np.int64(4), "aware": aware, "tuple": (3,), "f": np.float64(2.5),
             "ts": pd.Timestamp("2025-01-03", tz="UTC"), "naive": dt.datetime(1, 1, 1),
             "folded": dt.datetime(2025, 1, 1), "unit": pd.Timestamp("2025-01-02").as_unit("ms")},
        ]
        store["k"] = bars
        assert_identical(reopened(store).get("k"), bars)

    def test_an_empty_bar_list_and_empty_records(self, store):
        store["empty"] = {"bars": [], "cached_at": 0.0}
        store["blank"] = [{}, {}]
        again = reopened(store)
        assert_identical(again.get("empty"), {"bars": [], "cached_at": 0.0})
        assert_identical(again.get("blank"), [{}, {}])

    def test_a_bar_list_is_stored_smaller_than_its_pickle(self, store, tmp_path):
        entry = {"bars": bar_records(intraday_frame(2000)), "cached_at": 1.0}
        store["k"] = entry
        store.close()
        with sqlite3.connect(tmp_path / "codec" / "cache.db") as db:
            (size,) = db.execute("SELECT length(value) FROM entries").fetchone()
        assert size <= len(pickle.dumps(entry, protocol=pickle.HIGHEST_PROTOCOL))


class TestOtherValues:
    def test_anything_picklable_round_trips(self, store):
        values = {
            "ordered": collections.OrderedDict(b=1, a=2),
            "default": collections.defaultdict(list, a=[1]),
            "decimal": decimal.Decimal("1.10"),
            "not str keys": {1: "a", (2, 3): "b"},
            "surrogates": "a\udc80b",
            "records with other key orders": [{"a": 1, "b": 2}, {"b": 2, "a": 1}],
            "records of a dict subclass": [collections.OrderedDict(a=1)],
            "nested": {"bars": [{"a": {"deep": [1, 2]}}], "cached_at": 1, "more": {"x": None}},
            "scalars": [True, False, None, pd.NA, 0, -(2**63), 2**63, 1.5, "", "text"],
            "bool": True, "none": None, "na": pd.NA, "int": -5, "float": -0.0, "str": "é",
            "set": {1, 2}, "bytes": b"\x00\xff",
        }
        for key, value in values.items():
            store[key] = value
        again = reopened(store)
        for key, value in values.items():
            got = again.get(key)
            if isinstance(value, collections.defaultdict):
                assert got.default_factory is list
            assert_identical(got, value, key)

    def test_values_that_hold_themselves_or_share_parts_round_trip(self, store):
        """Each part is measured once: storing or reading such values once took forever."""
        cycle: list = []
        cycle += [cycle, cycle]
        shared = [list(range(10))] * 30
        store["cycle"] = (cycle,)
        store["shared"] = (shared, shared)
        again = reopened(store)
        (got,) = again.get("cycle")
        assert got[0] is got and got[1] is got
        got = again.get("shared")
        assert got == (shared, shared) and got[0] is got[1]

    def test_values_that_cannot_be_pickled_raise_and_store_nothing(self, store):
        store["k"] = 1
        with pytest.raises((TypeError, AttributeError, pickle.PicklingError)):
            store["k"] = [{"f": lambda: 0}]
        assert store.get("k") == 1
        assert reopened(store).get("k") == 1


scalars = st.one_of(
    st.none(), st.just(pd.NA), st.booleans(), st.integers(), st.floats(allow_nan=True),
    st.text(), st.dates(), st.datetimes(), st.datetimes(timezones=st.just(dt.timezone.utc)),
    st.integers(min_value=-(2**62), max_value=2**62).map(lambda n: pd.Timestamp(n, unit="ns")),
    st.integers(min_value=-(2**40), max_value=2**40).map(lambda n: pd.Timestamp(n, unit="s")),
)


@st.composite
def record_lists(draw):
    names = draw(st.lists(st.text(max_size=5), max_size=5, unique=True))
    column_kinds = [draw(st.sampled_from(["same", "any"])) for _ in names]
    column_values = [draw(scalars) for _ in names]
    rows = draw(st.integers(min_value=0, max_value=6))
    records = []
    for _ in range(rows):
        records.append({name: (draw(scalars) if kind == "any" else
                               draw(st.one_of(st.just(value), st.none(), st.just(pd.NA))))
                        for name, kind, value in zip(names, column_kinds, column_values)})
    return records


@settings(max_examples=150, deadline=None)
@given(records=record_lists())
def test_any_list_of_records_round_trips(tmp_path_factory, records):
    store = DualCache("h", cachePrefix=str(tmp_path_factory.mktemp("h")) + "/")
    store["k"] = {"bars": records, "cached_at": 1.5}
    assert_identical(reopened(store).get("k"), {"bars": records, "cached_at": 1.5})
