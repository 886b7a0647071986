#include "common/python.hpp"

namespace veltrax {

std::string_view text_of(nb::handle text, const char *what) {
    if (!PyUnicode_Check(text.ptr())) {
        PyErr_Format(PyExc_TypeError, "%s must be text, not %.100s", what, Py_TYPE(text.ptr())->tp_name);
        throw nb::python_error();
    }
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data) return {data, static_cast<std::size_t>(size)};
    nb::python_error invalid;
    if (!invalid.matches(PyExc_UnicodeEncodeError)) throw invalid;
    nb::raise_from(invalid, PyExc_ValueError, "%s %R is not valid text (%S)", what, text.ptr(),
                   invalid.value().attr("reason").ptr());
}

nb::object attribute_or(nb::handle object, const Interned &name, nb::handle fallback) {
    PyObject *value = PyObject_GetAttr(object.ptr(), name.get().ptr());
    if (value) return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return nb::borrow(fallback);
}

std::pair<nb::object, nb::object> unpack_pair(nb::handle value) {
    nb::object iterator = nb::steal(PyObject_GetIter(value.ptr()));
    if (!iterator.is_valid()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
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

void set_python_error(std::exception_ptr failure) noexcept {
    try {
        std::rethrow_exception(failure);
    } catch (nb::python_error &error) {
        error.restore();
        return;
    } catch (...) {
    }
    // nanobind translates what a bound function throws; a throwaway function
    // that rethrows the failure gets exactly that translation.
    try {
        nb::object rethrow = nb::cpp_function([failure] { std::rethrow_exception(failure); });
        PyObject *never = PyObject_CallNoArgs(rethrow.ptr());
        Py_XDECREF(never);
    } catch (nb::python_error &error) {
        error.restore();
    } catch (...) {
        PyErr_NoMemory();
    }
}

}  // namespace veltrax
