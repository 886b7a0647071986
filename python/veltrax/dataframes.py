"""Bar records as a pandas DataFrame, for the library face.

Each column is read off the records by one C loop (`map` of an `itemgetter`), which makes no
container per bar: a tuple per bar, transposed, cost four times as much, most of it in the
collections of the garbage collector that 30,000 live tuples set off. NumPy types the columns of
numbers. That is the same frame as `DataFrame(bars)` with its date column made the index, built
once, at a fraction of the cost.
"""

from __future__ import annotations

from operator import itemgetter
from typing import Any

import numpy as np
import pandas as pd

# The fields of a bar record other than its date, in their order.
BAR_COLUMNS = ("open", "high", "low", "close", "volume", "average", "barCount")


def bar_frame(bars: list[dict[str, Any]], zone: str | None = None) -> pd.DataFrame:
    """One row per bar, indexed by its `date` (a DatetimeIndex), the records' other fields as
    columns in their order. `zone` makes the bar times zone-aware: they are the wall-clock times of
    that zone (the exchange's)."""
    if not bars:
        return pd.DataFrame({name: pd.Series(dtype="float64") for name in BAR_COLUMNS},
                            index=pd.DatetimeIndex([], name="date"))
    columns = {name: list(map(itemgetter(name), bars)) for name in bars[0]}
    index = pd.DatetimeIndex(columns.pop("date"), name="date")
    if zone:
        index = wall_clock_in(index, zone)
    return pd.DataFrame({name: typed(values) for name, values in columns.items()}, index=index)


def typed(values: list[Any]) -> Any:
    """A column of numbers as a NumPy array, typed as pandas would type it; any other column as
    given, for pandas to type (missing values, dates, text)."""
    array = np.array(values)
    return array if array.dtype.kind in "biuf" else values


def wall_clock_in(index: pd.DatetimeIndex, zone: str) -> pd.DatetimeIndex:
    """The wall-clock times of `index` as times of `zone`. The hour repeated as clocks go back is
    told apart by the bars' order (a lone bar in it is taken as the first); a time that does not
    exist there is moved past the gap. A zone unknown here leaves the times as they are."""
    try:
        try:
            return index.tz_localize(zone, ambiguous="infer", nonexistent="shift_forward")
        except ValueError:  # the order cannot tell (a lone bar in the repeated hour)
            return index.tz_localize(zone, ambiguous=np.ones(len(index), dtype=bool), nonexistent="shift_forward")
    except KeyError:  # zoneinfo's ZoneInfoNotFoundError
        return index
