#include "tools/mkupdate/gzip_reader.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "image/image_header.h"
#include "tests/support/board.h"
#include "tools/mkupdate/gzip_writer.h"

namespace mkupdate {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kLimit = 1 << 24;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string inflated(const Bytes& data, std::size_t limit = kLimit) {
    std::string error;
    auto out = gzipDecompress(data, limit, &error);
    return out ? std::string(out->begin(), out->end()) : "error: " + error;
}

// Text with repeats (dynamic codes) and noise (stored blocks at the best levels), as the
// platform's gzip makes them, one member or several one after the other.
TEST(GzipDecompress, ReadsWhatThePlatformsGzipAndTheToolWrite) {
    std::string text, noise(100000, '\0');
    for (int i = 0; i < 3000; ++i) text += "line " + std::to_string(i % 97) + " of the to-do\n";
    std::uint32_t seed = 7;
    for (char& c : noise) c = static_cast<char>((seed = seed * 1664525u + 1013904223u) >> 24);
    writeWholeFile("/tmp/text", text);
    writeWholeFile("/tmp/noise", noise);
    writeWholeFile("/tmp/empty", "");
    const struct {
        const char* command;
        std::string expected;
    } cases[] = {
        {"gzip -9 -c /tmp/text", text},
        {"gzip -1 -N -c /tmp/text", text},  // with the file name in the header
        {"gzip -9 -c /tmp/noise", noise},
        {"gzip -c /tmp/empty", ""},
        {"gzip -c /tmp/text; gzip -c /tmp/noise", text + noise},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        ASSERT_EQ(std::system((std::string("(") + c.command + ") > /tmp/data.gz").c_str()), 0);
        EXPECT_TRUE(inflated(bytesOf(readWholeFile("/tmp/data.gz"))) == c.expected);
    }
    EXPECT_TRUE(inflated(gzipCompress(bytesOf(text + noise + text))) == text + noise + text);
}

// A member with every optional header field: extra field, name, comment, header CRC.
TEST(GzipDecompress, SkipsTheOptionalHeaderFields) {
    Bytes plain = gzipCompress(bytesOf("payload"));
    Bytes member{0x1F, 0x8B, 8, 0x1E, 0, 0, 0, 0, 0, 3, 3, 0, 'x', 'y', 'z', 'n', 0, 'c', 0};
    std::uint32_t crc = calcCrc32(0, member.data(), member.size());
    member.push_back(static_cast<std::uint8_t>(crc));
    member.push_back(static_cast<std::uint8_t>(crc >> 8));
    member.insert(member.end(), plain.begin() + 10, plain.end());
    EXPECT_EQ(inflated(member), "payload");
    member[19] ^= 1;
    EXPECT_EQ(inflated(member), "error: gzip header checksum mismatch");
}

TEST(GzipDecompress, RefusesDamagedDataWithItsReason) {
    Bytes good = gzipCompress(bytesOf("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa update"));
    auto changed = [&](std::size_t at, std::uint8_t value) {
        Bytes data = good;
        data[at] = value;
        return data;
    };
    Bytes trailing = good;
    trailing.insert(trailing.end(), 4, 0);
    // A stored block of 2 bytes whose length complement is wrong.
    Bytes stored{0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3, 1, 2, 0, 0xFD, 0xFE, 'h', 'i'};
    const struct {
        Bytes data;
        std::string message;
    } cases[] = {
        {{}, "not gzip data"},
        {changed(2, 9), "unknown compression method"},
        {changed(3, 0x20), "reserved header flags set"},
        {changed(10, 0x07), "invalid block type 3"},
        {changed(good.size() - 8, good[good.size() - 8] ^ 1), "data checksum mismatch"},
        {changed(good.size() - 4, 0), "data length mismatch"},
        {Bytes(good.begin(), good.end() - 5), "gzip trailer cut short"},
        {Bytes(good.begin(), good.begin() + 12), "deflate data cut short"},
        {trailing, "4 bytes after the gzip data"},
        {stored, "stored block length doesn't match its complement"},
    };
    for (const auto& c : cases) EXPECT_EQ(inflated(c.data), "error: " + c.message);
    EXPECT_EQ(inflated(good, 54), "error: decompressed data longer than 54 bytes");
    EXPECT_EQ(inflated(good, 55), "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa update");
}

// Every prefix and every single-bit flip of a member with dynamic codes: refused, or (a flip
// in a header field that nothing checks) the same data; never a read outside the input.
TEST(GzipDecompress, CutAndFlippedDataNeverReadsOutsideItsInput) {
    std::string text;
    for (int i = 0; i < 40; ++i) text += "BT_MOD_SET_READ " + std::to_string(i * i) + "\n";
    writeWholeFile("/tmp/text", text);
    ASSERT_EQ(std::system("gzip -9 -n -c /tmp/text > /tmp/text.gz"), 0);
    const Bytes good = bytesOf(readWholeFile("/tmp/text.gz"));
    std::string accepted;
    for (std::size_t i = 0; i < good.size() * 9; ++i) {
        Bytes data(good.begin(), good.begin() + static_cast<long>(std::min(i, good.size())));
        if (i >= good.size()) data[(i - good.size()) / 8] ^= 1u << ((i - good.size()) % 8);
        std::string out = inflated(data);
        if (out.rfind("error: ", 0) != 0 && out != text) accepted += std::to_string(i) + " ";
    }
    EXPECT_EQ(accepted, "");
}

}  // namespace
}  // namespace mkupdate
