#include "cmds/quotes/bar_frames.hpp"

#include <datetime.h>
#include <nanobind/stl/string.h>

#include <cstring>
#include <optional>
#include <vector>

#include "cmds/quotes/dates.hpp"
#include "cmds/quotes/module_namespace.hpp"
#include "common/coroutine.hpp"
#include "common/pydate.hpp"
#include "common/interned.hpp"
#include "common/python.hpp"

namespace veltrax::kline {

namespace {

using namespace nb::literals;

constinit Interned pandas_name{"pd"}, strip_tz_name{"_strip_tz"};
constinit Interned dividends_column{"Dividends"}, splits_column{"Stock Splits"};

void ensure_datetime_api() {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) throw nb::python_error();
    }
}

// Values that pandas' dataclass-to-dict step would copy unchanged in meaning.
bool is_plain_scalar(PyObject *value) {
    return value == Py_None || PyFloat_CheckExact(value) || PyLong_CheckExact(value) ||
           PyBool_Check(value) || PyUnicode_CheckExact(value) || PyDate_CheckExact(value) ||
           PyDateTime_CheckExact(value);
}

// A new numpy array of `size` items of `dtype`, and its memory to fill.
template <typename T>
std::pair<nb::object, T *> numpy_array(const char *dtype, Py_ssize_t size) {
    nb::object array = nb::module_::import_("numpy").attr("empty")(size, dtype);
    Py_buffer view;
    if (PyObject_GetBuffer(array.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0)
        throw nb::python_error();
    T *memory = static_cast<T *>(view.buf);
    PyBuffer_Release(&view);  // the array itself keeps the memory
    return {array, memory};
}

// The column pandas would infer from these values, built from their memory
// where the values are all of one kind: floats, 64-bit integers, or datetimes
// of one zone (or none). Anything else stays a list for pandas to read.
nb::object typed_column(nb::list values) {
    Py_ssize_t size = nb::len(values);
    PyObject *first = PyList_GET_ITEM(values.ptr(), 0);
    auto all = [&](auto &&test) {
        for (Py_ssize_t i = 0; i < size; ++i)
            if (!test(PyList_GET_ITEM(values.ptr(), i))) return false;
        return true;
    };
    if (all([](PyObject *v) { return PyFloat_CheckExact(v); })) {
        auto [array, memory] = numpy_array<double>("float64", size);
        for (Py_ssize_t i = 0; i < size; ++i) memory[i] = PyFloat_AS_DOUBLE(PyList_GET_ITEM(values.ptr(), i));
        return array;
    }
    if (all([](PyObject *v) { return PyLong_CheckExact(v); })) {
        auto [array, memory] = numpy_array<long long>("int64", size);
        for (Py_ssize_t i = 0; i < size; ++i) {
            int overflow = 0;
            memory[i] = PyLong_AsLongLongAndOverflow(PyList_GET_ITEM(values.ptr(), i), &overflow);
            if (overflow) return values;
        }
        return array;
    }
    if (!PyDateTime_CheckExact(first)) return values;
    PyObject *zone = PyDateTime_DATE_GET_TZINFO(first);
    if (!all([&](PyObject *v) { return PyDateTime_CheckExact(v) && PyDateTime_DATE_GET_TZINFO(v) == zone; }))
        return values;
    auto [micros, memory] = numpy_array<long long>("int64", size);
    auto [first_occurrence, flags] = numpy_array<bool>("bool", size);
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject *value = PyList_GET_ITEM(values.ptr(), i);
        memory[i] = wall_clock_micros(value);
        flags[i] = PyDateTime_DATE_GET_FOLD(value) == 0;
    }
    nb::object wall_clock = globals.get(pandas_name).attr("DatetimeIndex")(micros.attr("view")("datetime64[us]"));
    if (zone == Py_None) return wall_clock;
    // Ambiguous wall times resolve by each value's fold, as its utcoffset() does;
    // a wall time the zone skips raises, and pandas reads the values itself.
    using namespace nb::literals;
    try {
        return wall_clock.attr("tz_localize")(nb::handle(zone), "ambiguous"_a = first_occurrence);
    } catch (nb::python_error &failure) {
        if (!is_ordinary(failure)) throw;
        return values;
    }
}

