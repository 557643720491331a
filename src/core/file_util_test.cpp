#include "core/file_util.h"

#include <gtest/gtest.h>

#include <string>

#include "core/log.h"
#include "tests/support/board.h"

namespace {

constexpr const char* kFile = "/tmp/file.txt";

TEST(ReadFileToBuffer, StoresAtMostSizeBytesAndSaysWhenItCuts) {
    struct Case {
        std::size_t fileLength;
        std::size_t stored;
        bool cut;
    };
    for (const Case& c : {Case{100, 100, false}, Case{101, 100, true}, Case{0, 0, false}}) {
        std::string content(c.fileLength, 'a');
        writeWholeFile(kFile, content);
        char buffer[101] = {};
        testing::internal::CaptureStderr();
        EXPECT_EQ(readFileToBuffer(kFile, 100, buffer), 1);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::string(buffer), std::string(c.stored, 'a'));
        EXPECT_EQ(err.find("No more place in read buffer !!\n") != std::string::npos, c.cut) << err;
    }
}

TEST(ReadFileToBuffer, MissingFileIsReportedAndRefused) {
    char buffer[4] = {};
    testing::internal::CaptureStderr();
    EXPECT_EQ(readFileToBuffer("/tmp/missing", sizeof buffer, buffer), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("open error file /tmp/missing: 0x02 No such file or directory"),
              std::string::npos)
        << err;
    EXPECT_EQ(readWholeFile(kUpdateReportPath),
              "open error file /tmp/missing: 0x02 No such file or directory");
}

TEST(ChangeLastBytesInFile, KeepsFilesLargerThanAnyBuffer) {
    std::string big(30000, 'r');
    writeWholeFile(kFile, big + "  0 percent ");
    changeLastBytesInFile(kFile, "100 percent ", 12);
    EXPECT_EQ(readWholeFile(kFile), big + "100 percent ");
}

TEST(ChangeLastBytesInFile, RefusesMoreBytesThanTheFileHolds) {
    writeWholeFile(kFile, "short");
    testing::internal::CaptureStderr();
    EXPECT_EQ(changeLastBytesInFile(kFile, "too long", 8), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(readWholeFile(kFile), "short");
    testing::internal::CaptureStderr();
    EXPECT_EQ(changeLastBytesInFile("/tmp/missing", "x", 1), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(fileExists("/tmp/missing"));
}

TEST(WriteFile, ShortWriteIsReportedWithTheCountWritten) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(writeFile("/dev/full", "a", "data", 4), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("write to /dev/full error 28 No space left on device \n"), std::string::npos)
        << err;
}

}  // namespace
