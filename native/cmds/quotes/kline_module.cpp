// The kline command module: loads the host's names, then the period tables and
// functions, then the command class, in that order. Nothing is fetched, read
// from disk or configured here.
#include <nanobind/nanobind.h>

#include "cmds/quotes/bar_frames.hpp"
#include "cmds/quotes/command.hpp"
#include "cmds/quotes/module_namespace.hpp"
#include "cmds/quotes/vocabulary_bindings.hpp"
#include "common/coroutine.hpp"

NB_MODULE(kline, module) {
    using namespace veltrax;
    module.doc() = "Command: kline\n\nCategory: Live Market Quotes\n";
    kline::take_in_host_names(module);
    kline::define_vocabulary(module);
    kline::define_frame_functions(module);
    kline::define_cache_holder(module);
    register_coroutine_type(module);
    kline::define_command(module);
}
