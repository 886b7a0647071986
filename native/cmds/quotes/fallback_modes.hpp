#pragma once

#include <nanobind/nanobind.h>

namespace veltrax::kline {

// Adds _yf_history, _run_yfinance and the three *_yfinance modes to IOpKline's class body.
void define_fallback_modes(nanobind::dict &body);

}  // namespace veltrax::kline
