#include "dualcache/codec.hpp"

#include <datetime.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <vector>

#include "common/pydate.hpp"
#include "common/python.hpp"
#include "dualcache/frame.hpp"
#include "dualcache/layout.hpp"

namespace veltrax::store {

namespace nb = nanobind;

namespace {

// Deeper nesting is pickled whole.
constexpr int max_depth = 32;
constexpr std::int64_t micros_per_day = 86'400'000'000;

nb::object owned(PyObject *object) {
    if (!object) throw nb::python_error();
    return nb::steal(object);
}

// A reference kept for the life of the interpreter.
PyObject *leaked(nb::object object) { return object.release().ptr(); }

// The Python objects the codec needs, looked up once and kept for the life of
// the interpreter.
struct Python {
    PyObject *dumps;
    PyObject *loads;
    PyObject *protocol;
    PyObject *unit_name;
    PyObject *nanosecond_name;
    PyObject *year_name;
};

const Python &python() {
    static const Python found = [] {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) throw nb::python_error();
        nb::module_ pickle = nb::module_::import_("pickle");
        return Python{leaked(pickle.attr("dumps")), leaked(pickle.attr("loads")),
                      PyLong_FromLong(5), PyUnicode_InternFromString("unit"),
                      PyUnicode_InternFromString("nanosecond"), PyUnicode_InternFromString("year")};
    }();
    return found;
}

// pandas' NA and Timestamp. A value can only be one of them once pandas is
// loaded, so storing never imports pandas; reading a column of timestamps does.
struct Pandas {
    PyObject *na = nullptr;
    PyObject *timestamp = nullptr;
    PyObject *datetime_index = nullptr;
    PyObject *frombuffer = nullptr;
    PyObject *dtypes[4] = {};  // datetime64 in each TimeUnit
};

Pandas pandas_found;

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

// Rough sizes of the Python objects a value becomes, for the memory level's bound.
constexpr std::size_t dict_bytes(std::size_t items) { return 64 + 26 * items; }
constexpr std::size_t list_bytes(std::size_t items) { return 56 + 8 * items; }

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

// ---------------------------------------------------------------- encoding

// One column of a bar list, typed by its first value that is not None or pd.NA.
struct ColumnOut {
    ColumnKind kind = ColumnKind::empty;
    TimeUnit unit = TimeUnit::us;
    std::string mask;
    bool masked = false;
    ByteWriter data;
};

class ColumnEncoder {
public:
    ColumnEncoder(const Pandas *pandas, std::size_t rows) : pandas_(pandas), rows_(rows) {}

    // False when the column holds values of mixed or other kinds: it is pickled.
    bool encode(PyObject *const *cells, std::size_t stride, ColumnOut &out) {
        out.mask.assign(rows_, static_cast<char>(Cell::value));
        bool typed = false;
        for (std::size_t row = 0; row < rows_; ++row) {
            PyObject *cell = cells[row * stride];
            Cell special = cell == Py_None                        ? Cell::none
                           : pandas_ && cell == pandas_->na ? Cell::na
                                                                  : Cell::value;
            if (special != Cell::value) {
                out.mask[row] = static_cast<char>(special);
                out.masked = true;
                if (typed) pad(out, 1);
                continue;
            }
            if (!typed) {
                if (!kind_of(cell, out)) return false;
                typed = true;
                pad(out, row);
            }
            if (!write(cell, out)) return false;
        }
        if (!typed) out.kind = ColumnKind::empty;
        return true;
    }

private:
    bool kind_of(PyObject *cell, ColumnOut &out) const {
        if (PyBool_Check(cell)) out.kind = ColumnKind::boolean;
        else if (PyLong_CheckExact(cell)) out.kind = ColumnKind::int64;
        else if (PyFloat_CheckExact(cell)) out.kind = ColumnKind::float64;
        else if (PyUnicode_CheckExact(cell)) out.kind = ColumnKind::str;
        else if (PyDateTime_CheckExact(cell)) out.kind = ColumnKind::datetime;
        else if (PyDate_CheckExact(cell)) out.kind = ColumnKind::date;
        else if (pandas_ && Py_TYPE(cell) == reinterpret_cast<PyTypeObject *>(pandas_->timestamp)) {
            std::optional<TimeUnit> unit = unit_of(cell);
            if (!unit) return false;
            out.kind = ColumnKind::timestamp;
            out.unit = *unit;
        } else {
            return false;
        }
        return true;
    }

