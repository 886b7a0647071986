// Bar tables (pandas DataFrames) and bar records, made the way pandas makes
// them but without pandas' per-row Python work where that is the slow part.
#pragma once

#include <nanobind/nanobind.h>

namespace veltrax::kline {

namespace nb = nanobind;

// DataFrame(bars).convert_dtypes(), then passed through the module's _strip_tz.
nb::object bar_table(nb::handle bars);

// table.to_dict(orient="records"): one dict per row, keys in column order.
nb::list records_of(nb::handle table);

// The date column without its time zone, wall-clock time kept; in place.
// Any ordinary failure (no date column, no timestamps) leaves the table as it was.
nb::object strip_tz(nb::object table);

// A downloaded yfinance table as a new unified bar table (the input is not modified).
nb::object normalize_yfinance_df(nb::handle hist);

}  // namespace veltrax::kline

namespace veltrax::kline {

// _strip_tz and _normalize_yfinance_df as module functions.
void define_frame_functions(nb::module_ &module);

}  // namespace veltrax::kline
