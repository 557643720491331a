#include "image/image_header.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "core/log.h"
#include "tests/support/board.h"
#include "tools/mkupdate/image_builder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// CRC-32 one bit at a time, straight from the polynomial: the reference for the table code.
std::uint32_t bitwiseCrc32(std::uint32_t crc, const std::uint8_t* data, std::size_t length) {
    crc = ~crc;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
}

Bytes pattern(std::size_t size, std::uint32_t seed = 1) {
    Bytes bytes(size);
    for (auto& byte : bytes) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(seed >> 16);
    }
    return bytes;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// The log without time stamps and source lines: "ERR <message>" per entry.
std::string messages(const std::string& log) {
    static const std::regex prefix(
        R"(UPDATE_(ERR|LOG)-0\.1\.0 \d\d:\d\d:\d\d\.\d\d\d: src/update_process \w+ line: \d+: )");
    return std::regex_replace(log, prefix, "$1 ");
}

// A header over data built field by field, the CRCs as given.
Bytes rawImage(const Bytes& data, std::uint8_t type, std::uint32_t dataCrc, bool fixHeaderCrc) {
    Bytes image(kImageHeaderSize + data.size(), 0);
    std::copy(data.begin(), data.end(), image.begin() + kImageHeaderSize);
    writeBigEndian32(image.data() + kMagicOffset, kImageMagic);
    writeBigEndian32(image.data() + kDataSizeOffset, static_cast<std::uint32_t>(data.size()));
    writeBigEndian32(image.data() + kDataCrcOffset, dataCrc);
    image[kImageTypeOffset] = type;
    std::memcpy(image.data() + kImageNameOffset, "raw", 3);
    if (fixHeaderCrc) {
        writeBigEndian32(image.data() + kHeaderCrcOffset,
                         bitwiseCrc32(0, image.data(), kImageHeaderSize));
    }
    return image;
}

// A type-4 image whose data is exactly data, CRCs correct.
Bytes multiImageOfData(const Bytes& data) {
    return rawImage(data, kMultiFileImageType, bitwiseCrc32(0, data.data(), data.size()), true);
}

Bytes sizeList(std::initializer_list<std::uint32_t> sizes) {
    Bytes list;
    for (std::uint32_t size : sizes) {
        std::uint8_t word[4];
        writeBigEndian32(word, size);
        list.insert(list.end(), word, word + 4);
    }
    return list;
}

Bytes validMultiImage() {
    std::string error;
    auto image = mkupdate::buildMultiImage(
        {text("file zero"), pattern(21, 7), text("the last file")}, "multi", &error);
    EXPECT_TRUE(image) << error;
    return *image;
}

struct CheckResult {
    int result;
    std::string name;  // all 33 bytes
    std::int32_t fileCount;
    std::string log;  // messages()
};

// checkHeader over exactly the bytes given (a heap copy of their length, so that a read past
// the end shows under the address sanitizer), outputs pre-filled to see what is written.
CheckResult check(const Bytes& image, std::size_t length) {
    std::vector<std::uint8_t> copy(image.begin(), image.begin() + static_cast<long>(length));
    char name[kImageNameSize + 1];
    std::memset(name, 'x', sizeof name);
    std::int32_t fileCount = 77;
    testing::internal::CaptureStderr();
    int result = checkHeader(copy.data(), static_cast<std::uint32_t>(length), name, &fileCount);
    std::string log = messages(testing::internal::GetCapturedStderr());
    return {result, std::string(name, sizeof name), fileCount, log};
}
CheckResult check(const Bytes& image) { return check(image, image.size()); }

TEST(CalcCrc32, StandardCheckValues) {
    EXPECT_EQ(calcCrc32(0, reinterpret_cast<const std::uint8_t*>("123456789"), 9), 0xCBF43926u);
    EXPECT_EQ(calcCrc32(0, reinterpret_cast<const std::uint8_t*>("a"), 1), 0xE8B7BE43u);
    Bytes zeros(32, 0);
    EXPECT_EQ(calcCrc32(0, zeros.data(), zeros.size()), 0x190A55ADu);
    Bytes ones(32, 0xFF);
    EXPECT_EQ(calcCrc32(0, ones.data(), ones.size()), 0xFF6CAB0Bu);
}

TEST(CalcCrc32, NullPointerGivesZeroAndEmptyInputKeepsTheRunningValue) {
    std::uint8_t byte = 1;
    EXPECT_EQ(calcCrc32(0x12345678, nullptr, 10), 0u);
    EXPECT_EQ(calcCrc32(0x12345678, nullptr, 0), 0u);
    EXPECT_EQ(calcCrc32(0x12345678, &byte, 0), 0x12345678u);
    EXPECT_EQ(calcCrc32(0, &byte, 0), 0u);
}

