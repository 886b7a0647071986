#include "cmds/quotes/fallback_modes.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include "cmds/quotes/bar_frames.hpp"
#include "cmds/quotes/mode_support.hpp"
#include "cmds/quotes/results.hpp"
#include "common/pydate.hpp"
#include "common/python.hpp"

namespace veltrax::kline {

namespace {

using namespace nb::literals;

constinit Interned fallback_asked{"[{}] yfinance fallback: rest={}"},
    latest_asked{"[{}] yfinance kline: period={}, interval={}, count={}, adjust={}"},
    no_data{"[{}] yfinance returned no data"}, no_data_error{"No data returned"},
    range_asked{"[{}] yfinance history: {} → {}, interval={}, adjust={}"}, no_range_data_error{"No data in range"},
    intraday_asked{"[{}] yfinance intraday"}, intraday_hit{"[{}] intraday cache hit (yfinance path)"},
    no_intraday_error{"No intraday data"}, fetch_failed{"[{}] yfinance fetch failed: {}"};
constinit Interned normalize_name{"_normalize_yfinance_df"};

Task kline_yfinance(nb::object self, LatestRequest request);
Task history_yfinance(nb::object self, RangeRequest request);
Task intraday_yfinance(nb::object self);

// One download, on a worker thread: every ordinary failure becomes one error
// line and no table; interrupts and exit requests are not absorbed.
nb::object fetch(nb::handle self, nb::handle keywords) {
    try {
        nb::object environment = nb::module_::import_("os").attr("environ");
        nb::object yfinance = nb::module_::import_("yfinance");
        nb::object proxy = environment.attr("get")("HTTPS_PROXY");
        if (truthy(proxy)) {
            nb::dict both = new_dict();
            both["https"] = proxy;
            both["http"] = proxy;
            nb::setattr(yfinance.attr("config").attr("network"), "proxy", both);
        }
        nb::object ticker = yfinance.attr("Ticker")(self.attr(symbol_name.get()));
        return ticker.attr("history")(**keywords);
    } catch (nb::python_error &failure) {
        if (!is_ordinary(failure)) throw;
        log(error_level, fetch_failed, self.attr(symbol_name.get()), message_of(failure));
        return nb::none();
    }
}

Task yf_history(nb::object self, nb::kwargs keywords) {
    // Bound to this call's own copy of the keywords.
    nb::object own_keywords = nb::steal(PyDict_Copy(keywords.ptr()));
    if (!own_keywords.is_valid()) throw nb::python_error();
    nb::object fetch_once = nb::cpp_function(
        [self, own_keywords]() { return fetch(self, own_keywords); }, nb::name("_fetch"));
    co_return co_await globals.get(asyncio_name).attr("to_thread")(fetch_once);
}

bool no_table(nb::handle hist) { return hist.is_none() || truthy(hist.attr("empty")); }

nb::object normalized(nb::handle hist) { return globals.get(normalize_name)(hist); }

nb::dict cached_result(nb::dict result) {
    put(result, cached_key, Py_True);
    return result;
}

nb::dict downloaded_result(nb::dict result) {
    put(result, source_key, yfinance_source.get());
    return result;
}

Task kline_yfinance(nb::object self, LatestRequest request) {
    nb::object symbol = self.attr(symbol_name.get());
    nb::object cache = bar_cache();
    nb::object key = count_key_of(symbol, request);
    nb::object cached = cached_bars(cache, key);
    if (!cached.is_none()) co_return cached_result(latest_result(symbol, request, cached));
    nb::object larger =
        cache.attr(try_larger_count_name.get())(symbol, request.period, request.adjust, request.count);
    if (!larger.is_none()) {
        cache.attr(set_name.get())(key, larger);
        co_return cached_result(latest_result(symbol, request, larger));
    }

    std::string_view yf_period = yf_period_of(request.words.period.text);
    std::string_view yf_interval = yf_interval_of(request.words.period.text);
    bool yf_adjust = is_adjust_keyword(request.words.adjust.text);
    log(info_level, latest_asked, symbol, yf_period, yf_interval, request.count, yf_adjust);
    nb::object hist = co_await self.attr(yf_history_method.get())(
        "period"_a = yf_period, "interval"_a = yf_interval, "auto_adjust"_a = yf_adjust);
    if (no_table(hist)) {
        log(error_level, no_data, symbol);
        co_return error_result(no_data_error, symbol);
    }

    nb::object table = normalized(hist);
    nb::object bars = last(records_of(table), request.words.count);
    Py_ssize_t first_kept = nb::len(table) - nb::len(bars);
    nb::object kept_rows = table.attr("iloc")[nb::slice(nb::int_(first_kept), nb::none(), nb::none())];
    print_table(kept_rows, nb::str("{} {} ({} bars) [yfinance]").format(symbol, request.period, nb::len(bars)));
    cache.attr(set_name.get())(key, bars);
    co_return downloaded_result(latest_result(symbol, request, bars));
}

Task history_yfinance(nb::object self, RangeRequest request) {
    if (request.words.start >= request.words.end) co_return reversed_range_result(request);

    nb::object symbol = self.attr(symbol_name.get());
    nb::object cache = bar_cache();
    nb::object key = range_key_of(symbol, request);
    nb::object cached = cached_bars(cache, key);
    if (!cached.is_none()) co_return cached_result(range_result(symbol, request, cached));

    std::string_view yf_interval = yf_interval_of(request.words.period.text);
    bool yf_adjust = is_adjust_keyword(request.words.adjust.text);
    log(info_level, range_asked, symbol, request.start, request.end, yf_interval, yf_adjust);
    nb::object hist = co_await self.attr(yf_history_method.get())(
        "start"_a = to_python_date(request.words.start), "end"_a = to_python_date(request.words.end),
        "interval"_a = yf_interval, "auto_adjust"_a = yf_adjust);
    if (no_table(hist)) co_return error_result(no_range_data_error, symbol, request);

    nb::object table = normalized(hist);
    nb::list bars = records_of(table);
    print_table(table, nb::str("{} {} {} ~ {} [yfinance]").format(symbol, request.period, request.start, request.end));
    cache.attr(set_name.get())(key, bars);
    co_return downloaded_result(range_result(symbol, request, bars));
}

Task intraday_yfinance(nb::object self) {
    nb::object symbol = self.attr(symbol_name.get());
    log(info_level, intraday_asked, symbol);
    nb::object cache = bar_cache();
    nb::object key = intraday_key_of(symbol);
    nb::object cached = cached_bars(cache, key);
    if (!cached.is_none()) {
        log(info_level, intraday_hit, symbol);
        co_return intraday_result(symbol, cached, cache_source);
    }

    nb::object hist = co_await self.attr(yf_history_method.get())("period"_a = "1d", "interval"_a = "1m",
                                                                   "auto_adjust"_a = false);
    if (no_table(hist)) co_return error_result(no_intraday_error, symbol);

    nb::object table = normalized(hist);
    nb::list bars = records_of(table);
    // Stored before printing: a failure to print keeps the download.
    cache.attr(set_name.get())(key, bars);
    print_table(table, nb::str("{} Intraday [yfinance]").format(symbol));
    co_return intraday_result(symbol, bars, yfinance_source);
}

// The modes as Python calls them: the words arrive as the list `rest`.
Task run_yfinance_of(nb::object self, nb::object rest) {
    co_return co_await run_yfinance(std::move(self), RequestWords(rest));
}

Task kline_yfinance_of(nb::object self, nb::object rest) {
    co_return co_await kline_yfinance(std::move(self), LatestRequest(RequestWords(rest)));
}

Task history_yfinance_of(nb::object self, nb::object rest) {
    co_return co_await history_yfinance(std::move(self), RangeRequest(RequestWords(rest), local_today()));
}

}  // namespace

namespace {

// The fallback mode the first word picks, for the words already read.
Task fallback_mode(nb::handle self, const RequestWords &words) {
    nb::object me = nb::borrow(self);
    switch (request_form(words.texts())) {
        case RequestForm::intraday:
            return own_method(self, intraday_yfinance_method)
                       ? intraday_yfinance(me)
                       : as_task(self.attr(intraday_yfinance_method.get())());
        case RequestForm::history:
            return own_method(self, history_yfinance_method)
                       ? history_yfinance(me, RangeRequest(words, local_today()))
                       : as_task(self.attr(history_yfinance_method.get())(words.list()));
        case RequestForm::latest:
            break;
    }
    return own_method(self, kline_yfinance_method) ? kline_yfinance(me, LatestRequest(words))
                                                   : as_task(self.attr(kline_yfinance_method.get())(words.list()));
}

}  // namespace

Task run_yfinance(nb::object self, RequestWords words) {
    log(info_level, fallback_asked, self.attr(symbol_name.get()), words.list());
    co_return co_await fallback_mode(self, words);
}

void define_fallback_modes(nb::dict &body) {
    define_method(
        body, "_yf_history",
        [](nb::object self, nb::kwargs keywords) {
            return wrap(yf_history(std::move(self), std::move(keywords)), "IOpKline._yf_history");
        },
        "Download bars with yfinance on a worker thread; None when the download failed.",
        nb::sig("def _yf_history(self, **kwargs: typing.Any) -> collections.abc.Coroutine[typing.Any, typing.Any, typing.Any]"));
    globals.remember(run_yfinance_method, define_method(
        body, "_run_yfinance",
        [](nb::object self, nb::object rest) {
            return wrap(run_yfinance_of(std::move(self), std::move(rest)), "IOpKline._run_yfinance");
        },
        "Dispatch kline query to yfinance based on arg pattern.", nb::arg("rest").none(),
        nb::sig("def _run_yfinance(self, rest: list[str]) -> collections.abc.Coroutine[typing.Any, typing.Any, dict[str, typing.Any]]")));
    globals.remember(kline_yfinance_method, define_method(
        body, "_kline_yfinance",
        [](nb::object self, nb::object rest) {
            return wrap(kline_yfinance_of(std::move(self), std::move(rest)), "IOpKline._kline_yfinance");
        },
        "The latest N bars from yfinance (or the cache).", nb::arg("rest").none(),
        nb::sig("def _kline_yfinance(self, rest: list[str]) -> collections.abc.Coroutine[typing.Any, typing.Any, dict[str, typing.Any]]")));
    globals.remember(history_yfinance_method, define_method(
        body, "_history_yfinance",
        [](nb::object self, nb::object rest) {
            return wrap(history_yfinance_of(std::move(self), std::move(rest)), "IOpKline._history_yfinance");
        },
        "All bars of a date range from yfinance (or the cache).", nb::arg("rest").none(),
        nb::sig("def _history_yfinance(self, rest: list[str]) -> collections.abc.Coroutine[typing.Any, typing.Any, dict[str, typing.Any]]")));
    globals.remember(intraday_yfinance_method, define_method(
        body, "_intraday_yfinance",
        [](nb::object self) { return wrap(intraday_yfinance(std::move(self)), "IOpKline._intraday_yfinance"); },
        "Today's one-minute curve from yfinance (or the cache).",
        nb::sig("def _intraday_yfinance(self) -> collections.abc.Coroutine[typing.Any, typing.Any, dict[str, typing.Any]]")));
}

}  // namespace veltrax::kline
