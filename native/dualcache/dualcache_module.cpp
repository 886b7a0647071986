// corbel.dualcache: DualCache, a memory level in front of an SQLite store.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/module_globals.hpp"
#include "dualcache/bytes_io.hpp"
#include "dualcache/codec.hpp"
#include "dualcache/disk_level.hpp"
#include "dualcache/memory_level.hpp"

namespace veltrax::store {

namespace nb = nanobind;
using namespace nb::literals;

namespace {

ModuleGlobals globals;

constexpr std::size_t default_memory_limit = std::size_t{256} << 20;

std::string_view key_text(nb::handle key) {
    if (!PyUnicode_Check(key.ptr())) {
        PyErr_Format(PyExc_TypeError, "cache keys are str, not %.100s", Py_TYPE(key.ptr())->tp_name);
        throw nb::python_error();
    }
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(key.ptr(), &size);
    if (!data) throw nb::python_error();
    return {data, static_cast<std::size_t>(size)};
}

// The path as the operating system spells it (os.fsencode).
std::string file_system_path(nb::handle path) {
    nb::object bytes = globals.get("os").attr("fsencode")(path);
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.ptr(), &data, &size) != 0) throw nb::python_error();
    std::string text(data, static_cast<std::size_t>(size));
    // The system would read only up to the NUL, and so open another directory.
    if (text.find('\0') != std::string::npos)
        throw nb::value_error("a cache directory path cannot hold a NUL character");
    return text;
}

std::string text_of(nb::handle object) {
    nb::str text(object);
    std::string_view view = key_text(text);
    return std::string(view);
}

nb::list text_list(const std::vector<std::string> &texts) {
    nb::list list;
    for (const std::string &text : texts)
        list.append(nb::steal(PyUnicode_DecodeUTF8(text.data(), text.size(), "surrogateescape")));
    return list;
}

std::size_t memory_limit_of(nb::handle given) {
    if (given.is_none()) return default_memory_limit;
    std::size_t limit = 0;
    if (!nb::try_cast(given, limit))
        throw nb::type_error("memoryLimit must be a non-negative int of bytes, or None");
    return limit;
}

class DualCache {
public:
    // The limit arrives as a Python object (None or an int): nanobind's optional
    // caster trips GCC's maybe-uninitialized check at -O3.
    DualCache(nb::str name, nb::str cache_prefix, nb::handle memory_limit)
        : directory(globals.get("Path")(nb::str(cache_prefix + name))),
          disk_(file_system_path(directory),
                [this](const char *message, std::vector<std::string> values) {
                    warn(message, std::move(values));
                }),
          memory_(memory_limit_of(memory_limit)) {
        flush_warnings();
    }

    // The value under the key: from memory while the disk row is unchanged, else from disk.
    std::optional<nb::object> lookup(nb::handle key) {
        std::string_view text = key_text(key);
        Warnings warnings(*this);
        std::uint64_t epoch = current_epoch();
        if (auto *entry = memory_.find(text)) {
            if (entry->checked == epoch) return entry->value;
            if (still_current(text, epoch)) return memory_.find(text)->value;
        }
        return load(key, text, epoch);
    }

    void setitem(nb::handle key, nb::handle value) {
        std::string_view text = key_text(key);
        Encoded encoded = encode(value);
        Warnings warnings(*this);
        std::uint64_t epoch = current_epoch();
        std::uint64_t stamp = disk_.put(text, encoded.stored);
        ++writes_;
        synchronise();
        memory_.put(std::string(text), nb::borrow(value), encoded.memory_bytes, stamp, epoch);
    }

    void delitem(nb::handle key) {
        std::string_view text = key_text(key);
        Warnings warnings(*this);
        current_epoch();
        bool in_memory = memory_.erase(text).has_value();
        bool on_disk = disk_.erase(text);
        ++writes_;
        synchronise();
        if (!in_memory && !on_disk) {
            PyErr_SetObject(PyExc_KeyError, key.ptr());
            throw nb::python_error();
        }
    }

    bool contains(nb::handle key) {
        std::string_view text = key_text(key);
        Warnings warnings(*this);
        std::uint64_t epoch = current_epoch();
        if (auto *entry = memory_.find(text); entry && entry->checked == epoch) return true;
        bool found = disk_.stamp_of(text).has_value();
        synchronise();
        return found;
    }

    nb::list keys() {
        Warnings warnings(*this);
        std::vector<std::string> keys = disk_.keys();
        synchronise();
        return text_list(keys);
    }

    nb::list keys_with_prefix(nb::str prefix) {
        std::string_view text = key_text(prefix);
        Warnings warnings(*this);
        std::vector<std::string> keys = disk_.keys_with_prefix(text);
        synchronise();
        return text_list(keys);
    }

    std::int64_t size() {
        Warnings warnings(*this);
        std::int64_t count = disk_.count();
        synchronise();
        return count;
    }

    nb::dict stats() {
        nb::dict stats;
        stats["directory"] = nb::str(directory);
        stats["entries"] = size();
        stats["disk_bytes"] = disk_.bytes_on_disk();
        stats["memory_entries"] = memory_.size();
        stats["memory_bytes"] = memory_.bytes();
        stats["memory_limit"] = memory_.limit();
        return stats;
    }

    std::size_t memory_limit() const { return memory_.limit(); }
    void set_memory_limit(std::size_t limit) { memory_.set_limit(limit); }

    void close() {
        memory_.clear();
        disk_.close();
    }

    nb::object directory;

private:
    using Memory = MemoryLevel<nb::object>;

