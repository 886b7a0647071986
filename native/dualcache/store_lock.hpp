// The store's lock, and the rules that keep it from meeting the GIL:
// - waiting for the lock never holds the GIL (its holder may need the GIL to finish);
// - Python code never runs while it is held (that code could call the store again):
//   log lines gathered meanwhile are written, and values that left memory are
//   released, once it is let go;
// - the levels' I/O runs without the GIL (without_gil), under the lock.
// A thread that calls the store from code the store is running gets an error
// instead of a deadlock.
#pragma once

#include <nanobind/nanobind.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dualcache/disk_level.hpp"

namespace veltrax::store {

class StoreLock {
public:
    using Level = DiskLevel::Level;

    // Written through loguru's logger once the lock is let go; a template with "{}"
    // for each value.
    void log(Level level, const char *message, std::vector<std::string> values) {
        lines_.push_back({level, message, std::move(values)});
    }
    void release_later(nanobind::object value) { gone_.push_back(std::move(value)); }
    void release_later(std::vector<nanobind::object> values);

    // The lock for one operation; it may be let go for a while (release, then
    // acquire) to run Python code in the middle of one.
    class Held {
    public:
        explicit Held(StoreLock &lock) : lock_(lock) { acquire(); }
        ~Held() {
            if (held_) release();
        }
        Held(const Held &) = delete;
        Held &operator=(const Held &) = delete;

        void acquire();
        void release() noexcept;

    private:
        StoreLock &lock_;
        bool held_ = false;
    };

private:
    struct LogLine {
        Level level;
        const char *message;
        std::vector<std::string> values;
    };
    static void write(const LogLine &line) noexcept;

    std::mutex mutex_;
    std::atomic<std::thread::id> holder_;
    std::vector<LogLine> lines_;          // written once the lock is let go
    std::vector<nanobind::object> gone_;  // released once the lock is let go
};

template <typename Work>
auto without_gil(Work &&work) -> decltype(work()) {
    nanobind::gil_scoped_release released;
    return work();
}

}  // namespace veltrax::store