// DataFrame(list of dataclass instances) builds a dict per row (a deep copy of
// every field, per row, in Python); reading the fields column by column gives
// pandas the same columns at a fraction of the cost. Anything unusual (mixed
// types of rows, nested values) is left to pandas itself.
std::optional<nb::dict> dataclass_columns(nb::handle bars) {
    if (!PyList_Check(bars.ptr()) || PyList_GET_SIZE(bars.ptr()) == 0) return std::nullopt;
    Py_ssize_t rows = PyList_GET_SIZE(bars.ptr());
    PyTypeObject *row_type = Py_TYPE(PyList_GET_ITEM(bars.ptr(), 0));
    nb::handle cls(reinterpret_cast<PyObject *>(row_type));
    if (!nb::hasattr(cls, "__dataclass_fields__")) return std::nullopt;
    ensure_datetime_api();
    GcPause no_collections;

    std::vector<nb::object> names;
    for (nb::handle field : nb::module_::import_("dataclasses").attr("fields")(cls))
        names.push_back(field.attr("name"));
    std::vector<nb::list> columns;
    for (std::size_t i = 0; i < names.size(); ++i) columns.push_back(new_list(rows));

    for (Py_ssize_t row = 0; row < rows; ++row) {
        PyObject *bar = PyList_GET_ITEM(bars.ptr(), row);
        if (Py_TYPE(bar) != row_type) return std::nullopt;
        for (std::size_t i = 0; i < names.size(); ++i) {
            PyObject *value = PyObject_GetAttr(bar, names[i].ptr());
            if (!value) throw nb::python_error();
            if (!is_plain_scalar(value)) {
                Py_DECREF(value);
                return std::nullopt;
            }
            PyList_SET_ITEM(columns[i].ptr(), row, value);
        }
    }
    nb::dict by_name = new_dict();
    for (std::size_t i = 0; i < names.size(); ++i) by_name[names[i]] = typed_column(columns[i]);
    return by_name;
}

// A read-only view of a one-dimensional numpy array's memory.
class ArrayView {
public:
    explicit ArrayView(nb::handle array) {
        if (PyObject_GetBuffer(array.ptr(), &view_, PyBUF_RECORDS_RO) != 0) {
            PyErr_Clear();
            return;
        }
        valid_ = view_.ndim == 1;
    }
    ~ArrayView() {
        if (view_.obj) PyBuffer_Release(&view_);
    }
    ArrayView(const ArrayView &) = delete;

    bool holds(char kind, Py_ssize_t itemsize) const {
        if (!valid_ || view_.itemsize != itemsize || !view_.format) return false;
        const char *format = view_.format;
        if (*format == '<' || *format == '=' || *format == '@') ++format;
        if (std::strlen(format) != 1) return false;
        switch (kind) {
            case 'f': return *format == 'd';
            case 'i': return *format == 'l' || *format == 'q';
            case 'b': return *format == '?';
        }
        return false;
    }
    Py_ssize_t size() const { return view_.shape[0]; }
    template <typename T>
    T at(Py_ssize_t i) const {
        T value;
        std::memcpy(&value, static_cast<const char *>(view_.buf) + i * view_.strides[0], sizeof value);
        return value;
    }

private:
    Py_buffer view_{};
    bool valid_ = false;
};

nb::object box(char kind, const ArrayView &data, Py_ssize_t i) {
    PyObject *value = kind == 'f'   ? PyFloat_FromDouble(data.at<double>(i))
                      : kind == 'i' ? PyLong_FromLongLong(data.at<long long>(i))
                                    : Py_NewRef(data.at<bool>(i) ? Py_True : Py_False);
    if (!value) throw nb::python_error();
    return nb::steal(value);
}