    // Log lines of the disk level, written once an operation is through, when
    // the store is consistent again (logging runs Python code).
    struct Pending {
        const char *message;
        std::vector<std::string> values;
    };
    class Warnings {
    public:
        explicit Warnings(DualCache &cache) : cache_(cache) {}
        ~Warnings() {
            if (!cache_.pending_.empty()) cache_.flush_warnings();
        }

    private:
        DualCache &cache_;
    };

    void flush_warnings() noexcept {
        std::vector<Pending> pending = std::move(pending_);
        pending_.clear();
        for (const Pending &line : pending) {
            try {
                nb::list values;
                for (const std::string &value : line.values) values.append(nb::str(value.c_str()));
                globals.get("logger").attr("warning")(line.message, *values);
            } catch (nb::python_error &error) {
                error.discard_as_unraisable("logging a warning of the cache store");
            } catch (...) {
            }
        }
    }

    void warn(const char *message, std::vector<std::string> values) {
        pending_.push_back({message, std::move(values)});
    }

    // After the disk level set its file aside or followed a replaced one, what
    // memory holds no longer describes the disk.
    void synchronise() {
        if (disk_.generation() != generation_) {
            generation_ = disk_.generation();
            memory_.clear();
        }
    }

    std::uint64_t current_epoch() {
        std::uint64_t epoch = disk_.change_epoch();
        synchronise();
        return epoch;
    }

    // Another process committed since this entry was last checked: is its row the same?
    bool still_current(std::string_view text, std::uint64_t epoch) {
        std::optional<std::uint64_t> stamp = disk_.stamp_of(text);
        synchronise();
        Memory::Entry *entry = memory_.find(text);
        if (!entry) return false;
        if (stamp && *stamp == entry->stamp) {
            entry->checked = epoch;
            return true;
        }
        memory_.erase(text);
        return false;
    }

    std::optional<nb::object> load(nb::handle key, std::string_view text, std::uint64_t epoch) {
        std::uint64_t writes = writes_;
        std::optional<Row> row = disk_.get(text);
        synchronise();
        if (!row) return std::nullopt;
        try {
            Decoded decoded = decode(row->value);
            // Decoding may run Python code, and with it another thread's write to
            // this store: what was read is then no longer the latest to keep.
            if (writes == writes_)
                memory_.put(std::string(text), decoded.value, decoded.memory_bytes, row->stamp,
                            epoch);
            return decoded.value;
        } catch (const UnknownFormat &error) {
            if (unknown_reported_.emplace(text).second)
                warn("Cache entry {} in {} has {}, which this version cannot read; left it",
                     {text_of(nb::repr(key)), text_of(directory),
                      error.what()});
        } catch (const FormatError &error) {
            disk_.erase_if(text, row->stamp);
            synchronise();
            warn("Cache entry {} in {} could not be read ({}); removed it",
                 {text_of(nb::repr(key)), text_of(directory),
                  error.what()});
        }
        return std::nullopt;
    }

    std::vector<Pending> pending_;
    DiskLevel disk_;
    Memory memory_;
    std::uint64_t generation_ = 0;
    std::uint64_t writes_ = 0;  // by this store, to tell a read overtaken by a write
    std::set<std::string, std::less<>> unknown_reported_;
};

// get and [] are the memory hit's path: raw CPython entry points, with no
// argument conversion between the caller and the lookup.
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

void define_dualcache(nb::module_ &module) {
    module.doc() =
        "DualCache: an in-memory level in front of an SQLite database of entries, shared safely\n"
        "by processes that use the same directory.";
    globals.bind(module);
    globals.import_module("os", "os");
    globals.take_in("pathlib", {"Path"});
    globals.take_in("loguru", {"logger"});
    store_error = nb::exception<StoreError>(module, "StoreError", PyExc_OSError).ptr();

    nb::class_<DualCache>(
        module, "DualCache", nb::type_slots(fast_slots),
        "A persistent store of Python values under text keys.\n\n"
        "Entries live in an SQLite database in the directory cachePrefix + name (created on\n"
        "first use) and, up to memoryLimit estimated bytes, in memory: a memory hit returns the\n"
        "stored object itself, so treat what you get as read-only.")
        .def(nb::init<nb::str, nb::str, nb::handle>(), "name"_a, "cachePrefix"_a = "",
             "memoryLimit"_a.none() = nb::none())
        .def_ro("directory", &DualCache::directory, "The store's directory (a pathlib.Path).")
        .def("__setitem__", &DualCache::setitem, "key"_a.none(), "value"_a.none(),
             "Store the value under the key, in both levels.")
        .def("__delitem__", &DualCache::delitem, "key"_a.none(),
             "Remove the key from both levels; KeyError when neither had it.")
        .def("__contains__", &DualCache::contains, "key"_a.none())
        .def("__len__", &DualCache::size)
        .def("__iter__", [](DualCache &cache) { return nb::iter(cache.keys()); })
        .def("keys", &DualCache::keys, "Every stored key, in key order (a list).")
        .def("keys_with_prefix", &DualCache::keys_with_prefix, "prefix"_a,
             "The stored keys that begin with prefix, in key order (a list).\n"
             "Its cost grows with the keys it returns, not with the whole store.")
        .def("stats", &DualCache::stats,
             "directory, entries and disk_bytes of the store, memory_entries, memory_bytes\n"
             "(estimated) and memory_limit of its memory level.")
        .def_prop_rw("memoryLimit", &DualCache::memory_limit, &DualCache::set_memory_limit,
                     "Estimated bytes the memory level may hold; the least recently used\n"
                     "entries leave it first (they stay on disk).")
        .def("close", &DualCache::close, "Release the database; later calls raise StoreError.");
}

}  // namespace

}  // namespace veltrax::store

NB_MODULE(dualcache, module) { veltrax::store::define_dualcache(module); }
