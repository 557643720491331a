#include "image/image_header.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "core/log.h"
#include "tests/support/board.h"
#include "tests/support/bytes.h"
#include "tools/common/image_builder.h"

namespace {

Bytes pattern(std::size_t size) {
    Bytes bytes(size);
    std::uint32_t seed = 1;
    for (auto& byte : bytes)
        byte = static_cast<std::uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
    return bytes;
}

// data under a header with both CRCs correct, named "raw"; the words, then the text.
Bytes imageOf(std::initializer_list<std::uint32_t> words, const std::string& text = "",
              std::uint8_t type = kMultiFileImageType) {
    Bytes data;
    for (std::uint32_t word : words) {
        data.resize(data.size() + 4);
        writeBigEndian32(data.data() + data.size() - 4, word);
    }
    data.insert(data.end(), text.begin(), text.end());
    std::string error;
    Bytes image = *mkupdate::imageHeader(data, "raw", type, &error);
    image.insert(image.end(), data.begin(), data.end());
    return image;
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

// Over a heap copy of exactly the image's bytes, so that the address sanitizer sees a read past
// the end; the outputs pre-filled to see what is written.
CheckResult check(const Bytes& image) {
    static const std::regex prefix(
        R"(UPDATE_ERR-0\.1\.0 \d\d:\d\d:\d\d\.\d\d\d: src/update_process \w+ line: \d+: )");
    Bytes copy = image;
    CheckResult r{0, std::string(kImageNameSize + 1, 'x'), 77, ""};
    testing::internal::CaptureStderr();
    r.result = checkHeader(copy.data(), static_cast<std::uint32_t>(copy.size()), r.name.data(),
                           &r.fileCount);
    r.log = std::regex_replace(testing::internal::GetCapturedStderr(), prefix, "ERR ");
    return r;
}

TEST(CheckHeader, AcceptsValidImagesWithNameAndFileCount) {
    std::string error, name32(32, 'N');
    struct Case {
        Bytes image;
        std::string name;  // up to its NUL
        std::int32_t fileCount;
    };
    for (const Case& c : {
             Case{validMultiImage(), "multi", 3},  // its last file unpadded
             Case{*mkupdate::wrapImage(pattern(10), name32, 0, &error), name32, 0},
             Case{imageOf({}, "", 0), "raw", 0},  // 64 bytes, no data
             Case{imageOf({0, 0x11223344}, "", 0), "raw", 0},
             Case{imageOf({3, 5, 0}, "abc-12345---"), "raw", 2},  // the last file padded
         }) {
        CheckResult r = check(c.image);
        EXPECT_EQ(r.result, 1) << c.name;
        EXPECT_TRUE(mkupdate::inspectImage(c.image).valid()) << "the tool's verdict is the same";
        EXPECT_EQ(r.log, "");
        EXPECT_EQ(r.name, c.name + std::string(33 - c.name.size(), '\0'));
        EXPECT_EQ(r.fileCount, c.fileCount) << c.name;
    }
}

TEST(CheckHeader, RefusesWithExactMessagesAndWritesNoOutputs) {
    Bytes filledCrc = validMultiImage();
    writeBigEndian32(filledCrc.data() + kHeaderCrcOffset, calcCrc32(0, filledCrc.data(), 64));
    Bytes tooLong = imageOf({}, std::string(1000, 'd'), 0);  // size checked before data CRC
    tooLong.push_back(0);
    const std::string noEnd =
        "multi-file image: list of file sizes not ended by 0 within the data\n";
    const std::string beyond = "multi-file image: file 1 of ";
    std::string report;
    for (auto [image, message] : {
             std::pair<Bytes, std::string>{filledCrc, "Bad Header Checksum\n"},
             {tooLong, "image file size 1001 not equal image data size 1000\n"},
             {imageOf({4, 4, 4}), noEnd},
             {imageOf({4}, std::string(3, '\0')), noEnd},  // the 0 cut short
             {imageOf({}), noEnd},
             {imageOf({3, 5, 0}, "abc-1234"), beyond + "5 Bytes reaches beyond the data\n"},
             {imageOf({8, 0xFFFFFFFC, 0, 0, 0}),  // would wrap an offset
              beyond + "4294967292 Bytes reaches beyond the data\n"},
         }) {
        CheckResult r = check(image);
        EXPECT_EQ(r.result, -1) << message;
        EXPECT_EQ(r.log, "ERR " + message);
        EXPECT_EQ(r.fileCount, 77) << message;
        EXPECT_EQ(r.name, std::string(33, 'x'));
        report += message;
    }
    EXPECT_EQ(readWholeFile(kUpdateReportPath), report);
}

}  // namespace
