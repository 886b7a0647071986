// The three broker request modes of IOpKline: latest N bars, date-range
// history, today's intraday curve. Each looks in the bar cache first, asks the
// broker on a miss, prints what it fetched and stores the records.
#include "cmds/quotes/broker_modes.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include "cmds/quotes/bar_frames.hpp"
#include "cmds/quotes/mode_support.hpp"
#include "cmds/quotes/request_words.hpp"
#include "cmds/quotes/results.hpp"
#include "common/coroutine.hpp"
#include "common/pydate.hpp"
#include "common/python.hpp"
#include "host/broker.hpp"

namespace veltrax::kline {

namespace {

Task latest_bars(nb::object self, nb::object contract, nb::object rest) {
    LatestWords request = read_latest_words(words_of(rest));
    std::string_view what = price_type(request.adjust);
    std::string_view bar_size = bar_size_of(request.period);
    std::string duration = calc_duration(latest_back_days(request.count, request.period));
    nb::object symbol = self.attr("symbol");

    nb::object cache = bar_cache();
    nb::object key = cache_keys().attr("count_key")(symbol, request.period, request.adjust, request.count);
    nb::object cached = cache.attr("get")(key);
    if (!cached.is_none()) {
        log("info", "[{}] kline exact cache hit: {} {} {}", symbol, request.period, request.count,
            request.adjust);
        nb::dict result = latest_result(symbol, request, cached);
        result["cached"] = true;
        co_return result;
    }
    nb::object larger =
        cache.attr("try_larger_count")(symbol, request.period, request.adjust, request.count);
    if (!larger.is_none()) {
        log("info", "[{}] kline larger-cache hit: {} {} {}", symbol, request.period, request.count,
            request.adjust);
        cache.attr("set")(key, larger);
        nb::dict result = latest_result(symbol, request, larger);
        result["cached"] = true;
        co_return result;
    }

    log("info", "[{}] kline: period={} ({}), count={}, duration={}, what={}", symbol,
        request.period, bar_size, request.count, duration, what);
    host::HistoricalRequest asked{nb::str(""), duration, bar_size, what, use_rth(request.period)};
    nb::object pending = host::request_historical_data(self.attr("ib"), contract, asked);
    nb::object bars = co_await std::move(pending);
    if (!truthy(bars)) {
        log("error", "[{}] No data returned", symbol);
        co_return mapping({{"error", py("No data returned")}, {"symbol", symbol}});
    }

    nb::object kept = last(bars, request.count);
    nb::object table = bar_table(kept);
    print_table(table, nb::str("{} {} ({} bars){}")
                           .format(symbol, request.period, nb::len(kept), adjusted_suffix(request.adjust)));
    nb::list records = records_of(table);
    cache.attr("set")(key, records);
    co_return latest_result(symbol, request, records);
}

Task history(nb::object self, nb::object contract, nb::object rest) {
    RangeWords request = read_range_words(words_of(rest), local_today());
    std::string start = format_date(request.start);
    std::string end = format_date(request.end);
    if (request.start >= request.end) {
        log("error", "Start must be before end: {} >= {}", start, end);
        co_return mapping({{"error", py("Start must be before end")}, {"start", py(start)}, {"end", py(end)}});
    }
    std::string_view what = price_type(request.adjust);
    std::string_view bar_size = bar_size_of(request.period);
    std::string duration = calc_duration(days_between(request.start, request.end));
    nb::object symbol = self.attr("symbol");
    log("info", "[{}] history: {} → {}, period={} ({}), duration={}, what={}", symbol, start, end,
        request.period, bar_size, duration, what);

    nb::object cache = bar_cache();
    nb::object key = cache_keys().attr("range_key")(symbol, request.period, request.adjust, start, end);
    nb::object cached = cache.attr("get")(key);
    if (!cached.is_none()) {
        log("info", "[{}] history cache hit: {}~{} {} {}", symbol, start, end, request.period,
            request.adjust);
        nb::dict result = range_result(symbol, request, cached);
        result["cached"] = true;
        co_return result;
    }

    host::HistoricalRequest asked{to_python_date(request.end), duration, bar_size, what,
                                  use_rth(request.period)};
    nb::object pending = host::request_historical_data(self.attr("ib"), contract, asked);
    nb::object bars = co_await std::move(pending);
    if (!truthy(bars)) {
        log("error", "[{}] No data in range {} → {}", symbol, start, end);
        co_return mapping({{"error", py("No data in range")}, {"symbol", symbol}, {"start", py(start)},
                           {"end", py(end)}});
    }

    nb::object table = bar_table(bars);
    print_table(table, nb::str("{} {} {} ~ {}{}")
                           .format(symbol, request.period, start, end, adjusted_suffix(request.adjust)));
    nb::list records = records_of(table);
    cache.attr("set")(key, records);
    co_return range_result(symbol, request, records);
}

Task intraday(nb::object self, nb::object contract) {
    nb::object symbol = self.attr("symbol");
    log("info", "[{}] intraday", symbol);
    nb::object cache = bar_cache();
    nb::object key = cache_keys().attr("intraday_key")(symbol);
    nb::object cached = cache.attr("get")(key);
    if (!cached.is_none()) {
        log("info", "[{}] intraday cache hit", symbol);
        co_return intraday_result(symbol, cached, "cache");
    }

    // Today's curve: one-minute trades, outside regular hours included.
    host::HistoricalRequest asked{nb::str(""), "1 D", "1 min", "TRADES", false};
    nb::object pending = host::request_historical_data(self.attr("ib"), contract, asked);
    nb::object bars = co_await std::move(pending);
    if (!truthy(bars)) {
        log("error", "[{}] No intraday data", symbol);
        co_return mapping({{"error", py("No intraday data")}, {"symbol", symbol}});
    }

    nb::object table = bar_table(bars);
    print_table(table, nb::str("{} Intraday").format(symbol));
    nb::list records = records_of(table);
    cache.attr("set")(key, records);
    co_return intraday_result(symbol, records, "ibkr");
}

}  // namespace

void define_broker_modes(nb::dict &body) {
    using namespace nb::literals;
    define_method(
        body, "_kline",
        [](nb::object self, nb::object contract, nb::object rest) {
            return wrap(latest_bars(std::move(self), std::move(contract), std::move(rest)), "IOpKline._kline");
        },
        "The latest N bars from the broker (or the cache).", "contract"_a.none(), "rest"_a.none());
    define_method(
        body, "_history",
        [](nb::object self, nb::object contract, nb::object rest) {
            return wrap(history(std::move(self), std::move(contract), std::move(rest)), "IOpKline._history");
        },
        "All bars of a date range from the broker (or the cache).", "contract"_a.none(),
        "rest"_a.none());
    define_method(
        body, "_intraday",
        [](nb::object self, nb::object contract) {
            return wrap(intraday(std::move(self), std::move(contract)), "IOpKline._intraday");
        },
        "Today's one-minute curve from the broker (or the cache).", "contract"_a.none());
}

}  // namespace veltrax::kline