    // Placeholders for masked rows, so every row has its slot.
    static void pad(ColumnOut &out, std::size_t rows) {
        std::size_t width = out.kind == ColumnKind::boolean ? 1
                            : out.kind == ColumnKind::date  ? 4
                            : out.kind == ColumnKind::str   ? 1
                                                            : 8;
        std::memset(out.data.grow(rows * width), 0, rows * width);
    }

    bool write(PyObject *cell, ColumnOut &out) const {
        switch (out.kind) {
            case ColumnKind::boolean:
                if (!PyBool_Check(cell)) return false;
                out.data.u8(cell == Py_True);
                return true;
            case ColumnKind::int64: {
                if (!PyLong_CheckExact(cell)) return false;
                int overflow = 0;
                long long value = PyLong_AsLongLongAndOverflow(cell, &overflow);
                if (overflow) return false;
                out.data.fixed<std::int64_t>(value);
                return true;
            }
            case ColumnKind::float64:
                if (!PyFloat_CheckExact(cell)) return false;
                out.data.fixed<double>(PyFloat_AS_DOUBLE(cell));
                return true;
            case ColumnKind::str: {
                if (!PyUnicode_CheckExact(cell)) return false;
                std::optional<std::string_view> text = utf8_of(cell);
                if (!text) return false;
                out.data.text(*text);
                return true;
            }
            case ColumnKind::datetime:
                if (!PyDateTime_CheckExact(cell) || !is_naive(cell)) return false;
                out.data.fixed<std::int64_t>(wall_clock_micros(cell));
                return true;
            case ColumnKind::date:
                if (!PyDate_CheckExact(cell)) return false;
                out.data.fixed<std::int32_t>(static_cast<std::int32_t>(days_since_epoch(
                    PyDateTime_GET_YEAR(cell), PyDateTime_GET_MONTH(cell),
                    PyDateTime_GET_DAY(cell))));
                return true;
            case ColumnKind::timestamp: {
                if (Py_TYPE(cell) != reinterpret_cast<PyTypeObject *>(pandas_->timestamp) ||
                    !is_naive(cell) || unit_of(cell) != out.unit)
                    return false;
                std::optional<std::int64_t> value = timestamp_value(cell, out.unit);
                if (!value) return false;
                out.data.fixed<std::int64_t>(*value);
                return true;
            }
            default: return false;
        }
    }

    const Pandas *pandas_;
    std::size_t rows_;
};

class Encoder {
public:
    explicit Encoder(ByteWriter &out) : out_(out), pandas_(pandas_if_loaded()) {}

    void value(PyObject *value, int depth) {
        if (value == Py_None) return tag(Tag::none, 0);
        if (value == Py_True) return tag(Tag::true_, 0);
        if (value == Py_False) return tag(Tag::false_, 0);
        if (pandas_ && value == pandas_->na) return tag(Tag::na, 0);
        if (PyLong_CheckExact(value)) {
            int overflow = 0;
            long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
            if (!overflow) {
                tag(Tag::int64, 32);
                return out_.fixed<std::int64_t>(number);
            }
        } else if (PyFloat_CheckExact(value)) {
            tag(Tag::float64, 24);
            return out_.fixed<double>(PyFloat_AS_DOUBLE(value));
        } else if (PyUnicode_CheckExact(value)) {
            if (std::optional<std::string_view> text = utf8_of(value)) {
                tag(Tag::str, 56 + text->size());
                return out_.text(*text);
            }
        } else if (PyDict_CheckExact(value) && depth < max_depth) {
            if (dict(value, depth)) return;
        } else if (PyList_CheckExact(value)) {
            if (records(value)) return;
        }
        pickled(value);
    }

