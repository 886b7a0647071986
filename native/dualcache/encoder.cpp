// Python values to stored bytes (the layout is in layout.hpp).
#include <cstring>
#include <optional>
#include <vector>

#include "common/pydate.hpp"
#include "dualcache/codec.hpp"
#include "dualcache/codec_support.hpp"
#include "dualcache/datetime_api.hpp"
#include "dualcache/frame.hpp"
#include "dualcache/safe_unpickler.hpp"

namespace veltrax::store {

using namespace codec;

namespace {

// The fixed-width forms of dates and times, shared by scalar tags and columns.
// Each returns false for a value that the form cannot hold exactly.
std::int32_t days_of(PyObject *date) {
    return static_cast<std::int32_t>(days_since_epoch(
        PyDateTime_GET_YEAR(date), PyDateTime_GET_MONTH(date), PyDateTime_GET_DAY(date)));
}

bool write_datetime(PyObject *cell, ByteWriter &out) {
    if (!PyDateTime_CheckExact(cell) || !is_naive(cell)) return false;
    out.fixed<std::int64_t>(wall_clock_micros(cell));
    return true;
}

bool write_timestamp(const Pandas *pandas, PyObject *cell, TimeUnit unit, ByteWriter &out) {
    if (!is_timestamp(pandas, cell) || !is_naive(cell) || unit_of(cell) != unit) return false;
    std::optional<std::int64_t> value = timestamp_value(cell, unit);
    if (!value) return false;
    out.fixed<std::int64_t>(*value);
    return true;
}

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

    // False when the column holds values of mixed or other kinds. Adds what
    // its cells take in memory to `memory`.
    bool encode(PyObject *const *cells, std::size_t stride, ColumnOut &out, std::size_t &memory) {
        out.mask.assign(rows_, static_cast<char>(Cell::value));
        bool typed = false;
        std::size_t bytes = 0;
        for (std::size_t row = 0; row < rows_; ++row) {
            PyObject *cell = cells[row * stride];
            Cell special = cell == Py_None                  ? Cell::none
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
            bytes += object_bytes(cell);
        }
        if (!typed) out.kind = ColumnKind::empty;
        memory += bytes;
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
        else if (is_timestamp(pandas_, cell)) {
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
            case ColumnKind::datetime: return write_datetime(cell, out.data);
            case ColumnKind::date:
                if (!PyDate_CheckExact(cell)) return false;
                out.data.fixed<std::int32_t>(days_of(cell));
                return true;
            case ColumnKind::timestamp: return write_timestamp(pandas_, cell, out.unit, out.data);
            default: return false;
        }
    }

    const Pandas *pandas_;
    std::size_t rows_;
};

class Encoder {
public:
    Encoder() : pandas_(pandas_if_loaded()) {}

    void value(PyObject *value, int depth, ByteWriter &out) {
        if (value == Py_None) return tag(out, Tag::none);
        if (value == Py_True) return tag(out, Tag::true_);
        if (value == Py_False) return tag(out, Tag::false_);
        if (pandas_ && value == pandas_->na) return tag(out, Tag::na);
        if (PyLong_CheckExact(value)) {
            int overflow = 0;
            long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
            if (!overflow) {
                tag(out, Tag::int64, object_bytes(value));
                return out.fixed<std::int64_t>(number);
            }
        } else if (PyFloat_CheckExact(value)) {
            tag(out, Tag::float64, object_bytes(value));
            return out.fixed<double>(PyFloat_AS_DOUBLE(value));
        } else if (PyUnicode_CheckExact(value)) {
            if (std::optional<std::string_view> text = utf8_of(value)) {
                tag(out, Tag::str, object_bytes(value));
                return out.text(*text);
            }
        } else if (PyDict_CheckExact(value) && depth < max_depth) {
            if (dict(value, depth, out)) return;
        } else if (PyList_CheckExact(value) && depth < max_depth) {
            if (records(value, out)) return;
            return list(value, depth, out);
        } else if (PyDateTime_CheckExact(value)) {
            ByteWriter micros;
            if (write_datetime(value, micros)) {
                later_tag(out, Tag::datetime, object_bytes(value));
                return out.raw(micros.bytes());
            }
        } else if (PyDate_CheckExact(value)) {
            later_tag(out, Tag::date, object_bytes(value));
            return out.fixed<std::int32_t>(days_of(value));
        } else if (is_timestamp(pandas_, value)) {
            std::optional<TimeUnit> unit = unit_of(value);
            ByteWriter stamp;
            if (unit && write_timestamp(pandas_, value, *unit, stamp)) {
                later_tag(out, Tag::timestamp, object_bytes(value));
                out.u8(static_cast<std::uint8_t>(*unit));
                return out.raw(stamp.bytes());
            }
        }
        pickled(value, out);
    }

    std::size_t memory_bytes() const { return memory_; }
    std::uint8_t version() const { return version_; }

private:
    void tag(ByteWriter &out, Tag tag, std::size_t bytes = 0) {
        out.u8(static_cast<std::uint8_t>(tag));
        memory_ += bytes;
    }

    // A tag that version 1 does not have.
    void later_tag(ByteWriter &out, Tag tag, std::size_t bytes = 0) {
        version_ = format_version;
        this->tag(out, tag, bytes);
    }

