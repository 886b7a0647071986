#include "dualcache/codec_support.hpp"

#include <unordered_set>

#include "common/pydate.hpp"
#include "dualcache/bytes_io.hpp"
#include "dualcache/datetime_api.hpp"

namespace veltrax::store::codec {

nb::object owned(PyObject *object) {
    if (!object) throw nb::python_error();
    return nb::steal(object);
}

namespace {

// A reference kept for the life of the interpreter.
PyObject *leaked(nb::object object) { return object.release().ptr(); }

PyObject *interned(const char *text) { return leaked(owned(PyUnicode_InternFromString(text))); }

Pandas pandas_found;

constexpr std::size_t gc_header = 2 * sizeof(void *);

}  // namespace

const Python &python() {
    static const Python found = [] {
        load_datetime_api();
        nb::module_ pickle = nb::module_::import_("pickle");
        return Python{leaked(pickle.attr("dumps")), leaked(owned(PyLong_FromLong(5))),
                      interned("unit"),          interned("nanosecond"),
                      interned("year"),          interned("__sizeof__")};
    }();
    return found;
}

const Pandas *pandas_if_loaded() {
    if (pandas_found.na) return &pandas_found;
    PyObject *module = PyDict_GetItemString(PyImport_GetModuleDict(), "pandas");
    if (!module) return nullptr;
    PyObject *na = PyObject_GetAttrString(module, "NA");
    PyObject *timestamp = PyObject_GetAttrString(module, "Timestamp");
    if (!na || !timestamp) {  // pandas is still being imported
        PyErr_Clear();
        Py_XDECREF(na);
        Py_XDECREF(timestamp);
        return nullptr;
    }
    pandas_found.na = na;
    pandas_found.timestamp = timestamp;
    return &pandas_found;
}

const Pandas &pandas_for_reading() {
    if (!pandas_if_loaded()) nb::module_::import_("pandas");
    if (!pandas_if_loaded()) throw FormatError("pandas did not load");
    if (!pandas_found.datetime_index) {
        nb::module_ numpy = nb::module_::import_("numpy");
        const char *names[4] = {"<M8[s]", "<M8[ms]", "<M8[us]", "<M8[ns]"};
        for (int unit = 0; unit < 4; ++unit)
            pandas_found.dtypes[unit] = leaked(numpy.attr("dtype")(names[unit]));
        pandas_found.frombuffer = leaked(numpy.attr("frombuffer"));
        pandas_found.datetime_index = leaked(nb::module_::import_("pandas").attr("DatetimeIndex"));
    }
    return pandas_found;
}

std::chrono::year_month_day civil_from_days(std::int64_t days) {
    using namespace std::chrono;
    return year_month_day(sys_days(std::chrono::days(days)));
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

std::optional<std::string_view> utf8_of(PyObject *text) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) {  // lone surrogates
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

bool is_naive(PyObject *value) {
    return PyDateTime_DATE_GET_TZINFO(value) == Py_None && PyDateTime_DATE_GET_FOLD(value) == 0;
}

bool is_timestamp(const Pandas *pandas, PyObject *value) {
    return pandas && Py_TYPE(value) == reinterpret_cast<PyTypeObject *>(pandas->timestamp);
}

std::optional<TimeUnit> unit_of(PyObject *timestamp) {
    nb::object unit = nb::steal(PyObject_GetAttr(timestamp, python().unit_name));
    if (!unit.is_valid() || !PyUnicode_Check(unit.ptr())) {
        PyErr_Clear();
        return std::nullopt;
    }
    const char *names[4] = {"s", "ms", "us", "ns"};
    for (int i = 0; i < 4; ++i)
        if (PyUnicode_CompareWithASCIIString(unit.ptr(), names[i]) == 0)
            return static_cast<TimeUnit>(i);
    return std::nullopt;
}

// The value of a naive Timestamp in its own unit, as pandas keeps it. Its
// datetime fields hold it only for years 1 to 9999 (pandas puts a stand-in year
// there for the others, which are then pickled).
std::optional<std::int64_t> timestamp_value(PyObject *timestamp, TimeUnit unit) {
    nb::object year = nb::steal(PyObject_GetAttr(timestamp, python().year_name));
    if (!year.is_valid() || PyLong_AsLong(year.ptr()) != PyDateTime_GET_YEAR(timestamp)) {
        PyErr_Clear();
        return std::nullopt;
    }
    std::int64_t micros = wall_clock_micros(timestamp);
    switch (unit) {
        case TimeUnit::s:
            if (micros % 1'000'000) return std::nullopt;
            return micros / 1'000'000;
        case TimeUnit::ms:
            if (micros % 1'000) return std::nullopt;
            return micros / 1'000;
        case TimeUnit::us: return micros;
        case TimeUnit::ns: {
            nb::object nanos = nb::steal(PyObject_GetAttr(timestamp, python().nanosecond_name));
            long extra = nanos.is_valid() ? PyLong_AsLong(nanos.ptr()) : -1;
            std::int64_t value;
            if (extra < 0 || extra > 999 || __builtin_mul_overflow(micros, 1000, &value) ||
                __builtin_add_overflow(value, extra, &value)) {
                PyErr_Clear();
                return std::nullopt;
            }
            return value;
        }
    }
    return std::nullopt;
}

// ---- memory

namespace {

// sys.getsizeof: the object's __sizeof__ and, for a collected type, its GC header.
std::size_t size_reported(PyObject *object) {
    PyObject *size = PyObject_CallMethodNoArgs(object, python().sizeof_name);
    std::size_t bytes = size ? PyLong_AsSize_t(size) : 0;
    Py_XDECREF(size);
    if (PyErr_Occurred()) {  // an object that cannot say: count its type's fixed part
        PyErr_Clear();
        bytes = static_cast<std::size_t>(Py_TYPE(object)->tp_basicsize);
    }
    return bytes + (PyObject_IS_GC(object) ? gc_header : 0);
}

// Fixed-size types met in bar lists, measured once each.
std::size_t fixed_size(PyObject *object, std::size_t &known) {
    if (!known) known = allocated(size_reported(object));
    return known;
}

bool shared(PyObject *object) {
    if (object == Py_None || object == Py_True || object == Py_False) return true;
    const Pandas *pandas = pandas_if_loaded();
    return pandas && object == pandas->na;
}

}  // namespace

std::size_t list_bytes(std::size_t items) {
    return allocated(PyList_Type.tp_basicsize + gc_header) + (items ? allocated(items * sizeof(PyObject *)) : 0);
}

std::size_t dict_bytes(PyObject *dict) {
    std::size_t object = static_cast<std::size_t>(PyDict_Type.tp_basicsize);
    std::size_t reported = size_reported(dict) - gc_header;
    return allocated(object + gc_header) + (reported > object ? allocated(reported - object) : 0);
}

std::size_t object_bytes(PyObject *object) {
    if (PyFloat_CheckExact(object)) return allocated(sizeof(PyFloatObject));
    if (PyLong_CheckExact(object)) {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
        if (overflow) return allocated(size_reported(object));
        if (value >= -5 && value <= 256) return 0;  // CPython's cached small ints
        unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                                 : static_cast<unsigned long long>(value);
        std::size_t digits = (64 - __builtin_clzll(magnitude) + PyLong_SHIFT - 1) / PyLong_SHIFT;
        return allocated(PyLong_Type.tp_basicsize + digits * PyLong_Type.tp_itemsize);
    }
    if (PyUnicode_CheckExact(object)) {
        std::size_t length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(object));
        if (PyUnicode_IS_COMPACT_ASCII(object)) return allocated(sizeof(PyASCIIObject) + length + 1);
        return allocated(size_reported(object));
    }
    if (shared(object)) return 0;
    static std::size_t date_size = 0, datetime_size = 0, timestamp_size = 0;
    if (PyDate_CheckExact(object)) return fixed_size(object, date_size);
    if (PyDateTime_CheckExact(object)) return fixed_size(object, datetime_size);
    if (is_timestamp(pandas_if_loaded(), object)) return fixed_size(object, timestamp_size);
    return allocated(size_reported(object));
}

namespace {

// Each container is followed once: a value that holds one list in many places
// (or holds itself) takes that list's memory once, and measuring it takes as
// long as the value has objects, not as long as it has paths to them.
class Measure {
public:
    std::size_t of(PyObject *value, int depth) {
        bool list = PyList_Check(value), tuple = PyTuple_Check(value), dict = PyDict_Check(value);
        if ((!list && !tuple && !dict) || depth >= max_depth) return object_bytes(value);
        if (!seen_.insert(value).second) return 0;
        std::size_t bytes = 0;
        if (dict) {
            bytes = dict_bytes(value);
            Py_ssize_t position = 0;
            PyObject *key, *item;
            while (PyDict_Next(value, &position, &key, &item))
                bytes += of(key, depth + 1) + of(item, depth + 1);
            return bytes;
        }
        bytes = list ? list_bytes(static_cast<std::size_t>(PyList_GET_SIZE(value)))
                     : allocated(size_reported(value));
        Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
        for (Py_ssize_t i = 0; i < size; ++i)
            bytes += of(PySequence_Fast_GET_ITEM(value, i), depth + 1);
        return bytes;
    }

private:
    std::unordered_set<PyObject *> seen_;
};

}  // namespace

std::size_t value_bytes(PyObject *value) { return Measure().of(value, 0); }

}  // namespace veltrax::store::codec
