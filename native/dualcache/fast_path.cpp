#include "dualcache/fast_path.hpp"

#include <new>
#include <optional>

#include "dualcache/store.hpp"

namespace veltrax::store {

namespace nb = nanobind;

namespace {

PyObject *store_error = nullptr;

template <typename Body>
PyObject *translated(Body body) noexcept {
    try {
        return body();
    } catch (nb::python_error &error) {
        error.restore();
    } catch (const StoreError &error) {
        PyErr_SetString(store_error, error.what());
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    }
    return nullptr;
}

DualCache *instance(PyObject *self) {
    if (!nb::inst_ready(self)) {
        PyErr_SetString(PyExc_TypeError, "DualCache is not initialised");
        throw nb::python_error();
    }
    return nb::inst_ptr<DualCache>(self);
}

PyObject *fast_get(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return translated([&]() -> PyObject * {
        PyObject *given[2] = {nargs > 0 ? args[0] : nullptr, nargs > 1 ? args[1] : nullptr};
        Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        bool bad = nargs > 2;
        for (Py_ssize_t i = 0; i < keywords && !bad; ++i) {
            PyObject *name = PyTuple_GET_ITEM(kwnames, i);
            int slot = PyUnicode_CompareWithASCIIString(name, "key") == 0       ? 0
                       : PyUnicode_CompareWithASCIIString(name, "default") == 0 ? 1
                                                                                : -1;
            bad = slot < 0 || given[slot];
            if (!bad) given[slot] = args[nargs + i];
        }
        if (bad || !given[0]) {
            PyErr_SetString(PyExc_TypeError, "get() takes a key and an optional default");
            return nullptr;
        }
        std::optional<nb::object> value = instance(self)->lookup(given[0]);
        if (value) return value->release().ptr();
        return Py_NewRef(given[1] ? given[1] : Py_None);
    });
}

PyObject *fast_subscript(PyObject *self, PyObject *key) {
    return translated([&]() -> PyObject * {
        std::optional<nb::object> value = instance(self)->lookup(key);
        if (value) return value->release().ptr();
        PyErr_SetObject(PyExc_KeyError, key);
        return nullptr;
    });
}

PyMethodDef fast_methods[] = {
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fast_get)),
     METH_FASTCALL | METH_KEYWORDS,
     "get($self, key, default=None)\n--\n\nThe value stored under the key, or default."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot fast_slots[] = {
    {Py_tp_methods, fast_methods},
    {Py_mp_subscript, reinterpret_cast<void *>(fast_subscript)},
    {0, nullptr},
};

}  // namespace

PyType_Slot *fast_path_slots(PyObject *error_type) {
    store_error = error_type;
    return fast_slots;
}

}  // namespace veltrax::store
