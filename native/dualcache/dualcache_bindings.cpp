// DualCache as Python sees it: argument conversion and the class's methods.
#include "dualcache/dualcache_bindings.hpp"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "dualcache/fast_path.hpp"
#include "dualcache/python_values.hpp"
#include "dualcache/redis_url.hpp"
#include "dualcache/store.hpp"
#include "dualcache/store_settings.hpp"

namespace veltrax::store {

namespace nb = nanobind;
using namespace nb::literals;

namespace {

RedisAddress cache_address(const std::string &url) {
    try {
        return parse_redis_url(url);
    } catch (const CacheUrlError &error) {
        throw nb::value_error(error.what());
    }
}

std::optional<std::string> shared_url_of(nb::handle given) {
    if (given.is_none()) return std::nullopt;
    std::string url;
    if (!nb::try_cast(given, url))
        throw nb::type_error("sharedUrl must be a str (redis://...), \"\" for none, or None for "
                             "$VELTRAX_CACHE_URL");
    return url;
}

// The path as the operating system spells it (os.fsencode).
std::string file_system_path(nb::handle path) {
    nb::object bytes = module_globals().get("os").attr("fsencode")(path);
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.ptr(), &data, &size) != 0) throw nb::python_error();
    std::string text(data, static_cast<std::size_t>(size));
    // The system would read only up to the NUL, and so open another directory.
    if (text.find('\0') != std::string::npos)
        throw nb::value_error("a cache directory path cannot hold a NUL character");
    return text;
}

// A limit in bytes: a non-negative int, or None for the default. (Arguments
// arrive as Python objects: nanobind's optional caster trips GCC's
// maybe-uninitialized check at -O3.)
template <typename Bytes>
Bytes bytes_of(nb::handle given, Bytes fallback, const char *name) {
    if (given.is_none()) return fallback;
    Bytes limit = 0;
    if (!PyLong_Check(given.ptr()) || !nb::try_cast(given, limit))
        throw nb::type_error((std::string(name) + " must be a non-negative int of bytes, or None").c_str());
    return limit;
}

OutagePolicy::Clock::duration seconds_of(nb::handle given) {
    double seconds = Limits::default_retry_seconds;
    if (!given.is_none()) {
        bool number = (PyLong_Check(given.ptr()) || PyFloat_Check(given.ptr())) && !PyBool_Check(given.ptr());
        seconds = number ? PyFloat_AsDouble(given.ptr()) : -1;
        if (seconds == -1 && PyErr_Occurred()) throw nb::python_error();
        if (!std::isfinite(seconds) || seconds < 0 || seconds > 1e9)
            throw nb::type_error("retryAfter must be a number of seconds, 0 or more, or None");
    }
    return std::chrono::duration_cast<OutagePolicy::Clock::duration>(
        std::chrono::duration<double>(seconds));
}

void construct(DualCache *self, nb::str name, nb::str cache_prefix, nb::handle memory_limit,
               nb::handle disk_limit, nb::handle retry_after, nb::handle shared_url) {
    nb::object directory = module_globals().get("Path")(nb::str(cache_prefix + name));
    std::string path = file_system_path(directory);
    Limits limits{bytes_of<std::size_t>(memory_limit, Limits::default_memory_bytes, "memoryLimit"),
                  bytes_of<std::uint64_t>(disk_limit, Limits::default_disk_bytes, "diskLimit"),
                  seconds_of(retry_after)};
    std::optional<SharedLevel> shared;
    try {
        shared = shared_level(shared_url_of(shared_url), name.c_str());
    } catch (const CacheUrlError &error) {
        throw nb::value_error(error.what());
    }
    new (self) DualCache(std::move(directory), std::move(path), limits, std::move(shared));
}

}  // namespace

