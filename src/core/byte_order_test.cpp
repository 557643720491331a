#include "core/byte_order.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace {

// The words come out of the bytes alike on a little-endian host and on the big-endian board,
// high bits in the top byte and in the bottom byte, and go back into the same bytes.
TEST(ByteOrder, WordsReadAndWriteTheSameBytesOnEveryHost) {
    struct Case {
        std::array<std::uint8_t, 4> bytes;
        std::uint32_t bigEndian32;
        std::uint16_t littleEndian16;  // of the first two bytes
    };
    const Case cases[] = {
        {{0x12, 0x34, 0x56, 0x78}, 0x12345678u, 0x3412u},
        {{0x80, 0x00, 0x00, 0x01}, 0x80000001u, 0x0080u},
        {{0x00, 0xFF, 0x7F, 0x00}, 0x00FF7F00u, 0xFF00u},
        {{0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFFFFFFu, 0xFFFFu},
        {{0x00, 0x00, 0x00, 0x00}, 0u, 0u},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bigEndian32);
        EXPECT_EQ(readBigEndian32(c.bytes.data()), c.bigEndian32);
        EXPECT_EQ(readLittleEndian16(c.bytes.data()), c.littleEndian16);

        std::array<std::uint8_t, 4> written{};
        writeBigEndian32(written.data(), c.bigEndian32);
        EXPECT_EQ(written, c.bytes);
        std::array<std::uint8_t, 2> low{};
        writeLittleEndian16(low.data(), c.littleEndian16);
        EXPECT_EQ(low[0], c.bytes[0]);
        EXPECT_EQ(low[1], c.bytes[1]);
    }
    // Not the host's own order: one of the two reads differs from a plain copy of the bytes.
    const std::array<std::uint8_t, 2> pair{0x01, 0x02};
    std::uint16_t host = 0;
    std::memcpy(&host, pair.data(), sizeof host);
    const std::array<std::uint8_t, 4> word{0x01, 0x02, 0x03, 0x04};
    std::uint32_t host32 = 0;
    std::memcpy(&host32, word.data(), sizeof host32);
    EXPECT_NE(host == readLittleEndian16(pair.data()), host32 == readBigEndian32(word.data()));
}

}  // namespace
