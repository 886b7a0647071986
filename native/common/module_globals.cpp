#include "common/module_globals.hpp"

namespace veltrax {

namespace nb = nanobind;

void ModuleGlobals::bind(nb::module_ module) {
    dict_ = module.attr("__dict__").ptr();
    Py_INCREF(dict_);
}

nb::object ModuleGlobals::get(const Interned &name) const {
    PyObject *value = PyDict_GetItemWithError(dict_, name.get().ptr());
    if (value) return nb::borrow(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name.c_str());
    throw nb::python_error();
}

nb::object ModuleGlobals::get(const char *name) const {
    PyObject *value = PyDict_GetItemString(dict_, name);
    if (value) return nb::borrow(value);
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw nb::python_error();
}

void ModuleGlobals::set(const char *name, nb::handle value) const {
    if (PyDict_SetItemString(dict_, name, value.ptr()) != 0) throw nb::python_error();
}

void ModuleGlobals::set(const Interned &name, nb::handle value) const {
    if (PyDict_SetItem(dict_, name.get().ptr(), value.ptr()) != 0) throw nb::python_error();
}

void ModuleGlobals::take_in(const char *source, std::initializer_list<const char *> names) const {
    nb::module_ imported = nb::module_::import_(source);
    for (const char *name : names) set(name, imported.attr(name));
}

void ModuleGlobals::import_module(const char *source, const char *as_name) const {
    set(as_name, nb::module_::import_(source));
}

void ModuleGlobals::remember(const Interned &name, nb::handle value) {
    originals_.emplace_back(name.get().ptr(), value.inc_ref().ptr());
}

nb::handle ModuleGlobals::original(const Interned &name) const {
    for (const auto &[original_name, value] : originals_)
        if (original_name == name.get().ptr()) return value;
    return {};
}

bool resolves_to(nb::handle self, const Interned &name, nb::handle original) {
    PyTypeObject *type = Py_TYPE(self.ptr());
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    PyObject *found = PyObject_GetAttr(reinterpret_cast<PyObject *>(type), name.get().ptr());
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();  // the call through Python raises it where it belongs
        return false;
    }
    Py_DECREF(found);  // the class keeps it; only its identity matters here
    if (found != original.ptr()) return false;
    if (type->tp_dictoffset == 0) return true;
    nb::object own = nb::steal(PyObject_GenericGetDict(self.ptr(), nullptr));
    if (!own.is_valid()) throw nb::python_error();
    int shadowed = PyDict_Contains(own.ptr(), name.get().ptr());
    if (shadowed < 0) throw nb::python_error();
    return shadowed == 0;
}

}  // namespace veltrax
