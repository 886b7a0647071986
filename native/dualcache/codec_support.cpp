#include "dualcache/codec_support.hpp"

#include "dualcache/datetime_api.hpp"
#include "common/pydate.hpp"
#include "dualcache/bytes_io.hpp"

namespace veltrax::store::codec {

nb::object owned(PyObject *object) {
    if (!object) throw nb::python_error();
    return nb::steal(object);
}

PyObject *leaked(nb::object object) { return object.release().ptr(); }

const Python &python() {
    static const Python found = [] {
        nb::module_ pickle = nb::module_::import_("pickle");
        return Python{leaked(pickle.attr("dumps")), leaked(pickle.attr("loads")),
                      PyLong_FromLong(5), PyUnicode_InternFromString("unit"),
                      PyUnicode_InternFromString("nanosecond"), PyUnicode_InternFromString("year")};
    }();
    return found;
}

namespace {

Pandas pandas_found;

std::size_t cell_bytes(ColumnKind kind) {
    switch (kind) {
        case ColumnKind::int64: return 32;
        case ColumnKind::float64: return 24;
        case ColumnKind::date: return 32;
        case ColumnKind::datetime: return 48;
        case ColumnKind::timestamp: return 112;
        case ColumnKind::str: return 56;
        default: return 0;
    }
}

}  // namespace

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

// A column's memory beyond its cells' fixed sizes: text lengths, pickled objects.
std::size_t column_bytes(ColumnKind kind, std::size_t rows, std::size_t data_size) {
    if (kind == ColumnKind::str || kind == ColumnKind::pickle) return rows * 56 + 2 * data_size;
    return rows * cell_bytes(kind);
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

}  // namespace veltrax::store::codec
