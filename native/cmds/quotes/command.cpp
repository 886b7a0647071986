#include "cmds/quotes/command.hpp"

#include "cmds/quotes/broker_modes.hpp"
#include "cmds/quotes/fallback_modes.hpp"

#include <nanobind/stl/string.h>

#include "cmds/quotes/module_namespace.hpp"
#include "cmds/quotes/request_words.hpp"
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

nb::object argmap(nb::object) {
    nb::object darg = globals.get("DArg");
    nb::object upper = nb::module_::import_("builtins").attr("str").attr("upper");
    nb::list descriptors;
    descriptors.append(darg("symbol", "convert"_a = upper));
    descriptors.append(darg("*rest"));
    return descriptors;
}

// The broker copy of a contract: futures are asked for as the continuous
// future. The contract the host returned is never modified.
nb::object broker_contract(nb::handle original) {
    if (!nb::isinstance(original, globals.get("Future"))) return nb::borrow(original);
    nb::object contract = globals.get("copy").attr("copy")(original);
    nb::setattr(contract, "secType", nb::str("CONTFUT"));
    return contract;
}

Task run(nb::object self) {
    nb::object symbol = nb::getattr(self, "symbol", nb::none());
    if (!truthy(symbol)) {
        log("error", "No symbol provided");
        nb::dict refused;
        refused["error"] = "No symbol provided";
        co_return refused;
    }
    nb::object rest = nb::getattr(self, "rest", nb::none());
    if (!truthy(rest)) rest = nb::list();

    nb::object state = self.attr("state");
    if (!truthy(state.attr("connected"))) {
        log("info", "[{}] No gateway, using yfinance fallback", symbol);
        co_return co_await self.attr("_run_yfinance")(rest);
    }

    try {
        auto [found_symbol, original_contract] =
            unpack_pair(co_await state.attr("positionalQuoteRepopulate")(symbol));
        if (!truthy(found_symbol)) {
            log("error", "Symbol not found: {}", symbol);
            co_return co_await self.attr("_run_yfinance")(rest);
        }
        symbol = found_symbol;
        nb::setattr(self, "symbol", symbol);
        if (original_contract.is_none())
            throw nb::value_error("the contract lookup gave no contract");
        nb::object contract = broker_contract(original_contract);

        nb::object result;
        switch (request_form(words_of(rest))) {
            case RequestForm::intraday:
                result = co_await self.attr("_intraday")(contract);
                break;
            case RequestForm::history:
                result = co_await self.attr("_history")(contract, rest);
                break;
            case RequestForm::latest:
                result = co_await self.attr("_kline")(contract, rest);
                break;
        }
        if (truthy(result) && !contains(result, "error")) {
            result["source"] = "ibkr";
            co_return result;
        }
        nb::object error = truthy(result) ? result.attr("get")("error") : nb::none();
        log("warning", "[{}] IBKR returned error ({}), falling back to yfinance", symbol, error);
    } catch (nb::python_error &failure) {
        if (!is_ordinary(failure)) throw;
        log("warning", "[{}] IBKR failed ({}), falling back to yfinance", symbol,
            message_of(failure));
    } catch (std::exception &failure) {
        log("warning", "[{}] IBKR failed ({}), falling back to yfinance", symbol,
            std::string(failure.what()));
    }
    co_return co_await self.attr("_run_yfinance")(rest);
}

}  // namespace

nb::object get_cache() {
    nb::object store = globals.get("_candle_store");
    if (store.is_none()) {
        store = globals.get("KlineCache")();
        globals.set("_candle_store", store);
    }
    return store;
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
    nb::object field = globals.get("field");
    body["symbol"] = field("init"_a = false);
    body["rest"] = field("init"_a = false);
    body["requires_gateway"] = false;
    define_method(
        body, "argmap", &argmap, "The words of the command line: the symbol, then the rest.");
    define_method(body, "run", [](nb::object self) { return wrap(run(std::move(self)), "IOpKline.run"); },
                  "Route the request to a broker mode, or to the yfinance fallback.");
    define_broker_modes(body);
    define_fallback_modes(body);

    nb::object base = globals.get("IOp");
    nb::handle metaclass = reinterpret_cast<PyObject *>(Py_TYPE(base.ptr()));
    nb::object cls = metaclass("IOpKline", nb::make_tuple(base), body);
    cls = globals.get("dataclass")(cls);
    nb::list names;
    names.append("kline");
    cls = globals.get("command")("names"_a = names)(cls);
    module.attr("IOpKline") = cls;
}

}  // namespace veltrax::kline
