// Stored bytes back to Python values (the layout is in layout.hpp). Nothing
// read is trusted: every count and length is checked against the bytes that
// remain before anything is made of it, what the value takes in memory against
// the reader's budget before the objects are made where that can be known and
// as they are made where not, and pickled bytes go through the safe unpickler
// once their opcodes have shown what reading them costs.
#include <chrono>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "common/python.hpp"
#include "dualcache/codec.hpp"
#include "dualcache/codec_support.hpp"
#include "dualcache/datetime_api.hpp"
#include "dualcache/frame.hpp"
#include "dualcache/pickle_bounds.hpp"
#include "dualcache/safe_unpickler.hpp"

namespace veltrax::store {

using namespace codec;

namespace {

// What an int takes, from its value alone (object_bytes without the object).
std::size_t int_bytes(std::int64_t value) {
    if (value >= -5 && value <= 256) return 0;  // CPython's cached small ints
    std::uint64_t magnitude =
        value < 0 ? 0ULL - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    std::size_t digits = (64 - __builtin_clzll(magnitude) + PyLong_SHIFT - 1) / PyLong_SHIFT;
    return allocated(PyLong_Type.tp_basicsize + digits * PyLong_Type.tp_itemsize);
}

nb::object text_object(std::string_view text) {
    PyObject *object =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
    if (!object) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw nb::python_error();
        PyErr_Clear();
        throw FormatError("text that is not UTF-8");
    }
    return nb::steal(object);
}

// A record key, interned as Python interns the names it reads.
nb::object key_object(std::string_view text) {
    PyObject *key = text_object(text).release().ptr();
    PyUnicode_InternInPlace(&key);
    return nb::steal(key);
}

constexpr std::int64_t day_number(std::chrono::year_month_day date) {
    return std::chrono::sys_days(date).time_since_epoch().count();
}

// Python's dates: the years 1 to 9999. A day number beyond them is forged (the
// calendar arithmetic would wrap it to a wrong date).
constexpr std::int64_t first_day = day_number(std::chrono::year(1) / 1 / 1);
constexpr std::int64_t last_day = day_number(std::chrono::year(9999) / 12 / 31);

std::chrono::year_month_day calendar_date(std::int64_t days) {
    if (days < first_day || days > last_day)
        throw FormatError("a date outside the years 1 to 9999");
    return civil_from_days(days);
}

PyObject *date_object(std::int64_t days) {
    std::chrono::year_month_day date = calendar_date(days);
    return PyDate_FromDate(static_cast<int>(date.year()),
                           static_cast<int>(static_cast<unsigned>(date.month())),
                           static_cast<int>(static_cast<unsigned>(date.day())));
}

PyObject *datetime_object(std::int64_t micros) {
    std::int64_t days = floor_div(micros, micros_per_day);
    std::int64_t rest = micros % micros_per_day;  // days * micros_per_day may overflow
    if (rest < 0) rest += micros_per_day;
    std::chrono::year_month_day date = calendar_date(days);
    std::int64_t seconds = rest / 1'000'000;
    return PyDateTime_FromDateAndTime(
        static_cast<int>(date.year()), static_cast<int>(static_cast<unsigned>(date.month())),
        static_cast<int>(static_cast<unsigned>(date.day())), static_cast<int>(seconds / 3600),
        static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60),
        static_cast<int>(rest % 1'000'000));
}