    // Only what the store can read back without running code is stored: the
    // pickle is read once here as it will be read later.
    void pickled(PyObject *value, ByteWriter &out) {
        nb::object bytes = owned(
            PyObject_CallFunctionObjArgs(python().dumps, value, python().protocol, nullptr));
        char *data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(bytes.ptr(), &data, &size) != 0) throw nb::python_error();
        std::string_view pickle(data, static_cast<std::size_t>(size));
        try {
            safe_loads(pickle);
        } catch (nb::python_error &refused) {
            std::string why = refused.what();
            PyErr_Format(PyExc_TypeError,
                         "DualCache does not store a %.100s: reading it back would need code the "
                         "store does not run (%.300s)",
                         Py_TYPE(value)->tp_name, why.c_str());
            throw nb::python_error();
        }
        tag(out, Tag::pickle, value_bytes(value));
        out.text(pickle);
    }

    // An exact dict with text keys; its items are taken first so that code run
    // while a value is pickled cannot change what is being written.
    bool dict(PyObject *value, int depth, ByteWriter &out) {
        nb::object items = owned(PyDict_Items(value));
        Py_ssize_t size = PyList_GET_SIZE(items.ptr());
        std::vector<std::string_view> keys;
        std::size_t key_bytes = 0;
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyObject *key = PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), i), 0);
            std::optional<std::string_view> text;
            if (PyUnicode_CheckExact(key)) text = utf8_of(key);
            if (!text) return false;
            keys.push_back(*text);
            key_bytes += object_bytes(key);
        }
        tag(out, Tag::dict, dict_bytes(value) + key_bytes);
        out.varint(keys.size());
        for (Py_ssize_t i = 0; i < size; ++i) {
            out.text(keys[i]);
            this->value(PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), i), 1), depth + 1, out);
        }
        return true;
    }

    // Any other exact list, item by item; held whole, so that code run while an
    // item is pickled cannot change what is being written.
    void list(PyObject *value, int depth, ByteWriter &out) {
        nb::object items = owned(PySequence_List(value));
        Py_ssize_t size = PyList_GET_SIZE(items.ptr());
        later_tag(out, Tag::list, list_bytes(static_cast<std::size_t>(size)));
        out.varint(static_cast<std::size_t>(size));
        for (Py_ssize_t i = 0; i < size; ++i)
            this->value(PyList_GET_ITEM(items.ptr(), i), depth + 1, out);
    }

    // A list of exact dicts that share one key order: written column by column.
    bool records(PyObject *list, ByteWriter &out) {
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
        // Rows of no columns would be rows that take no bytes: a list of empty
        // dicts is written as a list.
        if (rows && !columns) return false;
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

        std::size_t memory = list_bytes(rows) + (rows ? rows * dict_bytes(held[0].ptr()) : 0);
        for (const nb::object &name : names) memory += object_bytes(name.ptr());
        // Typed columns first; a column of mixed kinds is written cell by cell,
        // once the cells are no longer looked at by position: writing a cell
        // may pickle it, and pickling runs Python code.
        std::vector<ColumnOut> out_columns(columns);
        std::vector<nb::object> mixed(columns);
        ColumnEncoder encoder(pandas_, rows);
        for (std::size_t column = 0; column < columns; ++column) {
            if (encoder.encode(cells.data() + column, columns, out_columns[column], memory))
                continue;
            out_columns[column] = ColumnOut{};
            out_columns[column].kind = ColumnKind::values;
            nb::object values = owned(PyList_New(static_cast<Py_ssize_t>(rows)));
            for (std::size_t row = 0; row < rows; ++row)
                PyList_SET_ITEM(values.ptr(), row, Py_NewRef(cells[row * columns + column]));
            mixed[column] = std::move(values);
        }
        cells.clear();
        for (std::size_t column = 0; column < columns; ++column) {
            if (!mixed[column].is_valid()) continue;
            version_ = format_version;
            std::size_t before = memory_;
            for (std::size_t row = 0; row < rows; ++row)
                value(PyList_GET_ITEM(mixed[column].ptr(), row), 1, out_columns[column].data);
            memory += memory_ - before;
            memory_ = before;
        }

        tag(out, Tag::records, memory);
        out.varint(rows);
        out.varint(columns);
        for (std::size_t column = 0; column < columns; ++column) {
            ColumnOut &col = out_columns[column];
            out.text(name_texts[column]);
            out.u8(static_cast<std::uint8_t>(col.kind));
            out.u8(col.masked);
            if (col.masked) out.raw(col.mask);
            if (col.kind == ColumnKind::timestamp) out.u8(static_cast<std::uint8_t>(col.unit));
            out.text(col.data.bytes());
        }
        return true;
    }

    const Pandas *pandas_;
    std::size_t memory_ = 0;
    std::uint8_t version_ = first_format_version;
};

}  // namespace

Encoded encode(nb::handle value) {
    python();
    load_datetime_api();
    ByteWriter writer = start_frame();
    Encoder encoder;
    encoder.value(value.ptr(), 0, writer);
    return {seal_frame(std::move(writer), encoder.version()), encoder.memory_bytes()};
}

}  // namespace veltrax::store
