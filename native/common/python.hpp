// Small helpers for C++ code that works on Python objects.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <exception>
#include <string_view>
#include <utility>

#include "common/interned.hpp"

namespace veltrax {

namespace nb = nanobind;

inline bool truthy(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw nb::python_error();
    return result == 1;
}

// A new list of `size` empty slots (to fill with PyList_SET_ITEM), or a new
// dict; MemoryError when there is no memory for it.
inline nb::list new_list(Py_ssize_t size = 0) {
    PyObject *list = PyList_New(size);
    if (!list) throw nb::python_error();
    return nb::steal<nb::list>(list);
}
inline nb::dict new_dict() {
    PyObject *dict = PyDict_New();
    if (!dict) throw nb::python_error();
    return nb::steal<nb::dict>(dict);
}

// `key in container`.
inline bool contains(nb::handle container, const Interned &key) {
    int result = PyDict_CheckExact(container.ptr()) ? PyDict_Contains(container.ptr(), key.get().ptr())
                                                    : PySequence_Contains(container.ptr(), key.get().ptr());
    if (result < 0) throw nb::python_error();
    return result == 1;
}

// getattr(object, name, fallback): only AttributeError means "no such attribute".
nb::object attribute_or(nb::handle object, const Interned &name, nb::handle fallback);

// Holds off the cyclic garbage collector while many containers are created
// that cannot form cycles (rows of records): each allocation would otherwise
// count towards collections that scan every object of the process.
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable() == 1) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause &) = delete;
    GcPause &operator=(const GcPause &) = delete;

private:
    bool was_enabled_;
};

// The UTF-8 text of a Python string, valid while the string lives. Not a
// string: TypeError; not valid text (a lone surrogate): ValueError. Both name
// `what` the string is ("the word", "the symbol") and show it.
std::string_view text_of(nb::handle text, const char *what);

// `first, second = value`, with Python's errors for any other number of items.
std::pair<nb::object, nb::object> unpack_pair(nb::handle value);

// sequence[-count:] as a new sequence: the last `count` items, all of them
// for 0, and all but the first -count for a negative count.
nb::object last(nb::handle sequence, std::int64_t count);

// Sets the Python error a C++ exception stands for, exactly as nanobind
// translates what a bound function throws (its own table, and any translator
// registered with it), for code that Python calls through a raw C slot.
void set_python_error(std::exception_ptr failure) noexcept;

// Adds a function to a class body as a method (bound to the instance).
template <typename Function, typename... Extra>
nb::object define_method(nb::dict &body, const char *name, Function &&function, const char *doc,
                         const Extra &...extra) {
    nb::object method = nb::cpp_function(std::forward<Function>(function), nb::is_method(), nb::name(name),
                                         doc, extra...);
    body[name] = method;
    return method;
}

}  // namespace veltrax
