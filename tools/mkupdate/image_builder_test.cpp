#include "tools/mkupdate/image_builder.h"

#include <gtest/gtest.h>

#include <string>

#include "image/image_header.h"

namespace mkupdate {
namespace {

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::uint32_t wordAt(const Bytes& bytes, std::size_t offset) {
    return readBigEndian32(bytes.data() + offset);
}

TEST(WrapImage, HeaderHoldsExactlyItsFieldsAndZerosElsewhere) {
    std::string error;
    auto image = wrapImage(bytesOf("hello"), "Linux-x", 3, &error);
    ASSERT_TRUE(image) << error;
    ASSERT_EQ(image->size(), 69u);
    Bytes header(image->begin(), image->begin() + 64);
    EXPECT_EQ(wordAt(header, 0), 0x11092001u);
    EXPECT_EQ(wordAt(header, 12), 5u);
    EXPECT_EQ(wordAt(header, 24), 0x3610A686u) << "CRC-32 of \"hello\"";
    EXPECT_EQ(header[30], 3);
    EXPECT_EQ(std::string(header.begin() + 32, header.end()),
              std::string("Linux-x") + std::string(25, '\0'));
    for (std::size_t offset : {8, 9, 10, 11, 16, 17, 18, 19, 20, 21, 22, 23, 28, 29, 31}) {
        EXPECT_EQ(header[offset], 0) << offset;
    }
    std::uint32_t headerCrc = wordAt(header, 4);
    writeBigEndian32(header.data() + 4, 0);
    EXPECT_EQ(calcCrc32(0, header.data(), header.size()), headerCrc);
    EXPECT_EQ(std::string(image->begin() + 64, image->end()), "hello");
}

TEST(WrapImage, SameInputSameBytes) {
    std::string error;
    Bytes payload(100000);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7);
    EXPECT_EQ(*wrapImage(payload, "Linux-a", 0, &error), *wrapImage(payload, "Linux-a", 0, &error));
}

TEST(WrapImage, RefusesLongNamesAndTheMultiFileType) {
    std::string error;
    EXPECT_TRUE(wrapImage(bytesOf("x"), std::string(32, 'n'), 0, &error));
    EXPECT_FALSE(wrapImage(bytesOf("x"), std::string(33, 'n'), 0, &error));
    EXPECT_EQ(error, "image name of 33 bytes is longer than 32 bytes");
    EXPECT_FALSE(wrapImage(bytesOf("x"), "multi", 4, &error));
    EXPECT_EQ(error, "type 4 marks a multi-file image; build it with \"multi\"");
}

TEST(BuildMultiImage, SizeListThenFilesOnFourByteBoundariesLastUnpadded) {
    std::string error;
    auto image =
        buildMultiImage({bytesOf("abcde"), bytesOf("xy"), bytesOf("last!")}, "upd", &error);
    ASSERT_TRUE(image) << error;
    Bytes data(image->begin() + 64, image->end());
    Bytes expected = {0,   0,   0,   5,   0, 0, 0, 2,   0,   0, 0, 5,   0,   0,   0,   0,  'a',
                      'b', 'c', 'd', 'e', 0, 0, 0, 'x', 'y', 0, 0, 'l', 'a', 's', 't', '!'};
    EXPECT_EQ(data, expected);
    EXPECT_EQ((*image)[30], 4);
    EXPECT_EQ(wordAt(*image, 12), 33u);
    char name[33];
    std::int32_t count = 0;
    EXPECT_EQ(checkHeader(image->data(), static_cast<std::uint32_t>(image->size()), name, &count),
              1);
    EXPECT_EQ(count, 3);
    EXPECT_STREQ(name, "upd");
}

TEST(BuildMultiImage, RefusesFewerThanTwoFilesAndEmptyFiles) {
    std::string error;
    EXPECT_FALSE(buildMultiImage({bytesOf("one")}, "u", &error));
    EXPECT_EQ(error, "an update image needs at least two files (file 0 and the update archive)");
    EXPECT_FALSE(buildMultiImage({bytesOf("one"), {}, bytesOf("three")}, "u", &error));
    EXPECT_EQ(error, "file 1 is empty; a multi-file image can't hold empty files");
}

TEST(ListingText, ShowsFieldsFilesAndTheLastFilesOwnHeader) {
    std::string error;
    auto lap = wrapImage(bytesOf("software"), "Linux-lap", 0, &error);
    auto image = buildMultiImage({bytesOf("note!"), bytesOf("archive"), *lap}, "update", &error);
    ASSERT_TRUE(image) << error;
    char line[80];
    std::snprintf(line, sizeof line, "header CRC   0x%08X ok\n", wordAt(*image, 4));
    std::string headerCrcLine = line;
    std::snprintf(line, sizeof line, "data CRC     0x%08X ok\n", wordAt(*image, 24));
    EXPECT_EQ(listingText(*image),
              "file length  168 bytes\n"
              "magic        0x11092001 ok\n" +
                  headerCrcLine + "data size    104 bytes ok\n" + line +
                  "type         4 (multi-file)\n"
                  "name         \"update\"\n"
                  "files        3\n"
                  "  file 0     offset 80 size 5\n"
                  "  file 1     offset 88 size 7\n"
                  "  file 2     offset 96 size 72 image \"Linux-lap\" type 0 valid\n"
                  "result       valid\n");
    EXPECT_TRUE(inspectImage(*image).valid());
}

TEST(ListingText, BadImageShowsEveryVerdictAndTheFirstFailure) {
    std::string error;
    auto image = wrapImage(bytesOf("payload"), std::string("odd\x01name\"", 9), 0, &error);
    ASSERT_TRUE(image);
    image->push_back('!');
    (*image)[70] ^= 1;
    std::string text = listingText(*image);
    std::uint32_t headerCrc = wordAt(*image, 4);
    char expected[600];
    std::snprintf(expected, sizeof expected,
                  "file length  72 bytes\n"
                  "magic        0x11092001 ok\n"
                  "header CRC   0x%08X ok\n"
                  "data size    7 bytes BAD (file holds 8)\n"
                  "data CRC     0x%08X BAD (computed 0x%08X)\n"
                  "type         0\n"
                  "name         \"odd\\x01name\\x22\"\n"
                  "result       BAD: file holds 8 data bytes, header says 7\n",
                  headerCrc, wordAt(*image, 24), calcCrc32(0, image->data() + 64, 8));
    EXPECT_EQ(text, expected);
    EXPECT_FALSE(inspectImage(*image).valid());
}

TEST(ListingText, FilesBeyondTheDataAndShortFiles) {
    EXPECT_EQ(listingText(Bytes(10, 0)),
              "file length  10 bytes\n"
              "result       BAD: file of 10 bytes is shorter than the 64-byte header\n");
    std::string error;
    Bytes data = {0, 0, 0, 4, 0, 0, 0, 9, 0, 0, 0, 0, 'a', 'b', 'c', 'd', 'e'};
    auto image = imageHeader(data, "cut", 4, &error);
    image->insert(image->end(), data.begin(), data.end());
    std::string text = listingText(*image);
    EXPECT_NE(text.find("files        2\n"
                        "  file 0     offset 76 size 4\n"
                        "  file 1     offset 80 size 9 BAD: reaches beyond the data\n"
                        "result       BAD: file 1 reaches beyond the data\n"),
              std::string::npos)
        << text;
    data = {0, 0, 0, 4, 0, 0, 0, 9};
    image = imageHeader(data, "open", 4, &error);
    image->insert(image->end(), data.begin(), data.end());
    text = listingText(*image);
    EXPECT_NE(text.find("files        size list not ended by 0 within the data\n"
                        "result       BAD: list of file sizes not ended by 0 within the data\n"),
              std::string::npos)
        << text;
}

// The tool's verdict is the daemon's, prefix by prefix and bit by bit.
TEST(InspectImage, AgreesWithTheDaemonsCheck) {
    std::string error;
    auto lap = wrapImage(bytesOf("software"), "Linux-lap", 0, &error);
    auto image = buildMultiImage({bytesOf("n"), bytesOf("ar"), *lap}, "update", &error);
    auto daemonAccepts = [](const Bytes& bytes) {
        char name[33];
        std::int32_t count = 0;
        testing::internal::CaptureStderr();
        int result =
            checkHeader(bytes.data(), static_cast<std::uint32_t>(bytes.size()), name, &count);
        testing::internal::GetCapturedStderr();
        return result == 1;
    };
    for (std::size_t length = 0; length <= image->size(); ++length) {
        Bytes prefix(image->begin(), image->begin() + static_cast<long>(length));
        ASSERT_EQ(inspectImage(prefix).valid(), daemonAccepts(prefix)) << length;
    }
    for (std::size_t bit = 0; bit < image->size() * 8; bit += 3) {
        Bytes flipped = *image;
        flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        ASSERT_FALSE(inspectImage(flipped).valid()) << bit;
    }
}

}  // namespace
}  // namespace mkupdate
