// Names and constant texts that the request paths hand to Python on every
// request (attribute and global names, result keys, log templates).
#pragma once

#include <nanobind/nanobind.h>

namespace veltrax {

// One interned Python string, made on first use and kept for the life of the
// process: a lookup with it hashes nothing and allocates nothing.
class Interned {
public:
    constexpr explicit Interned(const char *text) : text_(text) {}
    Interned(const Interned &) = delete;
    Interned &operator=(const Interned &) = delete;

    nanobind::handle get() const {
        if (!object_) make();
        return object_;
    }
    const char *c_str() const { return text_; }

private:
    void make() const {
        object_ = PyUnicode_InternFromString(text_);
        if (!object_) throw nanobind::python_error();
    }

    const char *text_;
    mutable PyObject *object_ = nullptr;
};

}  // namespace veltrax
