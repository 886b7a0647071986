// The three broker request modes of IOpKline: latest N bars, date-range
// history, today's intraday curve. Each looks in the bar cache first, asks the
// broker on a miss, prints what it fetched and stores the records.
#pragma once

#include <nanobind/nanobind.h>

#include "cmds/quotes/request.hpp"
#include "common/coroutine.hpp"

namespace veltrax::kline {

Task latest_bars(nanobind::object self, nanobind::object contract, LatestRequest request);
Task history(nanobind::object self, nanobind::object contract, RangeRequest request);
Task intraday(nanobind::object self, nanobind::object contract);

// Adds _kline, _history and _intraday to IOpKline's class body.
void define_broker_modes(nanobind::dict &body);

}  // namespace veltrax::kline