// What to_dict(orient="records") makes of a value of an object or extension
// column: numpy numbers as the Python numbers they hold, numpy datetimes and
// durations as pandas Timestamps and Timedeltas, NA as None, anything else as
// it is. The types are numpy's and pandas' public ones; the records tests
// compare the outcome with pandas' own to_dict.
class NativeValues {
public:
    NativeValues() {
        nb::module_ numpy = nb::module_::import_("numpy");
        nb::object pandas = globals.get(pandas_name);
        floating_ = numpy.attr("floating");
        integer_ = numpy.attr("integer");
        boolean_ = numpy.attr("bool_");
        datetime_ = numpy.attr("datetime64");
        duration_ = numpy.attr("timedelta64");
        missing_ = pandas.attr("NA");
        timestamp_ = pandas.attr("Timestamp");
        timedelta_ = pandas.attr("Timedelta");
        ensure_datetime_api();
    }

    // Native already: nothing to convert.
    static bool native(PyObject *value) {
        return value == Py_None || PyFloat_CheckExact(value) || PyLong_CheckExact(value) || PyBool_Check(value) ||
               PyUnicode_CheckExact(value) || PyDate_Check(value);
    }

    nb::object operator()(PyObject *value) const {
        if (native(value)) return nb::borrow(value);
        if (value == missing_.ptr()) return nb::none();
        if (PyFloat_Check(value) || is(value, floating_)) return checked(PyNumber_Float(value));
        if ((PyLong_Check(value) || is(value, integer_)) && !is(value, duration_))
            return checked(PyNumber_Long(value));
        if (is(value, boolean_)) return nb::bool_(truthy(value));
        if (is(value, datetime_)) return timestamp_(nb::handle(value));
        if (is(value, duration_)) return timedelta_(nb::handle(value));
        return nb::borrow(value);
    }

private:
    static bool is(PyObject *value, const nb::object &type) {
        int result = PyObject_IsInstance(value, type.ptr());
        if (result < 0) throw nb::python_error();
        return result == 1;
    }
    static nb::object checked(PyObject *value) {
        if (!value) throw nb::python_error();
        return nb::steal(value);
    }

    nb::object floating_, integer_, boolean_, datetime_, duration_, missing_, timestamp_, timedelta_;
};

// The record values of one column, as to_dict(orient="records") gives them:
// the column's element iterator, boxed to native Python values where pandas
// boxes them (object and extension columns). Common column kinds are read from
// their memory; everything else goes through pandas' public API.
class ColumnValues {
public:
    explicit ColumnValues(nb::handle column) {
        nb::object dtype = column.attr("dtype");
        nb::object pandas = globals.get(pandas_name);
        bool extension = nb::isinstance(dtype, pandas.attr("api").attr("extensions").attr("ExtensionDtype"));
        std::string kind = extension ? "" : nb::cast<std::string>(dtype.attr("kind"));
        if (kind == "M") {
            // Boxed to Timestamps in one pass, as the column's own iterator boxes them.
            values_ = nb::list(column.attr("array").attr("astype")("object"));
            return;
        }
        if (!extension && kind != "O" && read_numpy(column.attr("to_numpy")(), kind.at(0))) return;
        if (extension && read_masked(column, dtype)) return;
        values_ = nb::list(column);
        if (extension || kind == "O") {
            NativeValues native;
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values_.ptr()); ++i) {
                PyObject *value = PyList_GET_ITEM(values_.ptr(), i);
                if (!NativeValues::native(value)) values_[i] = native(value);
            }
        }
    }

    PyObject *at(Py_ssize_t row) const { return PyList_GET_ITEM(values_.ptr(), row); }

