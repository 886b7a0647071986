// A compiled module's own namespace, used the way Python code uses its globals:
// names are looked up at each use, so the host or a test can replace one.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>

namespace veltrax {

class ModuleGlobals {
public:
    // Keeps the module's namespace for the life of the process (a module stays
    // loaded once imported; no reference is released after interpreter shutdown).
    void bind(nanobind::module_ module);

    nanobind::object get(const char *name) const;
    void set(const char *name, nanobind::handle value) const;

    // `from source import names...`; a missing name fails the module's load.
    void take_in(const char *source, std::initializer_list<const char *> names) const;

    // `import source` (under the name `as_name`).
    void import_module(const char *source, const char *as_name) const;

private:
    PyObject *dict_ = nullptr;
};

}  // namespace veltrax
