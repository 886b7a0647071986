// When a level of the store behind memory (the disk, the shared Redis) can be
// used, and when to try again one that failed. Both levels follow this one rule:
// the failure that starts an outage is the one to report (one warning line), the
// try that ends it the other (one "works again" line); in between the level is
// left alone until its wait is over. The first wait is `first_retry`; each failure
// after it doubles the wait up to `longest_retry` (the same two: a fixed period).
#pragma once

#include <algorithm>
#include <chrono>

namespace veltrax::store {

class OutagePolicy {
public:
    using Clock = std::chrono::steady_clock;

    OutagePolicy(Clock::duration first_retry, Clock::duration longest_retry)
        : first_retry_(first_retry), longest_retry_(longest_retry), wait_(first_retry) {}
    static OutagePolicy fixed(Clock::duration period) { return {period, period}; }

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
        retry_at_ = now + wait_;
        wait_ = std::min(wait_ * 2, longest_retry_);
        return starts;
    }

    // Time to try a level that failed again.
    bool due(Clock::time_point now) const { return !whole() && now >= retry_at_; }

    // A try that found the level usable (for reading at least; one that stays
    // unwritable is tried again after the current wait). Returns true when that
    // ends an outage: the one to report.
    bool restored(bool writable, Clock::time_point now) {
        bool ends = !whole() && writable;
        readable_ = true;
        writable_ = writable;
        if (writable)
            wait_ = first_retry_;
        else
            retry_at_ = now + wait_;
        return ends;
    }

    // The wait between tries once it has grown to its longest.
    Clock::duration longest_retry() const { return longest_retry_; }

private:
    Clock::duration first_retry_;
    Clock::duration longest_retry_;
    Clock::duration wait_;
    Clock::time_point retry_at_{};
    bool readable_ = true;
    bool writable_ = true;
};

}  // namespace veltrax::store
