// What the command asks of the broker client (ib_async's IB, or a stand-in).
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

namespace veltrax::host {

namespace nb = nanobind;

struct HistoricalRequest {
    nb::object end_date_time;  // "" for bars up to now, or a datetime.date
    std::string duration;      // "N D" or "N Y"
    std::string_view bar_size;
    std::string_view what_to_show;
    bool use_rth;
};

// ib.reqHistoricalDataAsync(contract, <the seven keywords, in this order>):
// an awaitable of the bars, oldest first; an empty list means no data.
inline nb::object request_historical_data(nb::handle ib, nb::handle contract,
                                          const HistoricalRequest &request) {
    using namespace nb::literals;
    return ib.attr("reqHistoricalDataAsync")(
        contract, "endDateTime"_a = request.end_date_time, "durationStr"_a = request.duration,
        "barSizeSetting"_a = request.bar_size, "whatToShow"_a = request.what_to_show,
        "useRTH"_a = request.use_rth, "keepUpToDate"_a = false, "timeout"_a = 60);
}

}  // namespace veltrax::host
