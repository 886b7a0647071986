// The result mappings of the request modes, with their keys in order. Broker
// and fallback modes of one form answer with the same shape.
#pragma once

#include <nanobind/nanobind.h>

#include "cmds/quotes/request_words.hpp"

namespace veltrax::kline {

// {"symbol", "period", "count", "adjust", "bars"}
nanobind::dict latest_result(nanobind::handle symbol, const LatestWords &request, nanobind::handle bars);

// {"symbol", "period", "start", "end", "adjust", "bars"}
nanobind::dict range_result(nanobind::handle symbol, const RangeWords &request, nanobind::handle bars);

// {"symbol", "type": "intraday", "bars", "source"}
nanobind::dict intraday_result(nanobind::handle symbol, nanobind::handle bars, const char *source);

}  // namespace veltrax::kline