private:
    bool read_numpy(nb::handle array, char kind) {
        char wanted = kind == 'f' ? 'f' : kind == 'i' ? 'i' : kind == 'b' ? 'b' : 0;
        if (!wanted) return false;
        ArrayView data(array);
        if (!data.holds(wanted, wanted == 'b' ? 1 : 8)) return false;
        values_ = new_list(data.size());
        for (Py_ssize_t i = 0; i < data.size(); ++i) PyList_SET_ITEM(values_.ptr(), i, box(wanted, data, i).release().ptr());
        return true;
    }

    // Float64, Int64 and boolean columns: their values (missing ones filled)
    // and which are missing, both as numpy arrays through the public API.
    bool read_masked(nb::handle column, nb::handle dtype) {
        using namespace nb::literals;
        std::string name = nb::cast<std::string>(nb::str(dtype));
        char kind = name == "Float64" ? 'f' : name == "Int64" ? 'i' : name == "boolean" ? 'b' : 0;
        if (!kind) return false;
        const char *numpy_type = kind == 'f' ? "float64" : kind == 'i' ? "int64" : "bool";
        nb::object filled = column.attr("to_numpy")("dtype"_a = numpy_type, "na_value"_a = kind == 'b' ? nb::object(nb::bool_(false)) : nb::object(nb::int_(0)));
        nb::object missing = column.attr("isna")().attr("to_numpy")();
        ArrayView data(filled), mask(missing);
        if (!data.holds(kind, kind == 'b' ? 1 : 8) || !mask.holds('b', 1) || mask.size() != data.size())
            return false;
        values_ = new_list(data.size());
        for (Py_ssize_t i = 0; i < data.size(); ++i) {
            nb::object value = mask.at<bool>(i) ? nb::none() : box(kind, data, i);
            PyList_SET_ITEM(values_.ptr(), i, value.release().ptr());
        }
        return true;
    }

    nb::list values_;
};

}  // namespace

nb::object bar_table(nb::handle bars) {
    nb::object pandas = globals.get(pandas_name);
    std::optional<nb::dict> columns = dataclass_columns(bars);
    nb::object table = columns ? pandas.attr("DataFrame")(*columns) : pandas.attr("DataFrame")(bars);
    return globals.get(strip_tz_name)(table.attr("convert_dtypes")());
}

nb::list records_of(nb::handle table) {
    GcPause no_collections;
    nb::list labels = nb::borrow<nb::list>(table.attr("columns").attr("tolist")());
    nb::object by_position = table.attr("iloc");
    std::vector<ColumnValues> columns;
    for (std::size_t k = 0; k < nb::len(labels); ++k)
        columns.emplace_back(by_position[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), k)]);
    Py_ssize_t rows = nb::len(table);
    nb::list records = new_list(rows);
    for (Py_ssize_t row = 0; row < rows; ++row) {
        nb::dict record = new_dict();
        for (std::size_t k = 0; k < columns.size(); ++k)
            if (PyDict_SetItem(record.ptr(), labels[k].ptr(), columns[k].at(row)) != 0)
                throw nb::python_error();
        PyList_SET_ITEM(records.ptr(), row, record.release().ptr());
    }
    return records;
}

nb::object strip_tz(nb::object table) {
    try {
        table["date"] = table["date"].attr("dt").attr("tz_localize")(nb::none());
    } catch (nb::python_error &failure) {
        if (!is_ordinary(failure)) throw;
    }
    return table;
}

nb::object normalize_yfinance_df(nb::handle hist) {
    nb::object table = hist.attr("reset_index")();
    nb::object first = nb::str(table.attr("columns")[0]);
    nb::dict renames = new_dict();
    renames[first] = "date";
    renames["Open"] = "open";
    renames["High"] = "high";
    renames["Low"] = "low";
    renames["Close"] = "close";
    renames["Volume"] = "volume";
    table = table.attr("rename")("columns"_a = renames);
    for (const Interned *dropped : {&dividends_column, &splits_column}) {
        if (contains(table.attr("columns"), *dropped)) {
            nb::list names = new_list();
            names.append(dropped->get());
            table = table.attr("drop")("columns"_a = names);
        }
    }
    table["average"] = table["close"].attr("astype")(nb::module_::import_("builtins").attr("float"));
    table["barCount"] = 1;
    try {
        table["date"] = table["date"].attr("dt").attr("tz_localize")(nb::none());
    } catch (nb::python_error &failure) {
        if (!failure.matches(PyExc_AttributeError) && !failure.matches(PyExc_TypeError)) throw;
    }
    return table.attr("convert_dtypes")();
}

}  // namespace veltrax::kline

namespace veltrax::kline {

void define_frame_functions(nb::module_ &module) {
    module.def("_strip_tz", &strip_tz, nb::arg("df"),
               "Remove the time zone of the date column in place (wall-clock time kept).");
    module.def("_normalize_yfinance_df", &normalize_yfinance_df, nb::arg("hist"),
               "Convert yfinance OHLCV DataFrame to unified bar format matching IBKR Bar schema.");
}

}  // namespace veltrax::kline
