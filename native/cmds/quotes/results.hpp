// The result mappings of the request modes, with their keys in order. Broker
// and fallback modes of one form answer with the same shape.
#pragma once

#include <nanobind/nanobind.h>

#include "cmds/quotes/request.hpp"
#include "common/interned.hpp"

namespace veltrax::kline {

// {"symbol", "period", "count", "adjust", "bars"}
nanobind::dict latest_result(nanobind::handle symbol, const LatestRequest &request, nanobind::handle bars);

// {"symbol", "period", "start", "end", "adjust", "bars"}
nanobind::dict range_result(nanobind::handle symbol, const RangeRequest &request, nanobind::handle bars);

// {"symbol", "type": "intraday", "bars", "source"}
nanobind::dict intraday_result(nanobind::handle symbol, nanobind::handle bars, const Interned &source);

// {"error", "symbol"}, and the request's dates when it named them.
nanobind::dict error_result(const Interned &error, nanobind::handle symbol);
nanobind::dict error_result(const Interned &error, nanobind::handle symbol, const RangeRequest &request);

// {"error": "Start must be before end", "start", "end"}
nanobind::dict reversed_range_result(const RangeRequest &request);

}  // namespace veltrax::kline
