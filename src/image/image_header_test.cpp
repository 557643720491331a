#include "image/image_header.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "core/log.h"
#include "tests/support/board.h"
#include "tools/mkupdate/image_builder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes pattern(std::size_t size) {
    Bytes bytes(size);
    std::uint32_t seed = 1;
    for (auto& byte : bytes)
        byte = static_cast<std::uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
    return bytes;
}

// An image of exactly data under a header with both CRCs correct, named "raw".
Bytes imageOf(const Bytes& data, std::uint8_t type = kMultiFileImageType) {
    std::string error;
    Bytes image = *mkupdate::imageHeader(data, "raw", type, &error);
    image.insert(image.end(), data.begin(), data.end());
    return image;
}

Bytes sizeList(std::initializer_list<std::uint32_t> sizes, const std::string& files = "") {
    Bytes list;
    for (std::uint32_t size : sizes) {
        list.resize(list.size() + 4);
        writeBigEndian32(list.data() + list.size() - 4, size);
    }
    list.insert(list.end(), files.begin(), files.end());
    return list;
}

Bytes validMultiImage() {  // file sizes 9, 21, 13
    std::string error;
    return *mkupdate::buildMultiImage({bytesOf("file zero"), pattern(21), bytesOf("the last file")},
                                      "multi", &error);
}

struct CheckResult {
    int result;
    std::string name;  // all 33 bytes
    std::int32_t fileCount;
    std::string log;  // "ERR <message>" per entry
};

// checkHeader over a heap copy of exactly length bytes, so that a read past the end shows
// under the address sanitizer; the outputs pre-filled to see what is written.
CheckResult check(const Bytes& image, std::size_t length) {
    static const std::regex prefix(
        R"(UPDATE_ERR-0\.1\.0 \d\d:\d\d:\d\d\.\d\d\d: src/update_process \w+ line: \d+: )");
    Bytes copy(image.begin(), image.begin() + static_cast<long>(length));
    char name[kImageNameSize + 1];
    std::memset(name, 'x', sizeof name);
    std::int32_t fileCount = 77;
    testing::internal::CaptureStderr();
    int result = checkHeader(copy.data(), static_cast<std::uint32_t>(length), name, &fileCount);
    std::string log = std::regex_replace(testing::internal::GetCapturedStderr(), prefix, "ERR ");
    return {result, std::string(name, sizeof name), fileCount, log};
}
CheckResult check(const Bytes& image) { return check(image, image.size()); }

TEST(CalcCrc32, KnownValuesNullPointerAndEmptyInput) {
    for (auto [input, crc] : {std::pair<std::string, std::uint32_t>{"123456789", 0xCBF43926u},
                              {"a", 0xE8B7BE43u},
                              {std::string(32, '\0'), 0x190A55ADu},
                              {std::string(32, '\xFF'), 0xFF6CAB0Bu}}) {
        EXPECT_EQ(calcCrc32(0, bytesOf(input).data(), input.size()), crc) << input;
    }
    std::uint8_t byte = 1;
    EXPECT_EQ(calcCrc32(0x12345678, nullptr, 10), 0u);
    EXPECT_EQ(calcCrc32(0x12345678, nullptr, 0), 0u);
    EXPECT_EQ(calcCrc32(0x12345678, &byte, 0), 0x12345678u);
}

// The word-wise braids against the byte path (pinned by the known values above), at every
// length over several blocks and every alignment; two chained pieces give the whole.
TEST(CalcCrc32, WordPathMatchesBytesChainedOneByOneAtEveryLengthAndAlignment) {
    Bytes data = pattern(420 + 16);
    for (std::size_t offset = 0; offset < 16; ++offset) {
        const std::uint8_t* start = data.data() + offset;
        std::uint32_t bytewise = 0x5A5A5A5A;
        for (std::size_t length = 0; length <= 420; ++length) {
            ASSERT_EQ(calcCrc32(0x5A5A5A5A, start, length), bytewise) << offset << " " << length;
            std::size_t split = length / 3;
            ASSERT_EQ(calcCrc32(calcCrc32(0x5A5A5A5A, start, split), start + split, length - split),
                      bytewise);
            if (length < 420) bytewise = calcCrc32(bytewise, start + length, 1);
        }
    }
}