// pandas makes the Timestamps, from the values as a datetime64 array. The one
// value that is no time (NaT) is never stored as a timestamp.
nb::object timestamps(std::string_view data, std::uint8_t unit) {
    for (std::size_t at = 0; at + 8 <= data.size(); at += 8) {
        std::int64_t value;
        std::memcpy(&value, data.data() + at, sizeof value);
        if (value == std::numeric_limits<std::int64_t>::min())
            throw FormatError("a timestamp that is NaT");
    }
    const Pandas &pandas = pandas_for_reading();
    nb::object bytes =
        owned(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
    nb::object array = owned(PyObject_CallFunctionObjArgs(pandas.frombuffer, bytes.ptr(),
                                                          pandas.dtypes[unit], nullptr));
    nb::object index = owned(PyObject_CallOneArg(pandas.datetime_index, array.ptr()));
    return owned(PySequence_List(index.ptr()));
}

std::uint8_t time_unit(std::uint8_t unit) {
    if (unit > static_cast<std::uint8_t>(TimeUnit::ns)) throw FormatError("unknown time unit");
    return unit;
}

// A long read lets other threads run, and Ctrl-C through, every so often, as
// Python's own loops do.
class Pace {
public:
    void step(std::size_t work) {
        done_ += work;
        if (done_ < next_) return;
        next_ = done_ + interval;
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
        nb::gil_scoped_release others_run;
    }

private:
    static constexpr std::size_t interval = std::size_t{1} << 15;  // cells: a few milliseconds
    std::size_t done_ = 0;
    std::size_t next_ = interval;
};

class Decoder {
public:
    Decoder(std::uint8_t version, std::size_t budget) : version_(version), budget_(budget) {}

    nb::object value(ByteReader &in, int depth) {
        if (depth > max_depth) throw FormatError("nested too deeply");
        pace_.step(1);
        auto tag = static_cast<Tag>(in.u8());
        if (tag >= Tag::list && version_ < format_version) throw FormatError("a tag of a later format");
        switch (tag) {
            case Tag::none: return nb::none();
            case Tag::false_: return nb::bool_(false);
            case Tag::true_: return nb::bool_(true);
            case Tag::na: return nb::borrow(pandas_for_reading().na);
            case Tag::int64: {
                std::int64_t number = in.fixed<std::int64_t>();
                charge(int_bytes(number));
                return owned(PyLong_FromLongLong(number));
            }
            case Tag::float64: return counted(owned(PyFloat_FromDouble(in.fixed<double>())));
            case Tag::str: return counted(text_object(in.text()));
            case Tag::dict: return dict(in, depth);
            case Tag::records: return records(in, depth);
            case Tag::pickle: return unpickled(in.text());
            case Tag::list: return list(in, depth);
            case Tag::date: return counted(owned(date_object(in.fixed<std::int32_t>())));
            case Tag::datetime: return counted(owned(datetime_object(in.fixed<std::int64_t>())));
            case Tag::timestamp: {
                std::uint8_t unit = time_unit(in.u8());
                nb::object made = timestamps(in.take(8), unit);
                return counted(nb::borrow(PyList_GET_ITEM(made.ptr(), 0)));
            }
        }
        throw FormatError("unknown value tag");
    }

    std::size_t memory_bytes() const { return memory_; }

private:
    nb::object counted(nb::object made) {
        charge(object_bytes(made.ptr()));
        return made;
    }

    // Objects that take `bytes` were made, or are about to be.
    void charge(std::size_t bytes) {
        memory_ += bytes;
        if (memory_ > budget_) too_large();
    }

    [[noreturn]] void too_large() const {
        throw FormatError("objects of more than " + std::to_string(budget_ >> 20) +
                          " MiB; memoryLimit bounds what a read makes");
    }

    // The pickle's opcodes show what reading it costs before the unpickler runs.
    nb::object unpickled(std::string_view pickle) {
        pickle_bound(pickle, budget_ - memory_);
        nb::object result = safe_loads(pickle);
        charge(value_bytes(result.ptr()));
        return result;
    }

    nb::object dict(ByteReader &in, int depth) {
        std::size_t size = in.count(2);
        nb::object result = owned(PyDict_New());
        for (std::size_t i = 0; i < size; ++i) {
            nb::object key = counted(text_object(in.text()));
            nb::object item = value(in, depth + 1);
            if (PyDict_SetItem(result.ptr(), key.ptr(), item.ptr()) != 0) throw nb::python_error();
        }
        charge(dict_bytes(result.ptr()));
        return result;
    }

    nb::object list(ByteReader &in, int depth) {
        std::size_t size = in.count(1);
        charge(list_bytes(size));
        nb::object result = owned(PyList_New(static_cast<Py_ssize_t>(size)));
        for (std::size_t i = 0; i < size; ++i)
            PyList_SET_ITEM(result.ptr(), i, value(in, depth + 1).release().ptr());
        return result;
    }

    // A column of a bar list, read back: its cells are made row by row as the
    // records are built, except those pandas or pickle make for the whole column.
    struct ColumnIn {
        ColumnKind kind;
        std::string_view mask{};
        std::uint8_t unit = 0;  // of a timestamp column
        std::string_view data{};
        ByteReader texts{{}};
        nb::object made{};  // a list of the cells, for timestamps, pickled and mixed columns
        std::size_t cell_bytes = 0;  // what one cell takes, for columns of fixed-size cells
    };

    nb::object records(ByteReader &in, int depth) {
        std::size_t rows = in.varint();
        std::size_t columns = in.count(3);
        // Every cell takes at least a byte (a mask entry, a tag, its data), and
        // records without columns are written as a list: more cells than bytes
        // are forged, and nothing has been made of them yet.
        if (columns == 0 ? rows != 0 : rows > in.left() / columns)
            throw FormatError("more cells than bytes");
        std::vector<nb::object> names;
        std::vector<ColumnIn> cells;
        for (std::size_t column = 0; column < columns; ++column) {
            names.push_back(key_object(in.text()));
            charge(object_bytes(names.back().ptr()));
            cells.push_back(this->column(in, rows));
        }
        nb::object shape = record_shape(names);
        if (static_cast<std::size_t>(PyDict_GET_SIZE(shape.ptr())) != columns)
            throw FormatError("a column name twice");
        // The records' own memory is known before any is made.
        charge(list_bytes(rows) + rows * dict_bytes(shape.ptr()));
        for (ColumnIn &column : cells) fill(column, rows, depth);

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
            if (memory_ > budget_) too_large();
            pace_.step(columns);
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

    // A column's layout, checked; no cell is made yet.
    ColumnIn column(ByteReader &in, std::size_t rows) {
        ColumnIn column{.kind = static_cast<ColumnKind>(in.u8())};
        if (column.kind >= ColumnKind::values && version_ < format_version)
            throw FormatError("a column of a later format");
        std::uint8_t masked = in.u8();
        if (masked > 1 || (masked && column.kind == ColumnKind::values))
            throw FormatError("bad mask flag");
        if (masked) {
            column.mask = in.take(rows);
            for (char cell : column.mask)
                if (static_cast<Cell>(cell) > Cell::na) throw FormatError("bad mask value");
            if (column.mask.find(static_cast<char>(Cell::na)) != std::string_view::npos)
                na_ = pandas_for_reading().na;
        }
        if (column.kind == ColumnKind::timestamp) column.unit = time_unit(in.u8());
        column.data = in.text();
        std::size_t width = 0;
        switch (column.kind) {
            case ColumnKind::int64:
            case ColumnKind::float64:
            case ColumnKind::datetime:
            case ColumnKind::timestamp: width = 8; break;
            case ColumnKind::date: width = 4; break;
            case ColumnKind::boolean: width = 1; break;
            case ColumnKind::str: column.texts = ByteReader(column.data); break;
            case ColumnKind::empty:
                if (column.mask.size() != rows ||
                    column.mask.find(static_cast<char>(Cell::value)) != std::string_view::npos)
                    throw FormatError("a value in a column without values");
                break;
            case ColumnKind::pickle: break;
            case ColumnKind::values:
                if (rows > column.data.size()) throw FormatError("more cells than bytes");
                break;
            default: throw FormatError("unknown column kind");
        }
        if (width && column.data.size() != rows * width)
            throw FormatError("a column of the wrong size");
        return column;
    }

    // The cells made for the whole column at once.
    void fill(ColumnIn &column, std::size_t rows, int depth) {
        switch (column.kind) {
            case ColumnKind::timestamp: column.made = timestamps(column.data, column.unit); break;
            case ColumnKind::pickle:
                column.made = unpickled(column.data);
                if (!PyList_CheckExact(column.made.ptr()) ||
                    static_cast<std::size_t>(PyList_GET_SIZE(column.made.ptr())) != rows)
                    throw FormatError("a pickled column of the wrong length");
                memory_ -= list_bytes(rows);  // the list itself is not kept
                break;
            case ColumnKind::values: {
                ByteReader values(column.data);
                column.made = owned(PyList_New(static_cast<Py_ssize_t>(rows)));
                for (std::size_t row = 0; row < rows; ++row)
                    PyList_SET_ITEM(column.made.ptr(), row,
                                    value(values, depth + 1).release().ptr());
                if (values.left()) throw FormatError("bytes after a column's values");
                break;
            }
            default: break;
        }
    }

    // A new reference to the cell, or null.
    PyObject *cell_of(ColumnIn &column, std::size_t row) {
        if (!column.mask.empty() && column.mask[row] != static_cast<char>(Cell::value)) {
            // A str column has an empty text in a masked row's place.
            if (column.kind == ColumnKind::str) column.texts.text();
            return Py_NewRef(static_cast<Cell>(column.mask[row]) == Cell::na ? na_ : Py_None);
        }
        switch (column.kind) {
            case ColumnKind::int64: {
                std::int64_t number = at<std::int64_t>(column, row);
                memory_ += int_bytes(number);
                return PyLong_FromLongLong(number);
            }
            case ColumnKind::float64: return fixed_size(column, PyFloat_FromDouble(at<double>(column, row)));
            case ColumnKind::boolean: {
                std::uint8_t value = at<std::uint8_t>(column, row);
                return value > 1 ? nullptr : Py_NewRef(value ? Py_True : Py_False);
            }
            case ColumnKind::date: return fixed_size(column, date_object(at<std::int32_t>(column, row)));
            case ColumnKind::datetime:
                return fixed_size(column, datetime_object(at<std::int64_t>(column, row)));
            case ColumnKind::str: {
                PyObject *text = text_object(column.texts.text()).release().ptr();
                memory_ += object_bytes(text);
                return text;
            }
            case ColumnKind::timestamp:
                return fixed_size(column, Py_NewRef(PyList_GET_ITEM(column.made.ptr(), row)));
            case ColumnKind::pickle:
            case ColumnKind::values: return Py_NewRef(PyList_GET_ITEM(column.made.ptr(), row));
            default: return nullptr;
        }
    }

    // Counts a cell of a column whose cells all take the same: measured once.
    PyObject *fixed_size(ColumnIn &column, PyObject *cell) {
        if (!cell) return nullptr;
        if (!column.cell_bytes) column.cell_bytes = object_bytes(cell);
        memory_ += column.cell_bytes;
        return cell;
    }

    template <typename Fixed>
    static Fixed at(const ColumnIn &column, std::size_t row) {
        Fixed value;
        std::memcpy(&value, column.data.data() + row * sizeof(Fixed), sizeof value);
        return value;
    }

    std::uint8_t version_;
    std::size_t budget_;
    PyObject *na_ = nullptr;
    std::size_t memory_ = 0;
    Pace pace_;
};

// Why a Python error refused a value, on one line for the log: its type and
// message, never a traceback (making one may itself need memory that is gone).
std::string one_line(nb::python_error &error) noexcept {
    if (error.matches(PyExc_MemoryError)) return "more than memory allows";
    try {
        std::string line = Py_TYPE(error.value().ptr())->tp_name;
        line += ": ";
        line += nb::str(error.value()).c_str();
        for (char &c : line)
            if (c == '\n' || c == '\r') c = ' ';
        return line;
    } catch (...) {
        return "a Python error";
    }
}

}  // namespace

Decoded decode(std::string_view stored, std::size_t memory_budget) {
    Frame frame = open_frame(stored);
    if (frame.version < first_format_version || frame.version > format_version)
        throw UnknownFormat("format version " + std::to_string(frame.version));
    // No flag is defined yet: one that is set means a later format, as a later
    // version would (the checksum covers the flags, so it is not damage).
    if (frame.flags) throw UnknownFormat("format flags " + std::to_string(frame.flags));
    python();
    load_datetime_api();
    Decoder decoder(frame.version, memory_budget);
    ByteReader in(frame.body);
    GcPause paused;
    try {
        nb::object value = decoder.value(in, 0);
        if (in.left()) throw FormatError("bytes after the value");
        return {std::move(value), decoder.memory_bytes()};
    } catch (nb::python_error &error) {
        // Intact bytes that no longer make a value (a pickled name not admitted,
        // a class gone), or more than memory allows, are a miss like damage;
        // the user interrupting is not.
        if (error.matches(PyExc_KeyboardInterrupt) || error.matches(PyExc_SystemExit)) throw;
        throw FormatError(one_line(error));
    } catch (const std::bad_alloc &) {
        throw FormatError("more than memory allows");
    }
}

}  // namespace veltrax::store
