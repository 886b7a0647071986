#include "cmds/quotes/command.hpp"

#include "cmds/quotes/broker_modes.hpp"
#include "cmds/quotes/fallback_modes.hpp"

#include <nanobind/stl/string.h>

#include "cmds/quotes/mode_support.hpp"
#include "cmds/quotes/request.hpp"
#include "common/coroutine.hpp"
#include "common/python.hpp"

namespace veltrax::kline {

namespace {

using namespace nb::literals;

// The stored help text keeps the indentation a docstring of a class body has.
constexpr const char *help_text =
    "Fetch candlestick / OHLCV data via IBKR.\n"
    "\n"
    "    Modes:\n"
    "      kline <symbol> [period] [count] [adj]           # Latest N candles\n"
    "      kline <symbol> <start> [end] [period] [adj]     # History by date range\n"
    "      kline <symbol> intraday                          # Today's per-minute curve\n"
    "\n"
    "    Periods: 1m, 5m, 15m, 30m, 1h, day, week, month, year\n"
    "    Aliases: minute, hour, d, w, m, y, 1d, 1mo\n"
    "    Count:  number of bars (per-period default: 1m=120, 5m=78, day=250, etc.)\n"
    "    Adj:    adj (or forward) for split+dividend adjusted price (ADJUSTED_LAST)\n"
    "            omitted = TRADES (split-adjusted only)\n"
    "    Start / End: YYYY-MM-DD (end defaults to today)\n"
    "\n"
    "    Examples:\n"
    "      kline AAPL day 100\n"
    "      kline AAPL 5m 200 adj\n"
    "      kline AAPL 2025-01-01 day\n"
    "      kline AAPL 2025-01-01 2025-06-01 day\n"
    "      kline AAPL intraday\n"
    "    ";

constinit Interned darg_name{"DArg"}, future_name{"Future"}, copy_name{"copy"}, field_name{"field"},
    iop_name{"IOp"}, dataclass_name{"dataclass"}, command_name{"command"};
constinit Interned connected_name{"connected"}, lookup_name{"positionalQuoteRepopulate"}, sec_type_name{"secType"},
    continuous_future{"CONTFUT"};
constinit Interned no_symbol{"No symbol provided"}, no_gateway{"[{}] No gateway, using yfinance fallback"},
    not_found{"Symbol not found: {}"},
    returned_error{"[{}] IBKR returned error ({}), falling back to yfinance"},
    broker_failed{"[{}] IBKR failed ({}), falling back to yfinance"};

nb::object argmap(nb::object) {
    nb::object darg = globals.get(darg_name);
    nb::object upper = nb::module_::import_("builtins").attr("str").attr("upper");
    nb::list descriptors;
    descriptors.append(darg("symbol", "convert"_a = upper));
    descriptors.append(darg("*rest"));
    return descriptors;
}

// The broker copy of a contract: futures are asked for as the continuous
// future. The contract the host returned is never modified.
nb::object broker_contract(nb::handle original) {
    int future = PyObject_IsInstance(original.ptr(), globals.get(future_name).ptr());
    if (future < 0) throw nb::python_error();
    if (!future) return nb::borrow(original);
    nb::object contract = globals.get(copy_name).attr("copy")(original);
    nb::setattr(contract, sec_type_name.get(), continuous_future.get());
    return contract;
}

Task fallback(nb::handle self, nb::handle rest) {
    return own_method(self, run_yfinance_method) ? run_yfinance(nb::borrow(self), RequestWords(rest))
                                                 : as_task(self.attr(run_yfinance_method.get())(rest));
}

// The broker mode the first word picks, for the words already read.
Task broker_mode(nb::handle self, nb::handle contract, const RequestWords &words) {
    nb::object me = nb::borrow(self), broker = nb::borrow(contract);
    switch (request_form(words.texts())) {
        case RequestForm::intraday:
            return own_method(self, intraday_method) ? intraday(me, broker)
                                                     : as_task(self.attr(intraday_method.get())(contract));
        case RequestForm::history:
            return own_method(self, history_method)
                       ? history(me, broker, RangeRequest(words, local_today()))
                       : as_task(self.attr(history_method.get())(contract, words.list()));
        case RequestForm::latest:
            break;
    }
    return own_method(self, kline_method) ? latest_bars(me, broker, LatestRequest(words))
                                          : as_task(self.attr(kline_method.get())(contract, words.list()));
}

Task run(nb::object self) {
    nb::object symbol = attribute_or(self, symbol_name, Py_None);
    if (!truthy(symbol)) {
        log(error_level, no_symbol);
        nb::dict refused = new_dict();
        put(refused, error_key, no_symbol.get());
        co_return refused;
    }
    nb::object rest = attribute_or(self, rest_name, Py_None);
    if (!truthy(rest)) rest = new_list();

    nb::object state = self.attr(state_name.get());
    if (!truthy(state.attr(connected_name.get()))) {
        log(info_level, no_gateway, symbol);
        co_return co_await fallback(self, rest);
    }

    try {
        auto [found_symbol, original_contract] = unpack_pair(co_await state.attr(lookup_name.get())(symbol));
        if (!truthy(found_symbol)) {
            log(error_level, not_found, symbol);
            co_return co_await fallback(self, rest);
        }
        symbol = found_symbol;
        nb::setattr(self, symbol_name.get(), symbol);
        if (original_contract.is_none())
            throw nb::value_error("the contract lookup gave no contract");
        nb::object contract = broker_contract(original_contract);

        nb::object result = co_await broker_mode(self, contract, RequestWords(rest));
        if (truthy(result) && !contains(result, error_key)) {
            put(result, source_key, ibkr_source.get());
            co_return result;
        }
        nb::object error = truthy(result) ? result.attr(get_name.get())(error_key.get()) : nb::none();
        log(warning_level, returned_error, symbol, error);
    } catch (nb::python_error &failure) {
        if (!is_ordinary(failure)) throw;
        log(warning_level, broker_failed, symbol, message_of(failure));
    } catch (std::exception &failure) {
        log(warning_level, broker_failed, symbol, std::string(failure.what()));
    }
    co_return co_await fallback(self, rest);
}

}  // namespace

nb::object process_cache() {
    nb::object store = globals.get(candle_store_name);
    if (store.is_none()) {
        store = globals.get(kline_cache_name)();
        globals.set(candle_store_name, store);
    }
    return store;
}

void define_cache_holder(nb::module_ &module) {
    module.def("_get_cache", &process_cache, "The process-wide KlineCache, created on first use.",
               nb::sig("def _get_cache() -> veltrax.gateway.candle_store.KlineCache"));
    globals.remember(get_cache_name, module.attr("_get_cache"));
    module.attr("_candle_store") = nb::none();
}

void define_command(nb::module_ &module) {
    nb::dict body;
    body["__module__"] = module.attr("__name__");
    body["__qualname__"] = "IOpKline";
    body["__doc__"] = help_text;
    nb::object builtins = nb::module_::import_("builtins");
    nb::dict annotations;
    annotations["symbol"] = builtins.attr("str");
    annotations["rest"] = builtins.attr("list")[builtins.attr("str")];
    body["__annotations__"] = annotations;
    nb::object field = globals.get(field_name);
    body["symbol"] = field("init"_a = false);
    body["rest"] = field("init"_a = false);
    body["requires_gateway"] = false;
    define_method(
        body, "argmap", &argmap, "The words of the command line: the symbol, then the rest.",
        nb::sig("def argmap(self) -> list[corbel.dispatch.DArg]"));
    define_method(body, "run", [](nb::object self) { return wrap(run(std::move(self)), "IOpKline.run"); },
                  "Route the request to a broker mode, or to the yfinance fallback.",
                  nb::sig("def run(self) -> collections.abc.Coroutine[typing.Any, typing.Any, dict[str, typing.Any]]"));
    define_broker_modes(body);
    define_fallback_modes(body);

    nb::object base = globals.get(iop_name);
    nb::handle metaclass = reinterpret_cast<PyObject *>(Py_TYPE(base.ptr()));
    nb::object cls = metaclass("IOpKline", nb::make_tuple(base), body);
    cls = globals.get(dataclass_name)(cls);
    nb::list names;
    names.append("kline");
    cls = globals.get(command_name)("names"_a = names)(cls);
    module.attr("IOpKline") = cls;
}

}  // namespace veltrax::kline
