#include <gtest/gtest.h>

#include <string>

#include "dualcache/bytes_io.hpp"
#include "dualcache/frame.hpp"

namespace veltrax::store {
namespace {

std::string sealed(std::string_view body) {
    ByteWriter writer = start_frame();
    writer.raw(body);
    return seal_frame(std::move(writer), 1);
}

std::string from_hex(std::string_view hex) {
    std::string bytes;
    for (std::size_t at = 0; at + 1 < hex.size(); at += 2)
        bytes.push_back(static_cast<char>(std::stoi(std::string(hex.substr(at, 2)), nullptr, 16)));
    return bytes;
}

// A daily bar entry as the store wrote it before its checksum came from the
// xxHash library: the same algorithm and seeds seal it to the same bytes.
TEST(Frame, SealsAsEarlierVersionsDid) {
    std::string earlier = from_hex(
        "56580100dc1e53a46cb9fc090702046261727308010404646174650300047a4e000005636c6f736501000800"
        "0000000000f03f0761766572616765010008000000000000f03f08626172436f756e74000008010000000000"
        "0000096361636865645f6174050000000000000040");
    Frame frame = open_frame(earlier);
    EXPECT_EQ(frame.version, 1);
    EXPECT_EQ(sealed(frame.body), earlier);
}

TEST(Frame, OpensWhatItSealed) {
    std::string stored = sealed("payload");
    Frame frame = open_frame(stored);
    EXPECT_EQ(frame.version, 1);
    EXPECT_EQ(frame.body, "payload");
}

TEST(Frame, EveryFlippedBitOrCutIsCaught) {
    std::string stored = sealed("some bytes of a stored value");
    for (std::size_t at = 0; at < stored.size(); ++at) {
        for (int bit = 0; bit < 8; ++bit) {
            std::string damaged = stored;
            damaged[at] = static_cast<char>(damaged[at] ^ (1 << bit));
            EXPECT_THROW(open_frame(damaged), FormatError) << "byte " << at << " bit " << bit;
        }
    }
    for (std::size_t size = 0; size < stored.size(); ++size)
        EXPECT_THROW(open_frame(stored.substr(0, size)), FormatError) << "cut to " << size;
}

TEST(ByteReader, NeverReadsPastTheEnd) {
    ByteWriter writer;
    writer.varint(300);
    writer.text("abc");
    writer.fixed<double>(-0.0);
    ByteReader reader(writer.bytes());
    EXPECT_EQ(reader.varint(), 300u);
    EXPECT_EQ(reader.text(), "abc");
    EXPECT_EQ(reader.fixed<double>(), 0.0);
    EXPECT_EQ(reader.left(), 0u);
    EXPECT_THROW(reader.u8(), FormatError);

    std::string endless(12, '\xff');
    ByteReader runaway(endless);
    EXPECT_THROW(runaway.varint(), FormatError);

    ByteWriter lying;
    lying.varint(1'000'000);  // a count of 8-byte items that are not there
    lying.raw("12345678");
    ByteReader counts(lying.bytes());
    EXPECT_THROW(counts.count(8), FormatError);
}

}  // namespace
}  // namespace veltrax::store
