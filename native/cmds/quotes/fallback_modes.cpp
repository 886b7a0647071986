// The yfinance fallback of IOpKline: the dispatcher, the threaded download, and
// the three fallback modes. They share cache entries with the broker modes (same
// key operations, same arguments) and answer a failed or empty download with a
// no-data result.
#include "cmds/quotes/fallback_modes.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include "cmds/quotes/bar_frames.hpp"
#include "cmds/quotes/mode_support.hpp"
#include "cmds/quotes/request_words.hpp"
#include "cmds/quotes/results.hpp"
#include "common/coroutine.hpp"
#include "common/pydate.hpp"
#include "common/python.hpp"

namespace veltrax::kline {

namespace {

using namespace nb::literals;

Task run_yfinance(nb::object self, nb::object rest) {
    log("info", "[{}] yfinance fallback: rest={}", self.attr("symbol"), rest);
    nb::object pending;
    switch (request_form(words_of(rest))) {
        case RequestForm::intraday:
            pending = self.attr("_intraday_yfinance")();
            break;
        case RequestForm::history:
            pending = self.attr("_history_yfinance")(rest);
            break;
        case RequestForm::latest:
            pending = self.attr("_kline_yfinance")(rest);
            break;
    }
    co_return co_await std::move(pending);
}

// One download, on a worker thread: every ordinary failure becomes one error
// line and no table; interrupts and exit requests are not absorbed.
nb::object fetch(nb::handle self, nb::handle keywords) {
    try {
        nb::object environment = nb::module_::import_("os").attr("environ");
        nb::object yfinance = nb::module_::import_("yfinance");
        nb::object proxy = environment.attr("get")("HTTPS_PROXY");
        if (truthy(proxy)) {
            nb::dict both;
            both["https"] = proxy;
            both["http"] = proxy;
            nb::setattr(yfinance.attr("config").attr("network"), "proxy", both);
        }
        nb::object ticker = yfinance.attr("Ticker")(self.attr("symbol"));
        return ticker.attr("history")(**keywords);
    } catch (nb::python_error &failure) {
        if (!is_ordinary(failure)) throw;
        log("error", "[{}] yfinance fetch failed: {}", self.attr("symbol"), message_of(failure));
        return nb::none();
    }
}

Task yf_history(nb::object self, nb::kwargs keywords) {
    // Bound to this call's own copy of the keywords.
    nb::dict own_keywords = nb::steal<nb::dict>(PyDict_Copy(keywords.ptr()));
    nb::object fetch_once = nb::cpp_function(
        [self, own_keywords]() { return fetch(self, own_keywords); }, nb::name("_fetch"));
    nb::object pending = globals.get("asyncio").attr("to_thread")(fetch_once);
    co_return co_await std::move(pending);
}

bool no_table(nb::handle hist) { return hist.is_none() || truthy(hist.attr("empty")); }

nb::object normalized(nb::handle hist) { return globals.get("_normalize_yfinance_df")(hist); }

Task kline_yfinance(nb::object self, nb::object rest) {
    LatestWords request = read_latest_words(words_of(rest));
    nb::object symbol = self.attr("symbol");
    nb::object cache = bar_cache();
    nb::object key = cache_keys().attr("count_key")(symbol, request.period, request.adjust, request.count);
    nb::object cached = cache.attr("get")(key);
    if (!cached.is_none()) {
        nb::dict result = latest_result(symbol, request, cached);
        result["cached"] = true;
        co_return result;
    }
    nb::object larger =
        cache.attr("try_larger_count")(symbol, request.period, request.adjust, request.count);
    if (!larger.is_none()) {
        cache.attr("set")(key, larger);
        nb::dict result = latest_result(symbol, request, larger);
        result["cached"] = true;
        co_return result;
    }

    std::string_view yf_period = yf_period_of(request.period);
    std::string_view yf_interval = yf_interval_of(request.period);
    bool yf_adjust = is_adjust_keyword(request.adjust);
    log("info", "[{}] yfinance kline: period={}, interval={}, count={}, adjust={}", symbol, yf_period,
        yf_interval, request.count, yf_adjust);
    nb::object pending = self.attr("_yf_history")("period"_a = yf_period, "interval"_a = yf_interval,
                                                  "auto_adjust"_a = yf_adjust);
    nb::object hist = co_await std::move(pending);
    if (no_table(hist)) {
        log("error", "[{}] yfinance returned no data", symbol);
        co_return mapping({{"error", py("No data returned")}, {"symbol", symbol}});
    }

    nb::object table = normalized(hist);
    nb::object bars = last(records_of(table), request.count);
    Py_ssize_t first_kept = nb::len(table) - nb::len(bars);
    nb::object kept_rows = table.attr("iloc")[nb::slice(nb::int_(first_kept), nb::none(), nb::none())];
    print_table(kept_rows, nb::str("{} {} ({} bars) [yfinance]").format(symbol, request.period, nb::len(bars)));
    cache.attr("set")(key, bars);
    nb::dict result = latest_result(symbol, request, bars);
    result["source"] = "yfinance";
    co_return result;
}

Task history_yfinance(nb::object self, nb::object rest) {
    RangeWords request = read_range_words(words_of(rest), local_today());
    std::string start = format_date(request.start);
    std::string end = format_date(request.end);
    if (request.start >= request.end)
        co_return mapping({{"error", py("Start must be before end")}, {"start", py(start)}, {"end", py(end)}});

    nb::object symbol = self.attr("symbol");
    nb::object cache = bar_cache();
    nb::object key = cache_keys().attr("range_key")(symbol, request.period, request.adjust, start, end);
    nb::object cached = cache.attr("get")(key);
    if (!cached.is_none()) {
        nb::dict result = range_result(symbol, request, cached);
        result["cached"] = true;
        co_return result;
    }

    std::string_view yf_interval = yf_interval_of(request.period);
    bool yf_adjust = is_adjust_keyword(request.adjust);
    log("info", "[{}] yfinance history: {} → {}, interval={}, adjust={}", symbol, start, end,
        yf_interval, yf_adjust);
    nb::object pending = self.attr("_yf_history")(
        "start"_a = to_python_date(request.start), "end"_a = to_python_date(request.end),
        "interval"_a = yf_interval, "auto_adjust"_a = yf_adjust);
    nb::object hist = co_await std::move(pending);
    if (no_table(hist))
        co_return mapping({{"error", py("No data in range")}, {"symbol", symbol}, {"start", py(start)},
                           {"end", py(end)}});

    nb::object table = normalized(hist);
    nb::list bars = records_of(table);
    print_table(table, nb::str("{} {} {} ~ {} [yfinance]").format(symbol, request.period, start, end));
    cache.attr("set")(key, bars);
    nb::dict result = range_result(symbol, request, bars);
    result["source"] = "yfinance";
    co_return result;
}

Task intraday_yfinance(nb::object self) {
    nb::object symbol = self.attr("symbol");
    log("info", "[{}] yfinance intraday", symbol);
    nb::object cache = bar_cache();
    nb::object key = cache_keys().attr("intraday_key")(symbol);
    nb::object cached = cache.attr("get")(key);
    if (!cached.is_none()) {
        log("info", "[{}] intraday cache hit (yfinance path)", symbol);
        co_return intraday_result(symbol, cached, "cache");
    }

    nb::object pending =
        self.attr("_yf_history")("period"_a = "1d", "interval"_a = "1m", "auto_adjust"_a = false);
    nb::object hist = co_await std::move(pending);
    if (no_table(hist)) co_return mapping({{"error", py("No intraday data")}, {"symbol", symbol}});

    nb::object table = normalized(hist);
    nb::list bars = records_of(table);
    // Stored before printing: a failure to print keeps the download.
    cache.attr("set")(key, bars);
    print_table(table, nb::str("{} Intraday [yfinance]").format(symbol));
    co_return intraday_result(symbol, bars, "yfinance");
}

}  // namespace

void define_fallback_modes(nb::dict &body) {
    define_method(
        body, "_yf_history",
        [](nb::object self, nb::kwargs keywords) {
            return wrap(yf_history(std::move(self), std::move(keywords)), "IOpKline._yf_history");
        },
        "Download bars with yfinance on a worker thread; None when the download failed.");
    define_method(
        body, "_run_yfinance",
        [](nb::object self, nb::object rest) { return wrap(run_yfinance(std::move(self), std::move(rest)), "IOpKline._run_yfinance"); },
        "Dispatch kline query to yfinance based on arg pattern.", "rest"_a.none());
    define_method(
        body, "_kline_yfinance",
        [](nb::object self, nb::object rest) { return wrap(kline_yfinance(std::move(self), std::move(rest)), "IOpKline._kline_yfinance"); },
        "The latest N bars from yfinance (or the cache).", "rest"_a.none());
    define_method(
        body, "_history_yfinance",
        [](nb::object self, nb::object rest) {
            return wrap(history_yfinance(std::move(self), std::move(rest)), "IOpKline._history_yfinance");
        },
        "All bars of a date range from yfinance (or the cache).", "rest"_a.none());
    define_method(
        body, "_intraday_yfinance",
        [](nb::object self) { return wrap(intraday_yfinance(std::move(self)), "IOpKline._intraday_yfinance"); },
        "Today's one-minute curve from yfinance (or the cache).");
}

}  // namespace veltrax::kline
