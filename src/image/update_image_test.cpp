#include "image/update_image.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "tests/support/board.h"
#include "tools/mkupdate/image_builder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr ImageFileMessages kMessages{
    "tester", "small %s %d\n", "big %s %llu\n", "map %s %d %s\n", "%s changed its size!\n", false,
};

// An image cut short after its check: the size list can't be read, and nothing faults.
TEST(CheckedImage, FileOfAnImageCutShortAfterItsCheckHasVanished) {
    std::string error;
    Bytes big(3 * 4096, 'b');
    Bytes image =
        mkupdate::buildMultiImage({Bytes(5, 'n'), big, Bytes(7, 'l')}, "update", &error).value();
    writeWholeFile("/tmp/image", image);
    MappedFile file;
    CheckedImage checked{};
    ASSERT_EQ(openCheckedImage(file, "/tmp/image", kMessages, &checked), ImageFileCheck::Valid);
    ImageFile place{};
    EXPECT_EQ(locateCheckedImageFile(checked, 2, "/tmp/image", kMessages, &place),
              ImageFilePlace::Found);
    EXPECT_EQ(place.size, 7u);
    EXPECT_EQ(locateCheckedImageFile(checked, 3, "/tmp/image", kMessages, &place),
              ImageFilePlace::Missing);

    ASSERT_EQ(truncate("/tmp/image", 0), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(locateCheckedImageFile(checked, 2, "/tmp/image", kMessages, &place),
              ImageFilePlace::Vanished);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::regex_match(
        log, std::regex(R"(UPDATE_ERR-[^ ]+ [^ ]+ src/update_process tester line: \d+: )"
                        R"(/tmp/image changed its size!\n)")))
        << log;
    EXPECT_EQ(readWholeFile("/tmp/update.log"), "/tmp/image changed its size!\n");
}

}  // namespace
