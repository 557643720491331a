#include "tools/mkupdate/image_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "image/image_header.h"

namespace mkupdate {
namespace {

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

TEST(ImageBuilder, RefusesWhatTheDaemonCannotRead) {
    std::string error;
    EXPECT_FALSE(wrapImage(bytesOf("x"), "multi", 4, &error));
    EXPECT_EQ(error, "type 4 marks a multi-file image; build it with \"multi\"");
    EXPECT_FALSE(buildMultiImage({bytesOf("one")}, "u", &error));
    EXPECT_EQ(error, "an update image needs at least two files (file 0 and the update archive)");
    EXPECT_FALSE(buildMultiImage({bytesOf("one"), {}, bytesOf("three")}, "u", &error));
    EXPECT_EQ(error, "file 1 is empty; a multi-file image can't hold empty files");
}

// The CRCs, worked out from the format on their own, pin every header and data byte: the size
// list, the files on 4-byte boundaries padded with zeros, the last file unpadded.
TEST(ListingText, ValidImageShowsFieldsFilesAndTheLastFilesOwnHeader) {
    std::string error;
    Bytes lap = *wrapImage(bytesOf("software"), "Linux-lap", 0, &error);
    Bytes image = *buildMultiImage({bytesOf("note!"), bytesOf("archive"), lap}, "update", &error);
    EXPECT_EQ(listingText(image),
              "file length  168 bytes\n"
              "magic        0x11092001 ok\n"
              "header CRC   0x62D6EEB3 ok\n"
              "data size    104 bytes ok\n"
              "data CRC     0x3979A8F7 ok\n"
              "type         4 (multi-file)\n"
              "name         \"update\"\n"
              "files        3\n"
              "  file 0     offset 80 size 5\n"
              "  file 1     offset 88 size 7\n"
              "  file 2     offset 96 size 72 image \"Linux-lap\" type 0 valid\n"
              "result       valid\n");
}

TEST(ListingText, BadImagesShowEveryVerdictAndTheFirstFailure) {
    std::string error;
    Bytes image = *wrapImage(bytesOf("payload"), std::string("odd\x01name\"", 9), 0, &error);
    image.push_back('!');
    image[70] ^= 1;
    EXPECT_EQ(listingText(image),
              "file length  72 bytes\n"
              "magic        0x11092001 ok\n"
              "header CRC   0x556D792C ok\n"
              "data size    7 bytes BAD (file holds 8)\n"
              "data CRC     0x422C6A15 BAD (computed 0xEAEF0613)\n"
              "type         0\n"
              "name         \"odd\\x01name\\x22\"\n"
              "result       BAD: file holds 8 data bytes, header says 7\n");
    EXPECT_EQ(listingText(Bytes(10, 0)),
              "file length  10 bytes\n"
              "result       BAD: file of 10 bytes is shorter than the 64-byte header\n");
    struct Case {
        Bytes data;
        std::string tail;
    };
    for (const Case& c : {
             Case{{0, 0, 0, 4, 0, 0, 0, 9, 0, 0, 0, 0, 'a', 'b', 'c', 'd', 'e'},
                  "files        2\n"
                  "  file 0     offset 76 size 4\n"
                  "  file 1     offset 80 size 9 BAD: reaches beyond the data\n"
                  "result       BAD: file 1 reaches beyond the data\n"},
             Case{{0, 0, 0, 4, 0, 0, 0, 9},
                  "files        size list not ended by 0 within the data\n"
                  "result       BAD: list of file sizes not ended by 0 within the data\n"},
         }) {
        Bytes image = *imageHeader(c.data, "cut", 4, &error);
        image.insert(image.end(), c.data.begin(), c.data.end());
        std::string text = listingText(image);
        EXPECT_EQ(text.substr(text.size() - std::min(text.size(), c.tail.size())), c.tail);
    }
}

// The tool's verdict is the daemon's, prefix by prefix and bit by bit.
TEST(InspectImage, AgreesWithTheDaemonsCheck) {
    std::string error;
    Bytes lap = *wrapImage(bytesOf("software"), "Linux-lap", 0, &error);
    Bytes image = *buildMultiImage({bytesOf("n"), bytesOf("ar"), lap}, "update", &error);
    EXPECT_TRUE(inspectImage(image).valid());
    auto daemonAccepts = [](const Bytes& bytes) {
        char name[33];
        std::int32_t count = 0;
        testing::internal::CaptureStderr();
        int result =
            checkHeader(bytes.data(), static_cast<std::uint32_t>(bytes.size()), name, &count);
        testing::internal::GetCapturedStderr();
        return result == 1;
    };
    for (std::size_t length = 0; length <= image.size(); ++length) {
        Bytes prefix(image.begin(), image.begin() + static_cast<long>(length));
        ASSERT_EQ(inspectImage(prefix).valid(), daemonAccepts(prefix)) << length;
    }
    for (std::size_t bit = 0; bit < image.size() * 8; bit += 3) {
        Bytes flipped = image;
        flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        ASSERT_FALSE(inspectImage(flipped).valid()) << bit;
    }
}

}  // namespace
}  // namespace mkupdate
