// Test-only coroutines that exercise the bridge between C++ and asyncio.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <new>
#include <stdexcept>
#include <string>

#include "common/coroutine.hpp"

namespace nb = nanobind;
using veltrax::Task;

namespace {

// A C++ exception type with a translator of its own, registered with nanobind.
struct ProbeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

Task passthrough(nb::object awaitable) { co_return co_await std::move(awaitable); }

// ("ok", value) or ("caught", exception type name, message).
Task catching(nb::object awaitable) {
    try {
        nb::object value = co_await std::move(awaitable);
        co_return nb::make_tuple("ok", value);
    } catch (nb::python_error &error) {
        co_return nb::make_tuple("caught", nb::str(error.type().attr("__name__")),
                                 veltrax::message_of(error));
    }
}

// The same, with the awaitable awaited `depth` tasks further in.
Task nested(nb::object awaitable, int depth) {
    if (depth == 0) co_return co_await std::move(awaitable);
    co_return co_await nested(std::move(awaitable), depth - 1);
}

Task catching_nested(nb::object awaitable, int depth) {
    try {
        nb::object value = co_await nested(std::move(awaitable), depth);
        co_return nb::make_tuple("ok", value);
    } catch (nb::python_error &error) {
        co_return nb::make_tuple("caught", nb::str(error.type().attr("__name__")),
                                 veltrax::message_of(error));
    }
}

Task await_each(nb::object make_awaitable, int times) {
    for (int i = 0; i < times; ++i) co_await make_awaitable();
    co_return nb::int_(times);
}

Task returning(nb::object value) { co_return value; }

Task raising(nb::object exception) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exception.ptr())), exception.ptr());
    throw nb::python_error();
    co_return nb::none();
}

// Throws the C++ exception named `kind` after one turn of the event loop when
// `after` is an awaitable, at once when it is None.
Task throwing_cpp(std::string kind, nb::object after) {
    if (!after.is_none()) co_await std::move(after);
    if (kind == "length_error") throw std::length_error(kind);
    if (kind == "range_error") throw std::range_error(kind);
    if (kind == "overflow_error") throw std::overflow_error(kind);
    if (kind == "domain_error") throw std::domain_error(kind);
    if (kind == "invalid_argument") throw std::invalid_argument(kind);
    if (kind == "out_of_range") throw std::out_of_range(kind);
    if (kind == "bad_alloc") throw std::bad_alloc();
    if (kind == "runtime_error") throw std::runtime_error(kind);
    if (kind == "key_error") throw nb::key_error(kind.c_str());
    if (kind == "probe_error") throw ProbeError(kind);
    if (kind == "stop_iteration") throw nb::stop_iteration(kind.c_str());
    co_return nb::none();
}

}  // namespace

NB_MODULE(_bridge_probe, module) {
    veltrax::register_coroutine_type(module);
    nb::exception<ProbeError>(module, "ProbeError");
    module.def("passthrough", [](nb::object a) { return veltrax::wrap(passthrough(std::move(a)), "passthrough"); });
    module.def("catching", [](nb::object a) { return veltrax::wrap(catching(std::move(a)), "catching"); });
    module.def("nested", [](nb::object a, int depth) {
        return veltrax::wrap(nested(std::move(a), depth), "nested");
    });
    module.def("catching_nested", [](nb::object a, int depth) {
        return veltrax::wrap(catching_nested(std::move(a), depth), "catching_nested");
    });
    module.def("await_each", [](nb::object make, int times) {
        return veltrax::wrap(await_each(std::move(make), times), "await_each");
    });
    module.def(
        "returning", [](nb::object v) { return veltrax::wrap(returning(std::move(v)), "returning"); },
        nb::arg("value").none());
    module.def("raising", [](nb::object e) { return veltrax::wrap(raising(std::move(e)), "raising"); });
    module.def(
        "throwing_cpp",
        [](std::string kind, nb::object after) {
            return veltrax::wrap(throwing_cpp(std::move(kind), std::move(after)), "throwing_cpp");
        },
        nb::arg("kind"), nb::arg("after").none() = nb::none());
}