    std::size_t memory_bytes() const { return memory_; }

private:
    void tag(Tag tag, std::size_t bytes) {
        out_.u8(static_cast<std::uint8_t>(tag));
        memory_ += bytes;
    }

    void pickled(PyObject *value) {
        nb::object bytes = owned(
            PyObject_CallFunctionObjArgs(python().dumps, value, python().protocol, nullptr));
        char *data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(bytes.ptr(), &data, &size) != 0) throw nb::python_error();
        tag(Tag::pickle, 64 + 2 * static_cast<std::size_t>(size));
        out_.text({data, static_cast<std::size_t>(size)});
    }

    // An exact dict with text keys; its items are taken first so that code run
    // while a value is pickled cannot change what is being written.
    bool dict(PyObject *value, int depth) {
        nb::object items = owned(PyDict_Items(value));
        Py_ssize_t size = PyList_GET_SIZE(items.ptr());
        std::vector<std::string_view> keys;
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyObject *key = PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), i), 0);
            std::optional<std::string_view> text;
            if (PyUnicode_CheckExact(key)) text = utf8_of(key);
            if (!text) return false;
            keys.push_back(*text);
        }
        tag(Tag::dict, dict_bytes(keys.size()));
        out_.varint(keys.size());
        for (Py_ssize_t i = 0; i < size; ++i) {
            out_.text(keys[i]);
            this->value(PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), i), 1), depth + 1);
        }
        return true;
    }

    // A list of exact dicts that share one key order: written column by column.
    bool records(PyObject *list) {
        std::size_t rows = static_cast<std::size_t>(PyList_GET_SIZE(list));
        std::vector<nb::object> held;  // the records, whatever happens to the list meanwhile
        held.reserve(rows);
        for (std::size_t row = 0; row < rows; ++row)
            held.push_back(nb::borrow(PyList_GET_ITEM(list, row)));

        std::vector<nb::object> names;
        std::vector<std::string_view> name_texts;
        if (rows) {
            PyObject *first = held[0].ptr();
            if (!PyDict_CheckExact(first)) return false;
            Py_ssize_t position = 0;
            PyObject *key, *cell;
            while (PyDict_Next(first, &position, &key, &cell)) {
                std::optional<std::string_view> text;
                if (PyUnicode_CheckExact(key)) text = utf8_of(key);
                if (!text) return false;
                names.push_back(nb::borrow(key));
                name_texts.push_back(*text);
            }
        }
        std::size_t columns = names.size();
        std::vector<PyObject *> cells(rows * columns);
        for (std::size_t row = 0; row < rows; ++row) {
            PyObject *record = held[row].ptr();
            if (!PyDict_CheckExact(record) ||
                static_cast<std::size_t>(PyDict_GET_SIZE(record)) != columns)
                return false;
            Py_ssize_t position = 0;
            PyObject *key, *cell;
            for (std::size_t column = 0; PyDict_Next(record, &position, &key, &cell); ++column) {
                PyObject *name = names[column].ptr();
                if (key != name && !(PyUnicode_CheckExact(key) && PyUnicode_Compare(key, name) == 0))
                    return false;
                cells[row * columns + column] = cell;
            }
        }

        // Typed columns first; those that need pickling hold their values until
        // the cells are no longer looked at, since pickling runs Python code.
        std::vector<ColumnOut> out(columns);
        std::vector<nb::object> to_pickle(columns);
        ColumnEncoder encoder(pandas_, rows);
        for (std::size_t column = 0; column < columns; ++column) {
            if (encoder.encode(cells.data() + column, columns, out[column])) continue;
            out[column] = ColumnOut{};
            out[column].kind = ColumnKind::pickle;
            nb::object values = owned(PyList_New(static_cast<Py_ssize_t>(rows)));
            for (std::size_t row = 0; row < rows; ++row)
                PyList_SET_ITEM(values.ptr(), row, Py_NewRef(cells[row * columns + column]));
            to_pickle[column] = std::move(values);
        }
        cells.clear();
        for (std::size_t column = 0; column < columns; ++column) {
            if (!to_pickle[column].is_valid()) continue;
            nb::object bytes = owned(PyObject_CallFunctionObjArgs(
                python().dumps, to_pickle[column].ptr(), python().protocol, nullptr));
            out[column].data.raw({PyBytes_AS_STRING(bytes.ptr()),
                                   static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr()))});
        }

        tag(Tag::records, list_bytes(rows) + rows * dict_bytes(columns));
        out_.varint(rows);
        out_.varint(columns);
        for (std::size_t column = 0; column < columns; ++column) {
            ColumnOut &col = out[column];
            out_.text(name_texts[column]);
            out_.u8(static_cast<std::uint8_t>(col.kind));
            out_.u8(col.masked);
            if (col.masked) out_.raw(col.mask);
            if (col.kind == ColumnKind::timestamp) out_.u8(static_cast<std::uint8_t>(col.unit));
            out_.text(col.data.bytes());
            memory_ += column_bytes(col.kind, rows, col.data.size());
        }
        return true;
    }

    ByteWriter &out_;
    const Pandas *pandas_;
    std::size_t memory_ = 0;
};

