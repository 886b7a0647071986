#include "common/module_globals.hpp"

namespace veltrax {

namespace nb = nanobind;

void ModuleGlobals::bind(nb::module_ module) {
    dict_ = module.attr("__dict__").ptr();
    Py_INCREF(dict_);
}

nb::object ModuleGlobals::get(const char *name) const {
    PyObject *value = PyDict_GetItemString(dict_, name);
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw nb::python_error();
    }
    return nb::borrow(value);
}

void ModuleGlobals::set(const char *name, nb::handle value) const {
    if (PyDict_SetItemString(dict_, name, value.ptr()) != 0) throw nb::python_error();
}

void ModuleGlobals::take_in(const char *source, std::initializer_list<const char *> names) const {
    nb::module_ imported = nb::module_::import_(source);
    for (const char *name : names) set(name, imported.attr(name));
}

void ModuleGlobals::import_module(const char *source, const char *as_name) const {
    set(as_name, nb::module_::import_(source));
}

}  // namespace veltrax