TEST(CheckHeader, AcceptsValidImagesWithNameAndFileCount) {
    std::string error;
    std::string name32(32, 'N');
    struct Case {
        Bytes image;
        std::string name;  // up to its NUL
        std::int32_t fileCount;
    };
    for (const Case& c : {
             Case{validMultiImage(), "multi", 3},  // its last file unpadded
             Case{*mkupdate::wrapImage(pattern(10), name32, 0, &error), name32, 0},
             Case{imageOf({}, 0), "raw", 0},  // 64 bytes, no data
             Case{imageOf(sizeList({0, 0x11223344})), "raw", 0},
             // The last file padded, as other tools do.
             Case{imageOf(sizeList({3, 5, 0}, "abc-12345---")), "raw", 2},
         }) {
        CheckResult result = check(c.image);
        EXPECT_EQ(result.result, 1) << c.name;
        EXPECT_EQ(result.log, "");
        EXPECT_EQ(result.name, c.name + std::string(33 - c.name.size(), '\0'));
        EXPECT_EQ(result.fileCount, c.fileCount) << c.name;
    }
}

// Bad magic numbers and data checksums: the bit flips below.
TEST(CheckHeader, RefusesWithExactMessagesAndWritesNoOutputs) {
    Bytes filledCrc = validMultiImage();
    writeBigEndian32(filledCrc.data() + kHeaderCrcOffset, calcCrc32(0, filledCrc.data(), 64));
    Bytes tooLong = imageOf(pattern(1000), 0);  // the size is checked before the data CRC
    tooLong.push_back(0);
    Bytes cutList = sizeList({4, 0});
    cutList.pop_back();
    const std::string noEnd =
        "multi-file image: list of file sizes not ended by 0 within the data\n";
    struct Case {
        Bytes image;
        std::string message;
    };
    std::string report;
    for (const Case& c : {
             Case{filledCrc, "Bad Header Checksum\n"},
             Case{tooLong, "image file size 1001 not equal image data size 1000\n"},
             Case{imageOf(sizeList({4, 4, 4})), noEnd},
             Case{imageOf(cutList), noEnd},
             Case{imageOf({}), noEnd},
             Case{imageOf(sizeList({3, 5, 0}, "abc-1234")),
                  "multi-file image: file 1 of 5 Bytes reaches beyond the data\n"},
             Case{imageOf(sizeList({8, 0xFFFFFFFC, 0, 0, 0})),  // would wrap an offset
                  "multi-file image: file 1 of 4294967292 Bytes reaches beyond the data\n"},
         }) {
        CheckResult result = check(c.image);
        EXPECT_EQ(result.result, -1) << c.message;
        EXPECT_EQ(result.log, "ERR " + c.message);
        EXPECT_EQ(result.fileCount, 77) << c.message;
        EXPECT_EQ(result.name, std::string(33, 'x'));
        report += c.message;
    }
    EXPECT_EQ(readWholeFile(kUpdateReportPath), report);
}

TEST(CheckHeader, EveryPrefixAndEverySingleBitFlipOfAValidImageIsRefused) {
    Bytes image = validMultiImage();
    for (std::size_t length = 0; length < image.size(); ++length) {
        CheckResult result = check(image, length);
        ASSERT_EQ(result.result, -1) << length;
        EXPECT_EQ(result.fileCount, 77);
        ASSERT_EQ(result.log, length < 64 ? "ERR image file size " + std::to_string(length) +
                                                " shorter than the image header\n"
                                          : "ERR image file size " + std::to_string(length - 64) +
                                                " not equal image data size " +
                                                std::to_string(image.size() - 64) + "\n");
    }
    for (std::size_t bit = 0; bit < image.size() * 8; ++bit) {
        Bytes flipped = image;
        flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        CheckResult result = check(flipped);
        ASSERT_EQ(result.result, -1) << "bit " << bit;
        ASSERT_EQ(result.log, bit < 32    ? "ERR Bad Magic Number\n"
                              : bit < 512 ? "ERR Bad Header Checksum\n"
                                          : "ERR Bad Data Checksum\n")
            << "bit " << bit;
    }
}

}  // namespace
