#include "dualcache/pickle_bounds.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "dualcache/bytes_io.hpp"

namespace veltrax::store {
namespace {

constexpr std::size_t budget = std::size_t{256} << 20;

std::string repeated(std::string_view part, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += part;
    return out;
}

// Tuples of two references to the tuple before: 1 KiB that costs 2^64 to hash.
std::string shared_tuples(int depth) {
    std::string pickle("\x80\x05)\x94", 4);
    for (int level = 0; level < depth; ++level)
        pickle += std::string("h") + char(level) + "h" + char(level) + "\x86\x94";
    return pickle + ".";
}

TEST(PickleBound, RefusesWhatNoPicklerWritesOrWhatCostsMoreThanItsBytes) {
    struct Case {
        const char *what;
        std::string pickle;
    };
    const Case cases[] = {
        {"protocol 2", std::string("\x80\x02N.", 4)},
        {"no protocol", "N."},
        {"no end", std::string("\x80\x05N", 3)},
        {"bytes after the end", std::string("\x80\x05N.N", 5)},
        {"a length of 2^40 bytes", std::string("\x80\x05\x8e\x00\x00\x00\x00\x00\x01\x00\x00", 11)},
        {"an int of a negative size", std::string("\x80\x05\x8b\xff\xff\xff\xff.", 8)},
        {"a frame past the end", std::string("\x80\x05\x95\xff\x00\x00\x00\x00\x00\x00\x00N.", 13)},
        {"a memo slot never filled", std::string("\x80\x05h\x00.", 5)},
        {"items without a mark", std::string("\x80\x05]Ne.", 6)},
        {"a dict key without its value", std::string("\x80\x05}(Nu.", 6)},
        {"taking from below a mark", std::string("\x80\x05](a.", 6)},
        {"tuples sharing their items, 64 deep", shared_tuples(64)},
        {"10,000 references to a list of 1,000",
         std::string("\x80\x05]\x94(", 5) + repeated("N", 1000) + "e" +
             repeated(std::string("h\x00" "0", 3), 10000) + "."},
    };
    for (const Case &forged : cases)
        EXPECT_THROW(pickle_bound(forged.pickle, budget), FormatError) << forged.what;
}

TEST(PickleBound, HoldsToItsBudget) {
    std::string pickle = shared_tuples(16);  // 2^16 leaves when hashed
    std::size_t bound = pickle_bound(pickle, budget);
    EXPECT_GT(bound, (std::size_t{1} << 16) * pickle_object_bytes);
    EXPECT_THROW(pickle_bound(pickle, bound - 1), FormatError);
}

}  // namespace
}  // namespace veltrax::store
