#include "cmds/quotes/results.hpp"

#include "cmds/quotes/mode_support.hpp"
#include "common/python.hpp"

namespace veltrax::kline {

namespace {

constinit Interned reversed_range{"Start must be before end"};

nb::object length_of(nb::handle bars) {
    Py_ssize_t size = PyObject_Length(bars.ptr());
    if (size < 0) throw nb::python_error();
    return nb::steal(PyLong_FromSsize_t(size));
}

}  // namespace

nb::dict latest_result(nb::handle symbol, const LatestRequest &request, nb::handle bars) {
    nb::object count = length_of(bars);
    nb::dict result = new_dict();
    put(result, symbol_key, symbol);
    put(result, period_key, request.period);
    put(result, count_key, count);
    put(result, adjust_key, request.adjust);
    put(result, bars_key, bars);
    return result;
}

nb::dict range_result(nb::handle symbol, const RangeRequest &request, nb::handle bars) {
    nb::dict result = new_dict();
    put(result, symbol_key, symbol);
    put(result, period_key, request.period);
    put(result, start_key, request.start);
    put(result, end_key, request.end);
    put(result, adjust_key, request.adjust);
    put(result, bars_key, bars);
    return result;
}

nb::dict intraday_result(nb::handle symbol, nb::handle bars, const Interned &source) {
    nb::dict result = new_dict();
    put(result, symbol_key, symbol);
    put(result, type_key, intraday_text.get());
    put(result, bars_key, bars);
    put(result, source_key, source.get());
    return result;
}

nb::dict error_result(const Interned &error, nb::handle symbol) {
    nb::dict result = new_dict();
    put(result, error_key, error.get());
    put(result, symbol_key, symbol);
    return result;
}

nb::dict error_result(const Interned &error, nb::handle symbol, const RangeRequest &request) {
    nb::dict result = error_result(error, symbol);
    put(result, start_key, request.start);
    put(result, end_key, request.end);
    return result;
}

nb::dict reversed_range_result(const RangeRequest &request) {
    nb::dict result = new_dict();
    put(result, error_key, reversed_range.get());
    put(result, start_key, request.start);
    put(result, end_key, request.end);
    return result;
}

}  // namespace veltrax::kline