// Every length up to several blocks of the word-wise loop, at every alignment, against the
// bitwise reference: the folding of the parallel registers and the byte tails.
TEST(CalcCrc32, MatchesTheBitwiseReferenceAtEveryLengthAndAlignment) {
    Bytes data = pattern(420 + 16);
    for (std::size_t offset = 0; offset < 16; ++offset) {
        for (std::size_t length = 0; length <= 420; ++length) {
            ASSERT_EQ(calcCrc32(0x5A5A5A5A, data.data() + offset, length),
                      bitwiseCrc32(0x5A5A5A5A, data.data() + offset, length))
                << "offset " << offset << " length " << length;
        }
    }
}

TEST(CalcCrc32, MatchesTheReferenceOverAMebibyte) {
    Bytes data = pattern(1 << 20, 99);
    EXPECT_EQ(calcCrc32(0, data.data(), data.size()), bitwiseCrc32(0, data.data(), data.size()));
}

TEST(CalcCrc32, ChainedPiecesEqualTheWhole) {
    Bytes data = pattern(1000, 3);
    std::uint32_t whole = calcCrc32(0, data.data(), data.size());
    for (std::size_t split = 0; split <= data.size(); ++split) {
        std::uint32_t first = calcCrc32(0, data.data(), split);
        ASSERT_EQ(calcCrc32(first, data.data() + split, data.size() - split), whole) << split;
    }
}

TEST(CheckHeader, AcceptsAValidImageAndReturnsNameAndFileCount) {
    Bytes image = validMultiImage();
    CheckResult result = check(image);
    EXPECT_EQ(result.result, 1);
    EXPECT_EQ(result.log, "");
    EXPECT_EQ(result.name, std::string("multi") + std::string(28, '\0'));
    EXPECT_EQ(result.fileCount, 3);
}

TEST(CheckHeader, SingleImageHasFileCountZero) {
    std::string error;
    auto image = mkupdate::wrapImage(pattern(100), "Linux-test", 2, &error);
    ASSERT_TRUE(image) << error;
    CheckResult result = check(*image);
    EXPECT_EQ(result.result, 1);
    EXPECT_EQ(result.fileCount, 0);
    EXPECT_EQ(result.name.substr(0, 11), std::string("Linux-test\0", 11));
}

TEST(CheckHeader, BadMagicNumber) {
    Bytes image = validMultiImage();
    image[0] = 0x27;  // 0x27051956
    CheckResult result = check(image);
    EXPECT_EQ(result.result, -1);
    EXPECT_EQ(result.log, "ERR Bad Magic Number\n");
    EXPECT_EQ(readWholeFile(kUpdateReportPath), "Bad Magic Number\n");
}

TEST(CheckHeader, HeaderCrcComputedOverTheFilledFieldIsRefused) {
    Bytes image = validMultiImage();
    std::uint32_t headerCrc = calcCrc32(0, image.data(), kImageHeaderSize);
    writeBigEndian32(image.data() + kHeaderCrcOffset, headerCrc);
    CheckResult result = check(image);
    EXPECT_EQ(result.result, -1);
    EXPECT_EQ(result.log, "ERR Bad Header Checksum\n");
}

TEST(CheckHeader, OneByteTooLongGivesTheSizeMessageBeforeTheDataChecksum) {
    Bytes data = pattern(1000);
    // The data CRC is wrong too: the size is checked first.
    Bytes image = rawImage(data, 0, 0xDEADBEEF, true);
    image.push_back(0);
    CheckResult result = check(image);
    EXPECT_EQ(result.result, -1);
    EXPECT_EQ(result.log, "ERR image file size 1001 not equal image data size 1000\n");
}

TEST(CheckHeader, BadDataChecksum) {
    Bytes image = validMultiImage();
    image.back() ^= 0x01;
    CheckResult result = check(image);
    EXPECT_EQ(result.result, -1);
    EXPECT_EQ(result.log, "ERR Bad Data Checksum\n");
}

TEST(CheckHeader, EmptyDataWithCrcZeroIsValid) {
    Bytes image = rawImage({}, 0, 0, true);
    ASSERT_EQ(image.size(), 64u);
    CheckResult result = check(image);
    EXPECT_EQ(result.result, 1);
    EXPECT_EQ(result.fileCount, 0);
}

TEST(CheckHeader, SizeListStartingWithZeroHasNoFiles) {
    CheckResult result = check(multiImageOfData(sizeList({0, 0x11223344})));
    EXPECT_EQ(result.result, 1);
    EXPECT_EQ(result.fileCount, 0);
}

TEST(CheckHeader, NameFillingAll32BytesComesBackTerminated) {
    std::string name(32, 'N');
    std::string error;
    auto image = mkupdate::wrapImage(pattern(10), name, 0, &error);
    ASSERT_TRUE(image) << error;
    CheckResult result = check(*image);
    EXPECT_EQ(result.result, 1);
    EXPECT_EQ(result.name, name + '\0');
}

TEST(CheckHeader, SizeListWithoutEndInTheDataIsRefused) {
    CheckResult result = check(multiImageOfData(sizeList({4, 4, 4})));
    EXPECT_EQ(result.result, -1);
    EXPECT_EQ(result.log,
              "ERR multi-file image: list of file sizes not ended by 0 within the data\n");
    EXPECT_EQ(result.fileCount, 77) << "no output on failure";
    EXPECT_EQ(result.name, std::string(33, 'x'));
    // A list cut inside its last word is not ended either.
    Bytes cut = sizeList({4, 0});
    cut.pop_back();
    EXPECT_EQ(check(multiImageOfData(cut)).result, -1);
    EXPECT_EQ(check(multiImageOfData({})).result, -1);
}

