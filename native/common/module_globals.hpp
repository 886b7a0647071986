// A compiled module's own namespace, used the way Python code uses its globals:
// names are looked up at each use, so the host or a test can replace one.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <utility>
#include <vector>

#include "common/interned.hpp"

namespace veltrax {

class ModuleGlobals {
public:
    // Keeps the module's namespace for the life of the process (a module stays
    // loaded once imported; no reference is released after interpreter shutdown).
    void bind(nanobind::module_ module);

    // The value of a global; NameError when it is gone. Code that runs on
    // every request looks names up interned.
    nanobind::object get(const Interned &name) const;
    nanobind::object get(const char *name) const;
    void set(const char *name, nanobind::handle value) const;
    void set(const Interned &name, nanobind::handle value) const;

    // `from source import names...`; a missing name fails the module's load.
    void take_in(const char *source, std::initializer_list<const char *> names) const;

    // `import source` (under the name `as_name`).
    void import_module(const char *source, const char *as_name) const;

    // Notes `value` as the module's own definition of `name` (a global or a
    // method of its classes), for the direct paths that may skip calling it
    // through Python while it is in place.
    void remember(const Interned &name, nanobind::handle value);
    nanobind::handle original(const Interned &name) const;
    bool holds_original(const Interned &name, nanobind::handle value) const {
        return value.ptr() == original(name).ptr();
    }

private:
    PyObject *dict_ = nullptr;
    // (name, original value), strong references kept for the life of the process.
    std::vector<std::pair<PyObject *, PyObject *>> originals_;
};

// True while looking `name` up on `self` finds `original`: attribute lookup is
// the generic one, the class (and any subclass) gives `original`, and the
// instance has no attribute of that name in its own dict.
bool resolves_to(nanobind::handle self, const Interned &name, nanobind::handle original);

}  // namespace veltrax
