// Python values to stored bytes (the layout is in layout.hpp).
#include <cstring>
#include <optional>
#include <vector>

#include "common/pydate.hpp"
#include "dualcache/codec.hpp"
#include "dualcache/codec_support.hpp"
#include "dualcache/datetime_api.hpp"
#include "dualcache/frame.hpp"

namespace veltrax::store {

using namespace codec;

namespace {

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

}  // namespace

Encoded encode(nb::handle value) {
    python();
    load_datetime_api();
    ByteWriter writer = start_frame();
    Encoder encoder(writer);
    encoder.value(value.ptr(), 0);
    return {seal_frame(std::move(writer)), encoder.memory_bytes() + 16};
}

}  // namespace veltrax::store