TEST(CheckHeader, FileReachingBeyondTheDataIsRefused) {
    Bytes data = sizeList({3, 5, 0});
    Bytes files = text(
        "abc\0"
        "1234");  // file 1 is one byte short
    data.insert(data.end(), files.begin(), files.end());
    CheckResult result = check(multiImageOfData(data));
    EXPECT_EQ(result.result, -1);
    EXPECT_EQ(result.log, "ERR multi-file image: file 1 of 5 Bytes reaches beyond the data\n");
    // A size that would wrap a 32-bit offset.
    result = check(multiImageOfData(sizeList({8, 0xFFFFFFFC, 0, 0, 0})));
    EXPECT_EQ(result.result, -1);
    EXPECT_EQ(result.log,
              "ERR multi-file image: file 1 of 4294967292 Bytes reaches beyond the data\n");
}

TEST(CheckHeader, UnpaddedLastFileAndPaddedLastFileAreBothAccepted) {
    Bytes data = sizeList({3, 5, 0});
    Bytes files =
        text(std::string("abc\0"
                         "12345",
                         9));
    data.insert(data.end(), files.begin(), files.end());
    EXPECT_EQ(check(multiImageOfData(data)).fileCount, 2);
    data.insert(data.end(), 3, 0);  // the last file padded, as other tools do
    EXPECT_EQ(check(multiImageOfData(data)).fileCount, 2);
}

TEST(CheckHeader, EveryPrefixOfAValidImageIsRefused) {
    Bytes image = validMultiImage();
    for (std::size_t length = 0; length < image.size(); ++length) {
        CheckResult result = check(image, length);
        ASSERT_EQ(result.result, -1) << length;
        EXPECT_EQ(result.fileCount, 77);
        std::string expected = length < kImageHeaderSize
                                   ? "ERR image file size " + std::to_string(length) +
                                         " shorter than the image header\n"
                                   : "ERR image file size " + std::to_string(length - 64) +
                                         " not equal image data size " +
                                         std::to_string(image.size() - 64) + "\n";
        ASSERT_EQ(result.log, expected) << length;
    }
}

TEST(CheckHeader, EverySingleBitFlipIsRefused) {
    Bytes image = validMultiImage();
    for (std::size_t bit = 0; bit < image.size() * 8; ++bit) {
        Bytes flipped = image;
        flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        CheckResult result = check(flipped);
        ASSERT_EQ(result.result, -1) << "bit " << bit;
        const char* expected = bit < 32                     ? "ERR Bad Magic Number\n"
                               : bit < kImageHeaderSize * 8 ? "ERR Bad Header Checksum\n"
                                                            : "ERR Bad Data Checksum\n";
        ASSERT_EQ(result.log, expected) << "bit " << bit;
    }
}

TEST(LocateImageFile, FindsEveryFileOnItsFourByteBoundary) {
    Bytes image = validMultiImage();  // sizes 9, 21, 13
    ImageFile file{};
    ASSERT_TRUE(locateImageFile(image, 0, &file));
    EXPECT_EQ(file.offset, 64u + 16u);
    EXPECT_EQ(file.size, 9u);
    ASSERT_TRUE(locateImageFile(image, 1, &file));
    EXPECT_EQ(file.offset, 80u + 12u);
    EXPECT_EQ(file.size, 21u);
    ASSERT_TRUE(locateImageFile(image, 2, &file));
    EXPECT_EQ(file.offset, 92u + 24u);
    EXPECT_EQ(file.size, 13u);
    EXPECT_EQ(file.offset + file.size, image.size()) << "the last file is not padded";
    EXPECT_EQ(std::string(image.begin() + file.offset, image.end()), "the last file");
}

TEST(LocateImageFile, RefusesMissingFilesAndFilesOutsideTheImage) {
    Bytes image = validMultiImage();
    ImageFile file{7, 7};
    EXPECT_FALSE(locateImageFile(image, 3, &file));
    EXPECT_FALSE(locateImageFile(image, -1, &file));
    EXPECT_FALSE(locateImageFile(std::span(image).first(image.size() - 1), 2, &file));
    EXPECT_TRUE(locateImageFile(std::span(image).first(image.size() - 1), 1, &file));
    EXPECT_FALSE(locateImageFile(std::span(image).first(63), 0, &file));
    std::string error;
    auto single = mkupdate::wrapImage(sizeList({4, 0, 1}), "single", 0, &error);
    ASSERT_TRUE(single);
    EXPECT_FALSE(locateImageFile(*single, 0, &file)) << "not a multi-file image";
    EXPECT_FALSE(locateImageFile(multiImageOfData(sizeList({4, 4})), 0, &file));
}

}  // namespace