// ---------------------------------------------------------------- decoding

class Decoder {
public:
    explicit Decoder(std::string_view body) : in_(body) {}

    nb::object value(int depth) {
        if (depth > max_depth) throw FormatError("nested too deeply");
        auto tag = static_cast<Tag>(in_.u8());
        switch (tag) {
            case Tag::none: return nb::none();
            case Tag::false_: return nb::bool_(false);
            case Tag::true_: return nb::bool_(true);
            case Tag::na: return nb::borrow(pandas_for_reading().na);
            case Tag::int64:
                memory_ += 32;
                return owned(PyLong_FromLongLong(in_.fixed<std::int64_t>()));
            case Tag::float64:
                memory_ += 24;
                return owned(PyFloat_FromDouble(in_.fixed<double>()));
            case Tag::str: {
                std::string_view text = in_.text();
                memory_ += 56 + text.size();
                return text_object(text);
            }
            case Tag::dict: return dict(depth);
            case Tag::records: return records();
            case Tag::pickle: {
                std::string_view bytes = in_.text();
                memory_ += 64 + 2 * bytes.size();
                return unpickled(bytes);
            }
        }
        throw FormatError("unknown value tag");
    }

    bool done() const { return in_.left() == 0; }
    std::size_t memory_bytes() const { return memory_; }

private:
    static nb::object text_object(std::string_view text) {
        PyObject *object =
            PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
        if (!object) {
            PyErr_Clear();
            throw FormatError("text that is not UTF-8");
        }
        return nb::steal(object);
    }

    // A record key, interned as Python interns the names it reads.
    static nb::object key_object(std::string_view text) {
        PyObject *key = text_object(text).release().ptr();
        PyUnicode_InternInPlace(&key);
        return nb::steal(key);
    }

