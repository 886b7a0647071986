#include <gtest/gtest.h>

#include <string>

#include "dualcache/bytes_io.hpp"
#include "dualcache/checksum.hpp"
#include "dualcache/frame.hpp"

namespace veltrax::store {
namespace {

std::string counting(std::size_t size) {
    std::string bytes;
    for (std::size_t i = 0; i < size; ++i) bytes.push_back(static_cast<char>(i));
    return bytes;
}

TEST(Checksum, MatchesReferenceXxh64) {
    EXPECT_EQ(xxh64(""), 0xef46db3751d8e999ULL);
    EXPECT_EQ(xxh64("abc"), 0x44bc2cf5ad770999ULL);
    EXPECT_EQ(xxh64("abc", 7), 0x9e755206156676d7ULL);
    EXPECT_EQ(xxh64(counting(40)), 0xf5da40f1b11741e9ULL);  // one stripe and a tail
    EXPECT_EQ(xxh64("0123456789abcdef0123456789abcdefXYZWabc"), 0x51037daeacbcccccULL);
    std::string long_input;
    for (int i = 0; i < 3; ++i) long_input += counting(256);
    EXPECT_EQ(xxh64(long_input + "x"), 0xf2cd34f433354cc5ULL);
}

std::string sealed(std::string_view body) {
    ByteWriter writer = start_frame();
    writer.raw(body);
    return seal_frame(std::move(writer));
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
