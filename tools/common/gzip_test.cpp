#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <string>

#include "tests/support/board.h"
#include "tests/support/bytes.h"
#include "tools/common/gzip_reader.h"
#include "tools/common/gzip_writer.h"

namespace mkupdate {
namespace {

constexpr std::size_t kLimit = 1 << 24;

std::string inflated(const Bytes& data, std::size_t limit = kLimit) {
    std::string error;
    auto out = gzipDecompress(data, limit, &error);
    return out ? std::string(out->begin(), out->end()) : "error: " + error;
}

Bytes noise(std::size_t size, std::uint32_t seed) {
    Bytes bytes(size);
    for (auto& byte : bytes)
        byte = static_cast<std::uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
    return bytes;
}

// Empty data, long runs, noise, and repeats at distances up to and beyond the 32 KiB window:
// the board's gunzip and the tool's own reading restore them; the header carries no time
// and no name, and the same operating system byte wherever the image is made.
TEST(GzipCompress, BoardsGunzipAndTheToolRestoreEveryKindOfData) {
    Bytes random = noise(70000, 5), repeats;
    for (long length : {3, 258, 259, 32768, 40000})
        for (int twice = 0; twice < 2; ++twice)
            std::copy_n(random.begin(), length, std::back_inserter(repeats));
    for (const Bytes& data : {Bytes{}, Bytes(100000, 0), random, repeats}) {
        SCOPED_TRACE(data.size());
        Bytes packed = gzipCompress(data);
        ASSERT_GE(packed.size(), 10u);
        EXPECT_EQ(Bytes(packed.begin(), packed.begin() + 10),
                  (Bytes{0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 2, 3}));
        writeWholeFile("/tmp/data.gz", packed);
        ASSERT_EQ(std::system("gunzip -c /tmp/data.gz > /tmp/data"), 0);
        EXPECT_TRUE(readWholeFile("/tmp/data") == std::string(data.begin(), data.end()));
        EXPECT_TRUE(inflated(packed) == std::string(data.begin(), data.end()));
    }
}

// The archive lands in the board's RAM-backed /tmp: text is packed at least as well as by
// gzip -9 (within 1%), and incompressible firmware barely grows.
TEST(GzipCompress, PacksAsWellAsGzipAndBarelyGrowsNoise) {
    std::string text;
    for (int i = 0; i < 3000; ++i) text += "&" + std::to_string(1000 + i % 97) + " = 0001 0002\r\n";
    writeWholeFile("/tmp/text", text);
    ASSERT_EQ(std::system("gzip -9 -n -c /tmp/text > /tmp/text.gz"), 0);
    EXPECT_LE(gzipCompress(bytesOf(text)).size() * 100, readWholeFile("/tmp/text.gz").size() * 101);
    Bytes random = noise(1 << 20, 11);
    EXPECT_LT(gzipCompress(random).size() * 1000, random.size() * 1001);
}

// What the platform's gzip writes: best and fastest, with a file name in the header, several
// members one after the other.
TEST(GzipDecompress, ReadsWhatThePlatformsGzipWrites) {
    std::string text;
    for (int i = 0; i < 3000; ++i) text += "line " + std::to_string(i % 97) + " of the to-do\n";
    Bytes random = noise(100000, 7);
    writeWholeFile("/tmp/text", text);
    writeWholeFile("/tmp/noise", random);
    const struct {
        const char* command;
        std::string expected;
    } cases[] = {
        {"gzip -9 -c /tmp/text", text},
        {"gzip -1 -N -c /tmp/text", text},
        {"gzip -c /tmp/text; gzip -c /tmp/noise", text + std::string(random.begin(), random.end())},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        ASSERT_EQ(std::system((std::string("(") + c.command + ") > /tmp/data.gz").c_str()), 0);
        EXPECT_TRUE(inflated(bytesOf(readWholeFile("/tmp/data.gz"))) == c.expected);
    }
}

TEST(GzipDecompress, RefusesDamagedDataWithItsReason) {
    const std::string payload = "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa update";
    const Bytes good = gzipCompress(bytesOf(payload));
    Bytes trailing = good, flipped = good;
    trailing.insert(trailing.end(), 4, 0);
    flipped[good.size() - 8] ^= 1;
    const struct {
        Bytes data;
        std::string message;
    } cases[] = {
        {{}, "not gzip data"},
        {bytesOf("PPCBOOT\n"), "not gzip data"},
        {flipped, "damaged gzip data: incorrect data check"},
        {Bytes(good.begin(), good.end() - 5), "gzip data cut short"},
        {trailing, "bytes after the gzip data"},
    };
    for (const auto& c : cases) EXPECT_EQ(inflated(c.data), "error: " + c.message);
    EXPECT_EQ(inflated(good, 54), "error: decompressed data longer than 54 bytes");
    EXPECT_EQ(inflated(good, 55), payload);
}

}  // namespace
}  // namespace mkupdate
