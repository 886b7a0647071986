#pragma once

#include <nanobind/nanobind.h>

namespace veltrax::kline {

// Adds _kline, _history and _intraday to IOpKline's class body.
void define_broker_modes(nanobind::dict &body);

}  // namespace veltrax::kline
