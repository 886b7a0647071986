#include "common/python.hpp"

#include <nanobind/stl/string.h>

namespace veltrax {

std::pair<nb::object, nb::object> unpack_pair(nb::handle value) {
    nb::object iterator = nb::steal(PyObject_GetIter(value.ptr()));
    if (!iterator.is_valid()) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.100s object",
                     Py_TYPE(value.ptr())->tp_name);
        throw nb::python_error();
    }
    nb::object items[2];
    for (int got = 0; got < 2; ++got) {
        items[got] = nb::steal(PyIter_Next(iterator.ptr()));
        if (items[got].is_valid()) continue;
        if (PyErr_Occurred()) throw nb::python_error();
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", got);
        throw nb::python_error();
    }
    nb::object extra = nb::steal(PyIter_Next(iterator.ptr()));
    if (extra.is_valid()) throw nb::value_error("too many values to unpack (expected 2)");
    if (PyErr_Occurred()) throw nb::python_error();
    return {std::move(items[0]), std::move(items[1])};
}

nb::object last(nb::handle sequence, std::int64_t count) {
    Py_ssize_t size = PyObject_Length(sequence.ptr());
    if (size < 0) throw nb::python_error();
    Py_ssize_t start = count > 0 ? (count >= size ? 0 : size - static_cast<Py_ssize_t>(count))
                                 : (-count >= size ? size : static_cast<Py_ssize_t>(-count));
    nb::object slice = nb::steal(PySequence_GetSlice(sequence.ptr(), start, size));
    if (!slice.is_valid()) throw nb::python_error();
    return slice;
}

std::vector<std::string> words_of(nb::handle words) {
    std::vector<std::string> result;
    for (nb::handle word : words) {
        if (!PyUnicode_Check(word.ptr()))
            throw nb::type_error("the words of a request must be text");
        result.push_back(nb::cast<std::string>(word));
    }
    return result;
}

}  // namespace veltrax
