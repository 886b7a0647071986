#include "cmds/quotes/vocabulary_bindings.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include "cmds/quotes/dates.hpp"
#include "cmds/quotes/vocabulary.hpp"
#include "common/pydate.hpp"

namespace veltrax::kline {

namespace nb = nanobind;

namespace {

template <typename Value, std::size_t N>
nb::object read_only_mapping(const Table<Value, N> &table) {
    nb::dict mapping;
    for (const auto &[key, value] : table) mapping[nb::cast(key)] = nb::cast(value);
    return nb::module_::import_("types").attr("MappingProxyType")(mapping);
}

template <std::size_t N>
nb::object frozen_set(const std::array<std::string_view, N> &words) {
    nb::list members;
    for (std::string_view word : words) members.append(nb::cast(word));
    return nb::frozenset(members);
}

}  // namespace

void define_vocabulary(nb::module_ &module) {
    module.attr("PERIOD_MAP") = read_only_mapping(period_map);
    module.attr("ADJUST_KEYWORDS") = frozen_set(adjust_keywords);
    module.attr("BAR_SECONDS") = read_only_mapping(bar_seconds);
    module.attr("PERIOD_DEFAULT_COUNT") = read_only_mapping(period_default_count);
    module.attr("DURATION_FACTOR") = read_only_mapping(duration_factor);
    module.attr("YF_PERIOD") = read_only_mapping(yf_period);
    module.attr("YF_INTERVAL") = read_only_mapping(yf_interval);
    module.attr("_INTRADAY_PERIODS") = frozen_set(intraday_periods);

    module.def("_use_rth", &use_rth, nb::arg("period"),
               "True unless the period's bars are shorter than a day.");
    module.def("_is_period", &is_period, nb::arg("s"),
               "True when the word is a period word (canonical or alias).");
    module.def("_is_date", &is_date_word, nb::arg("s"),
               "True for today, yesterday and YYYY-MM-DD text.");
    module.def(
        "_parse_date",
        [](std::string_view s) { return to_python_date(parse_date(s, local_today())); },
        nb::arg("s"), "The calendar date a date word names; ValueError if it is no real date.",
        nb::sig("def _parse_date(s: str) -> datetime.date"));
    module.def("_calc_duration", &calc_duration, nb::arg("back_days"),
               "The broker duration text for a look-back of so many days.");
}

}  // namespace veltrax::kline
