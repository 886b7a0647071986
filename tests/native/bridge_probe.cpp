// Test-only coroutines that exercise the bridge between C++ and asyncio.
#include <nanobind/nanobind.h>

#include "common/coroutine.hpp"

namespace nb = nanobind;
using veltrax::Task;

namespace {

Task passthrough(nb::object awaitable) { co_return co_await awaitable; }

// ("ok", value) or ("caught", exception type name, message).
Task catching(nb::object awaitable) {
    try {
        nb::object value = co_await awaitable;
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

}  // namespace

NB_MODULE(_bridge_probe, module) {
    veltrax::register_coroutine_type(module);
    module.def("passthrough", [](nb::object a) { return veltrax::wrap(passthrough(std::move(a)), "passthrough"); });
    module.def("catching", [](nb::object a) { return veltrax::wrap(catching(std::move(a)), "catching"); });
    module.def("await_each", [](nb::object make, int times) {
        return veltrax::wrap(await_each(std::move(make), times), "await_each");
    });
    module.def(
        "returning", [](nb::object v) { return veltrax::wrap(returning(std::move(v)), "returning"); },
        nb::arg("value").none());
    module.def("raising", [](nb::object e) { return veltrax::wrap(raising(std::move(e)), "raising"); });
}
