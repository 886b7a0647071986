// _store_faults: an SQLite VFS over the default one that fails on request, for
// the store's tests. Imported, it becomes the process's default VFS, so every
// connection opened afterwards goes through it; files under the path given to
// fail() then behave as on a full disk, a failing disk, or a read-only one, and
// those under the path given to quota() as on a small file system of their own.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>

namespace {

namespace nb = nanobind;

enum class Fault { none, full, io, read_only };

std::mutex armed_mutex;
Fault armed = Fault::none;
std::string armed_prefix;
// The small file system: what SQLite's files under the prefix may take in all
// (the WAL index, which SQLite maps rather than writes, aside).
std::string quota_prefix;
std::int64_t quota_bytes = -1;  // none
std::map<std::string, int> open_paths;  // files open through this VFS, with their handles

sqlite3_vfs *real_vfs = nullptr;
sqlite3_vfs faulty_vfs;

struct FaultyFile {
    sqlite3_file base;
    sqlite3_file *real;  // in the same allocation, after this struct
    char path[4096];
};

Fault fault_for(const char *path) {
    std::lock_guard lock(armed_mutex);
    if (!path || armed == Fault::none || std::strncmp(path, armed_prefix.c_str(), armed_prefix.size()))
        return Fault::none;
    return armed;
}

Fault fault_of(sqlite3_file *file) { return fault_for(reinterpret_cast<FaultyFile *>(file)->path); }
sqlite3_file *real_of(sqlite3_file *file) { return reinterpret_cast<FaultyFile *>(file)->real; }

std::int64_t size_of(const std::string &path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 ? info.st_size : 0;
}

// Whether growing the file to `size` bytes fits in the quota of its file system.
bool fits(sqlite3_file *file, std::int64_t size) {
    const char *path = reinterpret_cast<FaultyFile *>(file)->path;
    std::lock_guard lock(armed_mutex);
    if (quota_bytes < 0 || std::strncmp(path, quota_prefix.c_str(), quota_prefix.size())) return true;
    std::int64_t taken = size - size_of(path);
    if (taken <= 0) return true;
    for (const auto &[open, handles] : open_paths)
        if (!open.compare(0, quota_prefix.size(), quota_prefix)) taken += size_of(open);
    return taken <= quota_bytes;
}

int file_close(sqlite3_file *file) {
    int rc = real_of(file)->pMethods ? real_of(file)->pMethods->xClose(real_of(file)) : SQLITE_OK;
    if (file->pMethods) {
        std::lock_guard lock(armed_mutex);
        auto open = open_paths.find(reinterpret_cast<FaultyFile *>(file)->path);
        if (open != open_paths.end() && --open->second == 0) open_paths.erase(open);
    }
    file->pMethods = nullptr;
    return rc;
}

int file_read(sqlite3_file *file, void *data, int amount, sqlite3_int64 offset) {
    if (fault_of(file) == Fault::io) return SQLITE_IOERR_READ;
    return real_of(file)->pMethods->xRead(real_of(file), data, amount, offset);
}

int file_write(sqlite3_file *file, const void *data, int amount, sqlite3_int64 offset) {
    switch (fault_of(file)) {
        case Fault::full: return SQLITE_FULL;
        case Fault::io: return SQLITE_IOERR_WRITE;
        case Fault::read_only: return SQLITE_READONLY;
        case Fault::none: break;
    }
    if (!fits(file, offset + amount)) return SQLITE_FULL;
    return real_of(file)->pMethods->xWrite(real_of(file), data, amount, offset);
}

int file_truncate(sqlite3_file *file, sqlite3_int64 size) {
    if (!fits(file, size)) return SQLITE_FULL;
    return real_of(file)->pMethods->xTruncate(real_of(file), size);
}
int file_sync(sqlite3_file *file, int flags) {
    if (fault_of(file) == Fault::io) return SQLITE_IOERR_FSYNC;
    return real_of(file)->pMethods->xSync(real_of(file), flags);
}
int file_size(sqlite3_file *file, sqlite3_int64 *size) {
    return real_of(file)->pMethods->xFileSize(real_of(file), size);
}
int file_lock(sqlite3_file *file, int lock) { return real_of(file)->pMethods->xLock(real_of(file), lock); }
int file_unlock(sqlite3_file *file, int lock) {
    return real_of(file)->pMethods->xUnlock(real_of(file), lock);
}
int file_check_reserved(sqlite3_file *file, int *out) {
    return real_of(file)->pMethods->xCheckReservedLock(real_of(file), out);
}
int file_control(sqlite3_file *file, int op, void *arg) {
    return real_of(file)->pMethods->xFileControl(real_of(file), op, arg);
}
int file_sector_size(sqlite3_file *file) {
    return real_of(file)->pMethods->xSectorSize(real_of(file));
}
int file_device(sqlite3_file *file) {
    return real_of(file)->pMethods->xDeviceCharacteristics(real_of(file));
}
int file_shm_map(sqlite3_file *file, int region, int size, int extend, void volatile **out) {
    // A directory that cannot be written has no room for the WAL's shared-memory file.
    if (fault_of(file) == Fault::read_only) return SQLITE_CANTOPEN;
    return real_of(file)->pMethods->xShmMap(real_of(file), region, size, extend, out);
}
int file_shm_lock(sqlite3_file *file, int offset, int n, int flags) {
    return real_of(file)->pMethods->xShmLock(real_of(file), offset, n, flags);
}
void file_shm_barrier(sqlite3_file *file) { real_of(file)->pMethods->xShmBarrier(real_of(file)); }
int file_shm_unmap(sqlite3_file *file, int remove) {
    return real_of(file)->pMethods->xShmUnmap(real_of(file), remove);
}
int file_fetch(sqlite3_file *file, sqlite3_int64 offset, int amount, void **out) {
    return real_of(file)->pMethods->xFetch(real_of(file), offset, amount, out);
}
int file_unfetch(sqlite3_file *file, sqlite3_int64 offset, void *page) {
    return real_of(file)->pMethods->xUnfetch(real_of(file), offset, page);
}

const sqlite3_io_methods faulty_methods = {
    3,           file_close,      file_read,          file_write,     file_truncate,
    file_sync,   file_size,       file_lock,          file_unlock,    file_check_reserved,
    file_control, file_sector_size, file_device,      file_shm_map,   file_shm_lock,
    file_shm_barrier, file_shm_unmap, file_fetch,     file_unfetch,
};

int vfs_open(sqlite3_vfs *, sqlite3_filename name, sqlite3_file *file, int flags, int *out_flags) {
    auto *faulty = reinterpret_cast<FaultyFile *>(file);
    faulty->base.pMethods = nullptr;
    faulty->real = reinterpret_cast<sqlite3_file *>(faulty + 1);
    faulty->path[0] = '\0';
    if (name) std::strncat(faulty->path, name, sizeof faulty->path - 1);
    int real_flags = flags;
    if (fault_for(name) == Fault::read_only) {
        // As on a read-only file system: the database opens for reading only,
        // and nothing new can be made beside it.
        if (!(flags & SQLITE_OPEN_MAIN_DB)) return SQLITE_CANTOPEN;
        real_flags = (flags & ~(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) | SQLITE_OPEN_READONLY;
    }
    int out = 0;
    int rc = real_vfs->xOpen(real_vfs, name, faulty->real, real_flags, &out);
    if (out_flags) *out_flags = out;
    if (rc == SQLITE_OK) {
        faulty->base.pMethods = &faulty_methods;
        std::lock_guard lock(armed_mutex);
        ++open_paths[faulty->path];
    }
    return rc;
}

int vfs_delete(sqlite3_vfs *, const char *name, int sync_directory) {
    if (fault_for(name) == Fault::read_only) return SQLITE_IOERR_DELETE;
    return real_vfs->xDelete(real_vfs, name, sync_directory);
}
int vfs_access(sqlite3_vfs *, const char *name, int flags, int *out) {
    return real_vfs->xAccess(real_vfs, name, flags, out);
}
int vfs_full_pathname(sqlite3_vfs *, const char *name, int size, char *out) {
    return real_vfs->xFullPathname(real_vfs, name, size, out);
}

void install() {
    real_vfs = sqlite3_vfs_find(nullptr);
    faulty_vfs = *real_vfs;
    faulty_vfs.zName = "veltrax-faults";
    faulty_vfs.szOsFile = static_cast<int>(sizeof(FaultyFile)) + real_vfs->szOsFile;
    faulty_vfs.pNext = nullptr;
    faulty_vfs.xOpen = vfs_open;
    faulty_vfs.xDelete = vfs_delete;
    faulty_vfs.xAccess = vfs_access;
    faulty_vfs.xFullPathname = vfs_full_pathname;
    if (sqlite3_vfs_register(&faulty_vfs, 1) != SQLITE_OK) throw std::runtime_error("cannot register the VFS");
}

}  // namespace

NB_MODULE(_store_faults, module) {
    module.doc() = "Makes SQLite files under a path fail as on a full, failing or read-only disk.";
    install();
    module.def(
        "fail",
        [](std::string prefix, std::string kind) {
            Fault fault = kind == "full"        ? Fault::full
                          : kind == "io"        ? Fault::io
                          : kind == "read-only" ? Fault::read_only
                                                : Fault::none;
            if (fault == Fault::none) throw nb::value_error("kind is full, io or read-only");
            std::lock_guard lock(armed_mutex);
            armed = fault;
            armed_prefix = std::move(prefix);
        },
        nb::arg("prefix"), nb::arg("kind"), "From now on, files under prefix fail as kind says.");
    module.def(
        "quota",
        [](std::string prefix, std::int64_t bytes) {
            std::lock_guard lock(armed_mutex);
            quota_prefix = std::move(prefix);
            quota_bytes = bytes;
        },
        nb::arg("prefix"), nb::arg("bytes"),
        "From now on, SQLite's files under prefix take at most bytes in all: a write past it\n"
        "fails as on a full disk.");
    module.def(
        "clear",
        [] {
            std::lock_guard lock(armed_mutex);
            armed = Fault::none;
            quota_bytes = -1;
        },
        "Files behave again, with room to spare.");
}
