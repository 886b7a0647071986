#include "cmds/quotes/results.hpp"

#include <nanobind/stl/string.h>

#include "cmds/quotes/mode_support.hpp"

namespace veltrax::kline {

nb::dict latest_result(nb::handle symbol, const LatestWords &request, nb::handle bars) {
    return mapping({{"symbol", nb::borrow(symbol)},
                    {"period", py(request.period)},
                    {"count", py(nb::len(bars))},
                    {"adjust", py(request.adjust)},
                    {"bars", nb::borrow(bars)}});
}

nb::dict range_result(nb::handle symbol, const RangeWords &request, nb::handle bars) {
    return mapping({{"symbol", nb::borrow(symbol)},
                    {"period", py(request.period)},
                    {"start", py(format_date(request.start))},
                    {"end", py(format_date(request.end))},
                    {"adjust", py(request.adjust)},
                    {"bars", nb::borrow(bars)}});
}

nb::dict intraday_result(nb::handle symbol, nb::handle bars, const char *source) {
    return mapping({{"symbol", nb::borrow(symbol)},
                    {"type", py("intraday")},
                    {"bars", nb::borrow(bars)},
                    {"source", py(source)}});
}

}  // namespace veltrax::kline
