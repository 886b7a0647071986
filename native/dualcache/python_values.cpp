#include "dualcache/python_values.hpp"

#include <cstdio>

namespace veltrax::store {

namespace nb = nanobind;

ModuleGlobals &module_globals() {
    static ModuleGlobals globals;
    return globals;
}

std::string_view key_text(nb::handle key) {
    if (!PyUnicode_Check(key.ptr())) {
        PyErr_Format(PyExc_TypeError, "cache keys are str, not %.100s", Py_TYPE(key.ptr())->tp_name);
        throw nb::python_error();
    }
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(key.ptr(), &size);
    if (!data) throw nb::python_error();
    return {data, static_cast<std::size_t>(size)};
}

nb::object text_object(std::string_view text) {
    PyObject *object = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                            "surrogateescape");
    if (!object) throw nb::python_error();
    return nb::steal(object);
}

nb::list new_list() {
    PyObject *list = PyList_New(0);
    if (!list) throw nb::python_error();
    return nb::steal<nb::list>(list);
}

nb::dict new_dict() {
    PyObject *dict = PyDict_New();
    if (!dict) throw nb::python_error();
    return nb::steal<nb::dict>(dict);
}

nb::list text_list(const std::vector<std::string> &texts) {
    nb::list list = new_list();
    for (const std::string &text : texts) list.append(text_object(text));
    return list;
}

std::string shown(std::string_view key) {
    std::string out = "'";
    for (char c : key) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '\'' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "'";
}

}  // namespace veltrax::store
