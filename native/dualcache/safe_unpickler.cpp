#include "dualcache/safe_unpickler.hpp"

#include <string>
#include <string_view>

#include "common/python.hpp"

namespace veltrax::store {

namespace nb = nanobind;

namespace {

struct Admitted {
    std::string_view module;
    std::string_view name;
};

// The names a stored pickle may use. The encoder pickles only what the layout
// has no tag for: values of these types (and the builtin containers and bytes,
// which pickle without names). None of them runs code of the stored bytes'
// choosing, and none makes more objects than the bytes describe.
constexpr Admitted admitted[] = {
    // datetime values and the zones of aware ones
    {"datetime", "date"},
    {"datetime", "datetime"},
    {"datetime", "time"},
    {"datetime", "timedelta"},
    {"datetime", "timezone"},
    {"zoneinfo", "ZoneInfo"},
    {"zoneinfo", "ZoneInfo._unpickle"},
    {"pytz", "_p"},
    {"pytz", "_UTC"},
    // pandas scalars
    {"pandas", "NA"},
    {"pandas._libs.missing", "NA"},
    {"pandas._libs.tslibs.nattype", "_nat_unpickle"},
    {"pandas._libs.tslibs.timestamps", "_unpickle_timestamp"},
    {"pandas._libs.tslibs.timedeltas", "_timedelta_unpickle"},
    // numpy scalars, never of a dtype that holds objects (see numpy_scalar)
    {"numpy", "dtype"},
    {"numpy._core.multiarray", "scalar"},
    {"numpy.core.multiarray", "scalar"},
    // other plain data
    {"decimal", "Decimal"},
    {"collections", "OrderedDict"},
    {"collections", "defaultdict"},
    {"collections", "deque"},
    {"builtins", "complex"},
    {"builtins", "list"},
    {"builtins", "dict"},
    {"builtins", "set"},
    {"builtins", "frozenset"},
    {"builtins", "tuple"},
    // protocol 4 reaches a method such as ZoneInfo._unpickle through getattr;
    // it is given guarded_getattr, which follows admitted names only
    {"builtins", "getattr"},
};

bool is_admitted(std::string_view module, std::string_view name) {
    for (const Admitted &entry : admitted)
        if (entry.module == module && entry.name == name) return true;
    return false;
}

[[noreturn]] void refuse(std::string_view module, std::string_view name) {
    nb::object error = nb::module_::import_("pickle").attr("UnpicklingError");
    std::string message = "a stored value names " + std::string(module) + "." + std::string(name) +
                          ", which the store does not read";
    PyErr_SetString(error.ptr(), message.c_str());
    throw nb::python_error();
}

std::string_view text_of(nb::handle text) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) throw nb::python_error();
    return {data, static_cast<std::size_t>(size)};
}

// numpy.scalar(dtype, data) reads a pointer out of `data` for a dtype that
// holds objects, and without `data` allocates the dtype's size, whatever it
// says: only a scalar of plain data, made from its own bytes, is read.
nb::object numpy_scalar(nb::object scalar) {
    return nb::cpp_function([scalar](nb::args args) {
        nb::object dtype_type = nb::module_::import_("numpy").attr("dtype");
        if (nb::len(args) < 1 || !nb::isinstance(args[0], dtype_type) ||
            truthy(args[0].attr("hasobject")))
            refuse("numpy", "scalar of objects");
        if (nb::len(args) != 2 || !PyBytes_CheckExact(args[1].ptr()) ||
            !args[0].attr("itemsize").equal(nb::int_(PyBytes_GET_SIZE(args[1].ptr()))))
            refuse("numpy", "scalar without its bytes");
        return scalar(*args);
    });
}

nb::object admitted_object(std::string_view module, std::string_view name);

// getattr(type, name) for the names admitted as "Type.name".
nb::object guarded_getattr(nb::handle object, nb::str name) {
    if (!PyType_Check(object.ptr())) refuse("getattr", "of an instance");
    std::string module(text_of(object.attr("__module__")));
    std::string qualified = std::string(text_of(object.attr("__qualname__"))) + "." +
                            std::string(text_of(name));
    return admitted_object(module, qualified);
}

nb::object guarded_getattr_function() {
    static PyObject *made = nb::cpp_function(guarded_getattr).release().ptr();
    return nb::borrow(made);
}

// What an admitted name stands for. A type comes as itself when it cannot be
// changed (a load could otherwise set attributes on it through BUILD); a
// function comes as a fresh callable around it, for the same reason.
nb::object admitted_object(std::string_view module, std::string_view name) {
    if (!is_admitted(module, name)) refuse(module, name);
    if (module == "builtins" && name == "getattr") return guarded_getattr_function();
    nb::object found = nb::module_::import_(std::string(module).c_str());
    for (std::size_t start = 0; start <= name.size();) {
        std::size_t end = name.find('.', start);
        if (end == std::string_view::npos) end = name.size();
        found = nb::getattr(found, nb::str(name.data() + start, end - start));
        start = end + 1;
    }
    if (module.ends_with(".multiarray") && name == "scalar") return numpy_scalar(found);
    if (PyType_Check(found.ptr())) {
        unsigned long flags = PyType_GetFlags(reinterpret_cast<PyTypeObject *>(found.ptr()));
        if ((flags & Py_TPFLAGS_HEAPTYPE) && !(flags & Py_TPFLAGS_IMMUTABLETYPE))
            refuse(module, name);
        return found;
    }
    if (!PyCallable_Check(found.ptr())) return found;
    return nb::cpp_function([found](nb::args args) { return found(*args); });
}

nb::object find_class(nb::handle, nb::str module, nb::str name) {
    return admitted_object(text_of(module), text_of(name));
}

nb::object unpickler_class() {
    static PyObject *made = [] {
        nb::dict body = nb::steal<nb::dict>(PyDict_New());
        if (!body.is_valid()) throw nb::python_error();
        define_method(body, "find_class", find_class,
                      "The object an admitted module and name stand for; UnpicklingError for any "
                      "other.");
        body["__module__"] = "corbel.dualcache";
        nb::object base = nb::module_::import_("pickle").attr("Unpickler");
        nb::object type = nb::module_::import_("builtins").attr("type");
        return type("StoredValueUnpickler", nb::make_tuple(base), body).release().ptr();
    }();
    return nb::borrow(made);
}

}  // namespace

nb::object safe_loads(std::string_view bytes) {
    nb::object data = nb::steal(
        PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
    if (!data.is_valid()) throw nb::python_error();
    nb::object file = nb::module_::import_("io").attr("BytesIO")(data);
    return unpickler_class()(file).attr("load")();
}

}  // namespace veltrax::store