void bind_dualcache(nb::module_ &module) {
    module_globals().bind(module);
    module_globals().import_module("os", "os");
    module_globals().take_in("pathlib", {"Path"});
    module_globals().take_in("loguru", {"logger"});
    PyObject *store_error = nb::exception<StoreError>(module, "StoreError", PyExc_OSError).ptr();

    nb::class_<DualCache>(
        module, "DualCache", nb::type_slots(fast_path_slots(store_error)),
        "A persistent store of Python values under text keys.\n\n"
        "Entries live in an SQLite database in the directory cachePrefix + name (created on\n"
        "first use), whose files take up to diskLimit bytes (least recently used entries go\n"
        "first), and, up to memoryLimit bytes, in memory: a memory hit returns the stored\n"
        "object itself, so treat what you get as read-only. When the disk cannot be used\n"
        "(read-only, full, failing, something in the way) the store keeps entries in memory,\n"
        "says so once, and tries the disk again every retryAfter seconds, writing back what\n"
        "memory kept; close() makes a last attempt.\n\n"
        "sharedUrl (redis://[user:password@]host:port/db; by default $VELTRAX_CACHE_URL, \"\"\n"
        "for none) adds a level behind the disk that many stores share: a miss of the local\n"
        "levels is read from it and kept locally, every write and removal goes to it too, and\n"
        "a local copy is answered only while the shared level holds the same value (or none).\n"
        "When it is away the store goes on with its local levels, says so once, tries it again\n"
        "after a back-off of up to retryAfter seconds, and then sends it what it missed (kept\n"
        "in the disk's database meanwhile, for any later store on the directory to send).")
        .def("__init__", &construct, "name"_a, "cachePrefix"_a = "",
             "memoryLimit"_a.none() = nb::none(), "diskLimit"_a.none() = nb::none(),
             "retryAfter"_a.none() = nb::none(), "sharedUrl"_a.none() = nb::none())
        .def_ro("directory", &DualCache::directory, "The store's directory (a pathlib.Path).")
        .def("__setitem__", &DualCache::store, "key"_a.none(), "value"_a.none(),
             "Store the value under the key, in every level.")
        .def("__delitem__", &DualCache::remove, "key"_a.none(),
             "Remove the key from every level; KeyError when none had it.")
        .def("__contains__", &DualCache::contains, "key"_a.none())
        .def("__len__", &DualCache::size)
        .def("__iter__", [](DualCache &cache) { return nb::iter(cache.keys()); })
        .def("keys", &DualCache::keys, "Every stored key, in key order (a list).")
        .def("keys_with_prefix", &DualCache::keys_with_prefix, "prefix"_a.none(),
             "The stored keys that begin with prefix, in key order (a list).\n"
             "Its cost grows with the keys it returns, not with the whole store.")
        .def("local_keys", &DualCache::local_keys,
             "The keys this machine's levels hold, in key order (a list); never asks the\n"
             "shared level, so it costs no round trip (for completion as a user types).")
        .def("prune", &DualCache::prune, "stale"_a,
             nb::sig("def prune(self, stale: typing.Callable[[str, typing.Any], object]) -> int"),
             "Remove every entry for which stale(key, value) is true, from every level;\n"
             "entries only the shared level holds are read without being kept here.\n"
             "Returns how many went.")
        .def("stats", &DualCache::stats,
             "directory, entries, disk_bytes (what its files take: disk_data_bytes of the\n"
             "database, disk_log_bytes of its write-ahead log), disk_limit and disk (ok,\n"
             "read-only or unavailable) of the store; memory_entries, memory_bytes,\n"
             "memory_limit and memory_only (entries the disk has not got yet) of its memory\n"
             "level; shared (see the shared property).")
        .def_prop_ro("shared", &DualCache::shared_state,
                     "None without a shared level; else url (without credentials), state (ok\n"
                     "or unavailable), unsent (writes and removals it is still to get),\n"
                     "unsent_bytes (their values) and set_aside (changes it refused, kept on\n"
                     "this machine only).")
        .def_prop_rw("memoryLimit", &DualCache::memory_limit, &DualCache::set_memory_limit,
                     "Bytes the memory level may hold; the least recently used entries leave\n"
                     "it first (they stay on disk). It bounds what one read makes too (at least\n"
                     "256 MiB): a stored value that would make more is a miss, removed.")
        .def_prop_rw("diskLimit", &DualCache::disk_limit, &DualCache::set_disk_limit,
                     "Bytes the store's files may take, its write-ahead log included; past it,\n"
                     "the least recently used entries are removed as the next entry is written.")
        .def("close", &DualCache::close,
             "Write what only memory holds to the disk (one log line says what it could not),\n"
             "and release the database; later calls raise StoreError. Stores still open are\n"
             "closed as the interpreter exits.");
    // What only memory holds is the one copy there is: a program that ends without
    // closing its stores gets the same last attempt to write it.
    nb::module_::import_("atexit").attr("register")(nb::cpp_function(&DualCache::close_every_open));

    module.def(
        "check_cache_url", [](const std::string &url) { return cache_address(url).described(); },
        "url"_a,
        "The shared cache's address without credentials (redis://host:port/db); ValueError,\n"
        "saying what is wrong, when the URL cannot be used. The message never repeats the URL.");
}

}  // namespace veltrax::store
