#include "cmds/quotes/module_namespace.hpp"

namespace veltrax::kline {

ModuleGlobals globals;
const candle_store::KlineCacheApi *cache_api = nullptr;

namespace {

// `from source import *`: the names of __all__, or else every public name.
void take_in_all(const char *source) {
    nb::module_ imported = nb::module_::import_(source);
    bool listed = nb::hasattr(imported, "__all__");
    nb::object names = listed ? imported.attr("__all__") : imported.attr("__dict__").attr("keys")();
    for (nb::handle name : names) {
        nb::str text = nb::borrow<nb::str>(name);
        if (!listed && text.c_str()[0] == '_') continue;
        globals.set(text.c_str(), imported.attr(text));
    }
}

}  // namespace

void take_in_host_names(nb::module_ module) {
    globals.bind(module);
    for (const char *standard : {"asyncio", "copy", "datetime", "math", "re"})
        globals.import_module(standard, standard);
    globals.take_in("dataclasses", {"dataclass", "field"});
    globals.take_in("typing", {"TYPE_CHECKING"});
    globals.take_in("ib_async", {"Contract"});
    globals.take_in("loguru", {"logger"});
    globals.take_in("corbel", {"DArg", "printFrame"});
    globals.import_module("pandas", "pd");
    globals.take_in("veltrax.cmds.base", {"IOp", "command"});
    globals.take_in("veltrax.gateway.candle_store", {"KlineCache"});
    cache_api = static_cast<const candle_store::KlineCacheApi *>(
        PyCapsule_Import(candle_store::KlineCacheApi::capsule_name, 0));
    if (!cache_api) throw nb::python_error();
    take_in_all("veltrax.helpers");
}

}  // namespace veltrax::kline
