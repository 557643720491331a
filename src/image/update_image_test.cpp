#include "image/update_image.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "tests/support/board.h"
#include "tools/common/image_builder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// An image cut short after its check: its size list can't be read any more, and nothing
// faults.
TEST(CheckedImage, FileOfAnImageCutShortAfterItsCheckHasVanished) {
    constexpr ImageFileMessages kMessages{"tester", ImageFileWording::Reception, false};
    std::string error;
    writeWholeFile("/tmp/image", *mkupdate::buildMultiImage(
                                     {Bytes(5, 'n'), Bytes(9000, 'b'), Bytes(7, 'l')}, "", &error));
    MappedFile file;
    CheckedImage checked{};
    ASSERT_EQ(openCheckedImage(file, "/tmp/image", kMessages, &checked), ImageFileCheck::Valid);
    ImageFile place{};
    EXPECT_EQ(locateCheckedImageFile(checked, 2, "/tmp/image", kMessages, &place),
              ImageFilePlace::Found);
    ASSERT_EQ(truncate("/tmp/image", 0), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(locateCheckedImageFile(checked, 2, "/tmp/image", kMessages, &place),
              ImageFilePlace::Vanished);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::regex_match(
        log, std::regex(R"(UPDATE_ERR-\S+ \S+ src/update_process tester line: \d+: )"
                        R"(file /tmp/image changed its size while read!\n)")))
        << log;
    EXPECT_EQ(readWholeFile("/tmp/update.log"), "file /tmp/image changed its size while read!\n");
}

}  // namespace