    static nb::object unpickled(std::string_view bytes) {
        nb::object data = owned(
            PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
        return owned(PyObject_CallOneArg(python().loads, data.ptr()));
    }

    nb::object dict(int depth) {
        std::size_t size = in_.count(2);
        memory_ += dict_bytes(size);
        nb::object result = owned(PyDict_New());
        for (std::size_t i = 0; i < size; ++i) {
            nb::object key = text_object(in_.text());
            nb::object item = value(depth + 1);
            if (PyDict_SetItem(result.ptr(), key.ptr(), item.ptr()) != 0) throw nb::python_error();
        }
        return result;
    }

    // A column of a bar list, read back: its cells are made row by row as the
    // records are built, except those pandas or pickle make for the whole column.
    struct ColumnIn {
        ColumnKind kind;
        std::string_view mask;
        const char *data;
        ByteReader texts{{}};
        nb::object made;  // a list of the cells, for timestamps and pickled columns
    };

    nb::object records() {
        std::size_t rows = in_.count(0);
        std::size_t columns = in_.count(3);
        if (columns && rows > in_.left()) throw FormatError("more rows than bytes");
        memory_ += list_bytes(rows) + rows * dict_bytes(columns);
        std::vector<nb::object> names;
        std::vector<ColumnIn> cells;
        for (std::size_t column = 0; column < columns; ++column) {
            names.push_back(key_object(in_.text()));
            cells.push_back(this->column(rows));
        }
        nb::object shape = record_shape(names);
        if (static_cast<std::size_t>(PyDict_GET_SIZE(shape.ptr())) != columns)
            throw FormatError("a column name twice");
        nb::object list = owned(PyList_New(static_cast<Py_ssize_t>(rows)));
        for (std::size_t row = 0; row < rows; ++row) {
            PyObject *record = PyDict_Copy(shape.ptr());
            if (!record) throw nb::python_error();
            PyList_SET_ITEM(list.ptr(), row, record);
            for (std::size_t column = 0; column < columns; ++column) {
                nb::object cell = nb::steal(cell_of(cells[column], row));
                if (!cell.is_valid()) {
                    if (PyErr_Occurred()) throw nb::python_error();
                    throw FormatError("a cell out of range");
                }
                if (PyDict_SetItem(record, names[column].ptr(), cell.ptr()) != 0)
                    throw nb::python_error();
            }
        }
        return list;
    }

    // Every record starts as a copy of this dict of the names (values None):
    // the key table is laid out once and copied whole.
    static nb::object record_shape(const std::vector<nb::object> &names) {
        nb::object shape = owned(PyDict_New());
        for (const nb::object &name : names)
            if (PyDict_SetItem(shape.ptr(), name.ptr(), Py_None) != 0) throw nb::python_error();
        return shape;
    }

    ColumnIn column(std::size_t rows) {
        ColumnIn column{static_cast<ColumnKind>(in_.u8()), {}, nullptr, ByteReader({}), {}};
        std::uint8_t masked = in_.u8();
        if (masked > 1) throw FormatError("bad mask flag");
        if (masked) {
            column.mask = in_.take(rows);
            for (char cell : column.mask)
                if (static_cast<Cell>(cell) > Cell::na) throw FormatError("bad mask value");
            if (column.mask.find(static_cast<char>(Cell::na)) != std::string_view::npos)
                na_ = pandas_for_reading().na;
        }
        std::uint8_t unit = column.kind == ColumnKind::timestamp ? in_.u8() : 0;
        std::string_view data = in_.text();
        memory_ += column_bytes(column.kind, rows, data.size());
        column.data = data.data();
        std::size_t width = 0;
        switch (column.kind) {
            case ColumnKind::int64:
            case ColumnKind::float64:
            case ColumnKind::datetime: width = 8; break;
            case ColumnKind::date: width = 4; break;
            case ColumnKind::boolean: width = 1; break;
            case ColumnKind::timestamp:
                width = 8;
                if (unit > static_cast<std::uint8_t>(TimeUnit::ns))
                    throw FormatError("unknown time unit");
                if (data.size() == rows * width) column.made = timestamps(data, unit);
                break;
            case ColumnKind::str: column.texts = ByteReader(data); break;
            case ColumnKind::empty:
                if (column.mask.size() != rows ||
                    column.mask.find(static_cast<char>(Cell::value)) != std::string_view::npos)
                    throw FormatError("a value in a column without values");
                break;
            case ColumnKind::pickle:
                column.made = unpickled(data);
                if (!PyList_CheckExact(column.made.ptr()) ||
                    static_cast<std::size_t>(PyList_GET_SIZE(column.made.ptr())) != rows)
                    throw FormatError("a pickled column of the wrong length");
                break;
            default: throw FormatError("unknown column kind");
        }
        if (width && data.size() != rows * width) throw FormatError("a column of the wrong size");
        return column;
    }

    // A new reference to the cell, or null.
    PyObject *cell_of(ColumnIn &column, std::size_t row) {
        if (!column.mask.empty() && column.mask[row] != static_cast<char>(Cell::value)) {
            // A str column has an empty text in a masked row's place.
            if (column.kind == ColumnKind::str) column.texts.text();
            return Py_NewRef(static_cast<Cell>(column.mask[row]) == Cell::na ? na_ : Py_None);
        }
        switch (column.kind) {
            case ColumnKind::int64: return PyLong_FromLongLong(at<std::int64_t>(column, row));
            case ColumnKind::float64: return PyFloat_FromDouble(at<double>(column, row));
            case ColumnKind::boolean: {
                std::uint8_t value = at<std::uint8_t>(column, row);
                return value > 1 ? nullptr : Py_NewRef(value ? Py_True : Py_False);
            }
            case ColumnKind::date: {
                std::chrono::year_month_day date = civil_from_days(at<std::int32_t>(column, row));
                return PyDate_FromDate(static_cast<int>(date.year()),
                                       static_cast<int>(static_cast<unsigned>(date.month())),
                                       static_cast<int>(static_cast<unsigned>(date.day())));
            }
            case ColumnKind::datetime: {
                std::int64_t micros = at<std::int64_t>(column, row);
                std::int64_t days = floor_div(micros, micros_per_day);
                std::int64_t rest = micros - days * micros_per_day;
                std::chrono::year_month_day date = civil_from_days(days);
                std::int64_t seconds = rest / 1'000'000;
                return PyDateTime_FromDateAndTime(
                    static_cast<int>(date.year()),
                    static_cast<int>(static_cast<unsigned>(date.month())),
                    static_cast<int>(static_cast<unsigned>(date.day())),
                    static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                    static_cast<int>(seconds % 60), static_cast<int>(rest % 1'000'000));
            }
            case ColumnKind::str: return text_object(column.texts.text()).release().ptr();
            case ColumnKind::timestamp:
            case ColumnKind::pickle:
                return Py_NewRef(PyList_GET_ITEM(column.made.ptr(), row));
            default: return nullptr;
        }
    }

    template <typename Fixed>
    static Fixed at(const ColumnIn &column, std::size_t row) {
        Fixed value;
        std::memcpy(&value, column.data + row * sizeof(Fixed), sizeof value);
        return value;
    }

    // pandas makes the Timestamps, from the values as a datetime64 array.
    static nb::object timestamps(std::string_view data, std::uint8_t unit) {
        const Pandas &pandas = pandas_for_reading();
        nb::object bytes =
            owned(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
        nb::object array = owned(PyObject_CallFunctionObjArgs(pandas.frombuffer, bytes.ptr(),
                                                              pandas.dtypes[unit], nullptr));
        nb::object index = owned(PyObject_CallOneArg(pandas.datetime_index, array.ptr()));
        return owned(PySequence_List(index.ptr()));
    }

    PyObject *na_ = nullptr;
    ByteReader in_;
    std::size_t memory_ = 0;
};

}  // namespace

Encoded encode(nb::handle value) {
    python();
    ByteWriter writer = start_frame();
    Encoder encoder(writer);
    encoder.value(value.ptr(), 0);
    return {seal_frame(std::move(writer)), encoder.memory_bytes() + 16};
}

Decoded decode(std::string_view stored) {
    Frame frame = open_frame(stored);
    if (frame.version != format_version)
        throw UnknownFormat("format version " + std::to_string(frame.version));
    python();
    Decoder decoder(frame.body);
    GcPause paused;
    try {
        nb::object value = decoder.value(0);
        if (!decoder.done()) throw FormatError("bytes after the value");
        return {std::move(value), decoder.memory_bytes() + 16};
    } catch (nb::python_error &error) {
        // Intact bytes that no longer make a value (a pickled class gone, say) are
        // a miss like damage; running out of memory or being interrupted is not.
        if (error.matches(PyExc_MemoryError) || error.matches(PyExc_KeyboardInterrupt) ||
            error.matches(PyExc_SystemExit))
            throw;
        throw FormatError(error.what());
    }
}

}  // namespace veltrax::store
