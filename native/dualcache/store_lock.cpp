#include "dualcache/store_lock.hpp"

#include <iterator>
#include <stdexcept>

#include "dualcache/python_values.hpp"

namespace veltrax::store {

namespace nb = nanobind;

void StoreLock::release_later(std::vector<nb::object> values) {
    std::move(values.begin(), values.end(), std::back_inserter(gone_));
}

void StoreLock::Held::acquire() {
    // Only this thread ever finds its own id here: no ordering is needed.
    std::thread::id me = std::this_thread::get_id();
    if (lock_.holder_.load(std::memory_order_relaxed) == me)
        throw std::runtime_error("DualCache was used by code that it was running itself");
    if (!lock_.mutex_.try_lock()) {
        nb::gil_scoped_release released;
        lock_.mutex_.lock();
    }
    lock_.holder_.store(me, std::memory_order_relaxed);
    held_ = true;
}

void StoreLock::Held::release() noexcept {
    std::vector<LogLine> lines;
    std::vector<nb::object> gone;
    if (!lock_.lines_.empty()) lines.swap(lock_.lines_);
    if (!lock_.gone_.empty()) gone.swap(lock_.gone_);
    lock_.holder_.store(std::thread::id(), std::memory_order_relaxed);
    lock_.mutex_.unlock();
    held_ = false;
    for (const LogLine &line : lines) write(line);
    gone.clear();
}

void StoreLock::write(const LogLine &line) noexcept {
    try {
        nb::list values = new_list();
        for (const std::string &value : line.values) values.append(text_object(value));
        const char *level = line.level == Level::info ? "info" : "warning";
        module_globals().get("logger").attr(level)(line.message, *values);
    } catch (nb::python_error &error) {
        error.discard_as_unraisable("logging a line of the cache store");
    } catch (...) {
    }
}

}  // namespace veltrax::store
