// Stored bytes back to Python values (the layout is in layout.hpp).
#include <cstring>
#include <vector>

#include "common/python.hpp"
#include "dualcache/codec.hpp"
#include "dualcache/codec_support.hpp"
#include "dualcache/datetime_api.hpp"
#include "dualcache/frame.hpp"

namespace veltrax::store {

using namespace codec;

namespace {

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

Decoded decode(std::string_view stored) {
    Frame frame = open_frame(stored);
    if (frame.version != format_version)
        throw UnknownFormat("format version " + std::to_string(frame.version));
    python();
    load_datetime_api();
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
