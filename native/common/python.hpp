// Small helpers for C++ code that works on Python objects.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace veltrax {

namespace nb = nanobind;

inline bool truthy(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw nb::python_error();
    return result == 1;
}

inline bool contains(nb::handle container, const char *key) {
    int result = PySequence_Contains(container.ptr(), nb::str(key).ptr());
    if (result < 0) throw nb::python_error();
    return result == 1;
}

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

// `first, second = value`, with Python's errors for any other number of items.
std::pair<nb::object, nb::object> unpack_pair(nb::handle value);

// A list of words as C++ strings; a word that is not text is a TypeError.
std::vector<std::string> words_of(nb::handle words);

// sequence[-count:] as a new sequence: the last `count` items, all of them
// for 0, and all but the first -count for a negative count.
nb::object last(nb::handle sequence, std::int64_t count);

// Adds a function to a class body as a method (bound to the instance).
template <typename Function, typename... Extra>
void define_method(nb::dict &body, const char *name, Function &&function, const char *doc,
                   const Extra &...extra) {
    body[name] = nb::cpp_function(std::forward<Function>(function), nb::is_method(),
                                  nb::name(name), doc, extra...);
}

}  // namespace veltrax
