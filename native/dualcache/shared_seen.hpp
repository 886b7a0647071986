// What a store last knew the shared level to hold under a key: nothing known, no
// value, or the value of this version. A value's version is the checksum its sealed
// frame carries (frame_version), which the shared level can read with GETRANGE
// without sending the value.
#pragma once

#include <cstdint>

namespace veltrax::store {

struct SharedSeen {
    enum class State : std::uint8_t { unknown, absent, value };
    State state = State::unknown;
    std::uint64_t version = 0;

    static SharedSeen absent() { return {State::absent, 0}; }
    static SharedSeen value(std::uint64_t version) { return {State::value, version}; }
    bool known() const { return state != State::unknown; }
    bool operator==(const SharedSeen &) const = default;
};

}  // namespace veltrax::store
