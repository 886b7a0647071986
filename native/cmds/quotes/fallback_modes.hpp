// The yfinance fallback of IOpKline: the dispatcher, the threaded download, and
// the three fallback modes. They share cache entries with the broker modes (same
// key operations, same arguments) and answer a failed or empty download with a
// no-data result.
#pragma once

#include <nanobind/nanobind.h>

#include "cmds/quotes/request.hpp"
#include "common/coroutine.hpp"

namespace veltrax::kline {

// _run_yfinance for words already read.
Task run_yfinance(nanobind::object self, RequestWords words);

// Adds _yf_history, _run_yfinance and the three *_yfinance modes to IOpKline's class body.
void define_fallback_modes(nanobind::dict &body);

}  // namespace veltrax::kline
