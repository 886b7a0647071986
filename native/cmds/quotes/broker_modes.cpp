#include "cmds/quotes/broker_modes.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include "cmds/quotes/bar_frames.hpp"
#include "cmds/quotes/mode_support.hpp"
#include "cmds/quotes/results.hpp"
#include "common/pydate.hpp"
#include "common/python.hpp"
#include "host/broker.hpp"

namespace veltrax::kline {

namespace {

constinit Interned exact_hit{"[{}] kline exact cache hit: {} {} {}"},
    larger_hit{"[{}] kline larger-cache hit: {} {} {}"},
    latest_asked{"[{}] kline: period={} ({}), count={}, duration={}, what={}"}, no_data{"[{}] No data returned"},
    no_data_error{"No data returned"};
constinit Interned range_refused{"Start must be before end: {} >= {}"},
    range_asked{"[{}] history: {} → {}, period={} ({}), duration={}, what={}"},
    range_hit{"[{}] history cache hit: {}~{} {} {}"},
    no_range_data{"[{}] No data in range {} → {}"}, no_range_data_error{"No data in range"};
constinit Interned intraday_asked{"[{}] intraday"}, intraday_hit{"[{}] intraday cache hit"},
    no_intraday_data{"[{}] No intraday data"}, no_intraday_error{"No intraday data"};

nb::dict cached_result(nb::dict result) {
    put(result, cached_key, Py_True);
    return result;
}

}  // namespace

Task latest_bars(nb::object self, nb::object contract, LatestRequest request) {
    nb::object symbol = self.attr(symbol_name.get());
    nb::object cache = bar_cache();
    nb::object key = count_key_of(symbol, request);
    nb::object cached = cached_bars(cache, key);
    if (!cached.is_none()) {
        log(info_level, exact_hit, symbol, request.period, request.count, request.adjust);
        co_return cached_result(latest_result(symbol, request, cached));
    }
    nb::object larger =
        cache.attr(try_larger_count_name.get())(symbol, request.period, request.adjust, request.count);
    if (!larger.is_none()) {
        log(info_level, larger_hit, symbol, request.period, request.count, request.adjust);
        cache.attr(set_name.get())(key, larger);
        co_return cached_result(latest_result(symbol, request, larger));
    }

    std::string_view what = price_type(request.words.adjust.text);
    std::string_view bar_size = bar_size_of(request.words.period.text);
    std::string duration = calc_duration(latest_back_days(request.words.count, request.words.period.text));
    log(info_level, latest_asked, symbol, request.period, bar_size, request.count, duration, what);
    host::HistoricalRequest asked{nb::str(""), duration, bar_size, what, use_rth(request.words.period.text)};
    nb::object bars = co_await host::request_historical_data(self.attr(ib_name.get()), contract, asked);
    if (!truthy(bars)) {
        log(error_level, no_data, symbol);
        co_return error_result(no_data_error, symbol);
    }

    nb::object kept = last(bars, request.words.count);
    nb::object table = bar_table(kept);
    print_table(table, nb::str("{} {} ({} bars){}")
                           .format(symbol, request.period, nb::len(kept), adjusted_suffix(request.words.adjust.text)));
    nb::list records = records_of(table);
    cache.attr(set_name.get())(key, records);
    co_return latest_result(symbol, request, records);
}

Task history(nb::object self, nb::object contract, RangeRequest request) {
    nb::object symbol = self.attr(symbol_name.get());
    if (request.words.start >= request.words.end) {
        log(error_level, range_refused, request.start, request.end);
        co_return reversed_range_result(request);
    }
    std::string_view what = price_type(request.words.adjust.text);
    std::string_view bar_size = bar_size_of(request.words.period.text);
    std::string duration = calc_duration(days_between(request.words.start, request.words.end));
    log(info_level, range_asked, symbol, request.start, request.end, request.period, bar_size, duration, what);

    nb::object cache = bar_cache();
    nb::object key = range_key_of(symbol, request);
    nb::object cached = cached_bars(cache, key);
    if (!cached.is_none()) {
        log(info_level, range_hit, symbol, request.start, request.end, request.period, request.adjust);
        co_return cached_result(range_result(symbol, request, cached));
    }

    host::HistoricalRequest asked{to_python_date(request.words.end), duration, bar_size, what,
                                  use_rth(request.words.period.text)};
    nb::object bars = co_await host::request_historical_data(self.attr(ib_name.get()), contract, asked);
    if (!truthy(bars)) {
        log(error_level, no_range_data, symbol, request.start, request.end);
        co_return error_result(no_range_data_error, symbol, request);
    }

    nb::object table = bar_table(bars);
    print_table(table, nb::str("{} {} {} ~ {}{}").format(symbol, request.period, request.start, request.end,
                                                         adjusted_suffix(request.words.adjust.text)));
    nb::list records = records_of(table);
    cache.attr(set_name.get())(key, records);
    co_return range_result(symbol, request, records);
}

Task intraday(nb::object self, nb::object contract) {
    nb::object symbol = self.attr(symbol_name.get());
    log(info_level, intraday_asked, symbol);
    nb::object cache = bar_cache();
    nb::object key = intraday_key_of(symbol);
    nb::object cached = cached_bars(cache, key);
    if (!cached.is_none()) {
        log(info_level, intraday_hit, symbol);
        co_return intraday_result(symbol, cached, cache_source);
    }

    // Today's curve: one-minute trades, outside regular hours included.
    host::HistoricalRequest asked{nb::str(""), "1 D", "1 min", "TRADES", false};
    nb::object bars = co_await host::request_historical_data(self.attr(ib_name.get()), contract, asked);
    if (!truthy(bars)) {
        log(error_level, no_intraday_data, symbol);
        co_return error_result(no_intraday_error, symbol);
    }

    nb::object table = bar_table(bars);
    print_table(table, nb::str("{} Intraday").format(symbol));
    nb::list records = records_of(table);
    cache.attr(set_name.get())(key, records);
    co_return intraday_result(symbol, records, ibkr_source);
}

namespace {

// The modes as Python calls them: the words arrive as the list `rest`.
Task latest_bars_of(nb::object self, nb::object contract, nb::object rest) {
    co_return co_await latest_bars(std::move(self), std::move(contract), LatestRequest(RequestWords(rest)));
}

Task history_of(nb::object self, nb::object contract, nb::object rest) {
    co_return co_await history(std::move(self), std::move(contract), RangeRequest(RequestWords(rest), local_today()));
}

}  // namespace

void define_broker_modes(nb::dict &body) {
    using namespace nb::literals;
    globals.remember(kline_method, define_method(
        body, "_kline",
        [](nb::object self, nb::object contract, nb::object rest) {
            return wrap(latest_bars_of(std::move(self), std::move(contract), std::move(rest)), "IOpKline._kline");
        },
        "The latest N bars from the broker (or the cache).", "contract"_a.none(), "rest"_a.none(),
        nb::sig("def _kline(self, contract: object, rest: list[str]) -> collections.abc.Coroutine[typing.Any, typing.Any, dict[str, typing.Any]]")));
    globals.remember(history_method, define_method(
        body, "_history",
        [](nb::object self, nb::object contract, nb::object rest) {
            return wrap(history_of(std::move(self), std::move(contract), std::move(rest)), "IOpKline._history");
        },
        "All bars of a date range from the broker (or the cache).", "contract"_a.none(), "rest"_a.none(),
        nb::sig("def _history(self, contract: object, rest: list[str]) -> collections.abc.Coroutine[typing.Any, typing.Any, dict[str, typing.Any]]")));
    globals.remember(intraday_method, define_method(
        body, "_intraday",
        [](nb::object self, nb::object contract) {
            return wrap(intraday(std::move(self), std::move(contract)), "IOpKline._intraday");
        },
        "Today's one-minute curve from the broker (or the cache).", "contract"_a.none(),
        nb::sig("def _intraday(self, contract: object) -> collections.abc.Coroutine[typing.Any, typing.Any, dict[str, typing.Any]]")));
}

}  // namespace veltrax::kline
