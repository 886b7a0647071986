"""Comparing values by type as well as by value, as the store must give them back."""

import datetime as dt
import struct

import pandas as pd


def assert_identical(got, want, where="value"):
    """Same type and value all the way down, NaN bits and key order included."""
    assert type(got) is type(want), f"{where}: {type(got)} is not {type(want)}"
    if isinstance(want, float):
        assert struct.pack("<d", got) == struct.pack("<d", want), where
    elif isinstance(want, dict):
        assert list(got) == list(want), where
        for key in want:
            assert_identical(got[key], want[key], f"{where}[{key!r}]")
    elif isinstance(want, list):
        assert len(got) == len(want), where
        for i, (a, b) in enumerate(zip(got, want)):
            assert_identical(a, b, f"{where}[{i}]")
    elif want is pd.NA or want is None:
        assert got is want, where
    elif isinstance(want, pd.Timestamp):
        assert (got, got.unit, got.tz, got.fold) == (want, want.unit, want.tz, want.fold), where
    elif isinstance(want, dt.datetime):
        assert (got, got.tzinfo, got.fold) == (want, want.tzinfo, want.fold), where
    else:
        assert got == want, where
