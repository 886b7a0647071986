// Whether a level of the store behind memory can be used now, and when to try
// again one that failed. While it is away the store keeps entries in memory;
// one line reports the start of an outage, and one its end.
#pragma once

#include <chrono>

namespace veltrax::store {

class Availability {
public:
    using Clock = std::chrono::steady_clock;

    explicit Availability(Clock::duration retry_after) : retry_after_(retry_after) {}

    bool readable() const { return readable_; }
    bool writable() const { return writable_; }
    bool whole() const { return readable_ && writable_; }

    // A level that cannot be read is not written either; one that cannot be
    // written may still be read (a full disk still holds what it has). Returns
    // true for the failure that starts an outage: the one to report.
    bool failed(bool reading, Clock::time_point now) {
        bool starts = whole();
        writable_ = false;
        if (reading) readable_ = false;
        retry_at_ = now + retry_after_;
        return starts;
    }

    // Time to try a level that failed again.
    bool due(Clock::time_point now) const { return !whole() && now >= retry_at_; }

    // A try that found the level usable (for reading at least). Returns true
    // when that ends an outage: the one to report.
    bool restored(bool writable, Clock::time_point now) {
        readable_ = true;
        writable_ = writable;
        if (!writable) retry_at_ = now + retry_after_;
        return writable;
    }

    Clock::duration retry_after() const { return retry_after_; }

private:
    Clock::duration retry_after_;
    Clock::time_point retry_at_{};
    bool readable_ = true;
    bool writable_ = true;
};

}  // namespace veltrax::store
