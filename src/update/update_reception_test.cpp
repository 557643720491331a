#include "update/update_reception.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "core/ai_socket.h"
#include "core/log.h"
#include "image/image_header.h"
#include "tests/support/board.h"
#include "tools/mkupdate/image_builder.h"
#include "tools/mkupdate/update_archive.h"
#include "update/update_state.h"

using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

// The log without time stamps and source lines: "ERR <message>" / "LOG <message>".
std::string messages(const std::string& log) {
    static const std::regex prefix(
        R"(UPDATE_(ERR|LOG)-0\.1\.0 \d\d:\d\d:\d\d\.\d\d\d: src/update_process \w+ line: \d+: )");
    return std::regex_replace(log, prefix, "$1 ");
}

// An update image whose archive holds update.d with the given files (name, content).
Bytes updateImage(const std::vector<std::pair<std::string, std::string>>& updateFiles) {
    std::filesystem::path folder = "/tmp/source/update.d";
    std::filesystem::remove_all("/tmp/source");
    std::filesystem::create_directories(folder);
    for (const auto& [name, content] : updateFiles) writeWholeFile(folder / name, content);
    std::string error;
    auto archive = mkupdate::packUpdateFolder(folder, &error);
    EXPECT_TRUE(archive) << error;
    std::filesystem::remove_all("/tmp/source");
    auto lap = mkupdate::wrapImage(bytesOf("lap software"), "Linux-test", 0, &error);
    auto image = mkupdate::buildMultiImage({bytesOf("note"), *archive, *lap}, "update", &error);
    EXPECT_TRUE(image) << error;
    return *image;
}

class UpdateReception : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(openAiSocket(kAiOwnPath), 0);
        setAiDestination(kAiPeerPath);
        stepList.fill(STEP_CHECK_VERSIONS);  // left from an earlier update
        stepListNext = 3;
        updateResult = 1;
    }
    void TearDown() override {
        closeAiSocket();
        ASSERT_EQ(chdir("/"), 0);
    }

    // startUpdate with its standard output and the messages of its standard error.
    int start() {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int result = startUpdate();
        log = messages(testing::internal::GetCapturedStderr());
        out = testing::internal::GetCapturedStdout();
        return result;
    }

    std::vector<std::int32_t> list() const {
        std::vector<std::int32_t> ids;
        for (std::size_t i = 0; i < stepList.size() && stepList[i] != STEP_NONE; ++i)
            ids.push_back(stepList[i]);
        return ids;
    }

    // A refusal: the reply "OK" with its NUL and parameter 1, an empty list, result NOK.
    void expectRefused() {
        auto reply = peer.receive(1s);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->type, AI_REPLY);
        EXPECT_EQ(reply->param, 1);
        EXPECT_EQ(reply->text, std::string("OK\0", 3));
        EXPECT_FALSE(peer.receive(100ms));
        EXPECT_EQ(stepList[0], STEP_NONE);
        EXPECT_EQ(stepListNext, 0u);
        EXPECT_EQ(updateResult, 0);
        EXPECT_EQ(out, "") << "the to-do file is not read";
        EXPECT_FALSE(fileExists("/tmp/image1.gz"));
        EXPECT_FALSE(fileExists("/tmp/image1"));
    }

    TestPeer peer;
    std::string log;
    std::string out;
};

TEST_F(UpdateReception, ValidImageIsUnpackedAndItsToDoListRead) {
    Bytes image = updateImage(
        {{"updatetodo.txt", "REMOVE_DFU_UPLOAD\nPPCBOOT\n"}, {"VERSION", "LAP_VERSION 2\n"}});
    writeWholeFile(kImagePath, image);
    writeWholeFile("/tmp/image1", "left from an earlier update");
    ASSERT_EQ(chdir("/etc"), 0);

    EXPECT_EQ(start(), 1);
    EXPECT_EQ(log, "LOG /tmp/image size = " + std::to_string(image.size()) + " Bytes \n");
    EXPECT_EQ(out, "state 9   REMOVE_DFU_UPLOAD\nstate 10   PPCBOOT\n");
    EXPECT_EQ(list(), (std::vector<std::int32_t>{9, 10}));
    EXPECT_EQ(stepListNext, 0u);
    EXPECT_EQ(updateResult, 1);
    EXPECT_EQ(readWholeFile("/tmp/update.d/VERSION"), "LAP_VERSION 2\n");
    EXPECT_EQ(readWholeFile("/tmp/update.d/updatetodo.txt"), "REMOVE_DFU_UPLOAD\nPPCBOOT\n");
    EXPECT_FALSE(fileExists("/tmp/image1.gz"));
    EXPECT_FALSE(fileExists("/tmp/image1"));
    EXPECT_EQ(readWholeFile(kImagePath), std::string(image.begin(), image.end()))
        << "the image stays for the software step";
    EXPECT_EQ(std::filesystem::current_path(), "/");
    EXPECT_FALSE(peer.receive(100ms)) << "no reply after a successful reception";
    EXPECT_FALSE(fileExists(kUpdateReportPath));
}

TEST_F(UpdateReception, ToDoFileOfAnEarlierUpdateIsNotRunAgain) {
    std::filesystem::create_directories("/tmp/update.d");
    writeWholeFile(kTodoPath, "CHECK_SDP\n");
    writeWholeFile(kImagePath, updateImage({{"VERSION", "LAP_VERSION 2\n"}}));

    EXPECT_EQ(start(), 1);
    EXPECT_EQ(stepList[0], STEP_NONE);
    EXPECT_EQ(out, "");
    EXPECT_NE(log.find("ERR open error file /tmp/update.d/updatetodo.txt: 0x02 No such file or "
                       "directory"),
              std::string::npos)
        << log;
    EXPECT_EQ(readWholeFile("/tmp/update.d/VERSION"), "LAP_VERSION 2\n");
}

TEST_F(UpdateReception, MissingImageIsRefused) {
    std::filesystem::create_directories("/tmp/update.d");
    writeWholeFile(kTodoPath, "PPCBOOT\n");
    EXPECT_EQ(start(), -1);
    EXPECT_EQ(log,
              "ERR File opening error for file :/tmp/image errno = 2 No such file or directory \n");
    expectRefused();
    EXPECT_EQ(readWholeFile(kUpdateReportPath),
              "File opening error for file :/tmp/image errno = 2 No such file or directory \n");
}

TEST_F(UpdateReception, ImageOf63BytesIsTooSmall) {
    Bytes image = updateImage({{"updatetodo.txt", "PPCBOOT\n"}});
    image.resize(63);
    writeWholeFile(kImagePath, image);
    EXPECT_EQ(start(), -1);
    EXPECT_EQ(log, "ERR file /tmp/image to small (63 Bytes) !\n");
    expectRefused();
}

TEST_F(UpdateReception, WrongDataChecksumWritesNothingAndRunsNoCommand) {
    Bytes image = updateImage({{"updatetodo.txt", "PPCBOOT\n"}});
    image[100] ^= 0x10;
    writeWholeFile(kImagePath, image);
    EXPECT_EQ(start(), -1);
    EXPECT_EQ(log, "LOG /tmp/image size = " + std::to_string(image.size()) +
                       " Bytes \nERR Bad Data Checksum\n");
    expectRefused();
    EXPECT_FALSE(fileExists("/tmp/update.d"));
}

TEST_F(UpdateReception, ImageWithoutAnArchiveIsRefused) {
    std::string error;
    auto single = mkupdate::wrapImage(bytesOf("payload"), "Linux-test", 0, &error);
    writeWholeFile(kImagePath, *single);
    EXPECT_EQ(start(), -1);
    EXPECT_NE(log.find("ERR image file /tmp/image holds 0 files; no update archive (file 1) in "
                       "it!\n"),
              std::string::npos)
        << log;
    expectRefused();

    // A multi-file image of one file.
    Bytes data = {0, 0, 0, 4, 0, 0, 0, 0, 'a', 'b', 'c', 'd'};
    auto header = mkupdate::imageHeader(data, "one file", kMultiFileImageType, &error);
    header->insert(header->end(), data.begin(), data.end());
    writeWholeFile(kImagePath, *header);
    EXPECT_EQ(start(), -1);
    EXPECT_NE(log.find("holds 1 files;"), std::string::npos) << log;
}

TEST_F(UpdateReception, ArchiveFileIsMadeAnew) {
    // A longer archive file of an earlier update must not leave its tail behind: here a
    // tail that starts like a further compressed member would make the decompression fail.
    Bytes image = updateImage({{"updatetodo.txt", "PPCBOOT\n"}});
    ImageFile archive{};
    ASSERT_TRUE(locateImageFile(image, 1, &archive));
    writeWholeFile("/tmp/image1.gz", std::string(archive.size, 'x') +
                                         std::string("\x1f\x8b\x08\0", 4) + std::string(1000, 'y'));
    writeWholeFile(kImagePath, image);
    EXPECT_EQ(start(), 1);
    EXPECT_EQ(list(), (std::vector<std::int32_t>{10}));
    EXPECT_FALSE(fileExists("/tmp/image1.gz"));
}

class ReadStepList : public testing::Test {
protected:
    void SetUp() override {
        stepList.fill(STEP_CHECK_VERSIONS);
        stepListNext = 5;
    }
    int read(const std::string& content) {
        writeWholeFile("/tmp/todo.txt", content);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int result = readStepList("/tmp/todo.txt");
        log = messages(testing::internal::GetCapturedStderr());
        out = testing::internal::GetCapturedStdout();
        return result;
    }
    std::vector<std::int32_t> list() const {
        std::vector<std::int32_t> ids;
        for (std::size_t i = 0; i < stepList.size() && stepList[i] != STEP_NONE; ++i)
            ids.push_back(stepList[i]);
        return ids;
    }
    std::string log;
    std::string out;
};

TEST_F(ReadStepList, TwentyFiveSelectingLinesGiveTheFirstTwenty) {
    std::string content;
    std::string expected;
    std::vector<std::int32_t> ids;
    for (int i = 0; i < 25; ++i) {
        const UpdateStep& step = stepTable[static_cast<std::size_t>(i % 10)];
        content += std::string(step.keyword) + " line " + std::to_string(i) + "\n";
        if (i < 20) {
            expected += "state " + std::to_string(step.id) + "   " + step.keyword + " line " +
                        std::to_string(i) + "\n";
            ids.push_back(step.id);
        }
    }
    EXPECT_EQ(read(content), 1);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(list(), ids);
    EXPECT_EQ(stepList[20], STEP_NONE);
    EXPECT_EQ(stepListNext, 0u);
}

TEST_F(ReadStepList, CommentsLeadingBlanksAndOtherLinesSelectNothing) {
    EXPECT_EQ(read("# comment\n"
                   "#CHECK_SDP\n"
                   " CHECK_SDP\n"
                   "\n"
                   "check_sdp\n"
                   "CHECK_SDP and more text\n"
                   "LAP_SOFTWARE\tx\n"
                   "CHECK\n"
                   "PPCBOOT\n"
                   "PPCBOOT"),
              1);
    EXPECT_EQ(out,
              "state 8   CHECK_SDP and more text\n"
              "state 7   LAP_SOFTWARE\tx\n"
              "state 10   PPCBOOT\n"
              "state 10   PPCBOOT");
    EXPECT_EQ(list(), (std::vector<std::int32_t>{8, 7, 10, 10}));
    EXPECT_EQ(log, "");
}

TEST_F(ReadStepList, NoSelectingLinesGiveAnEmptyList) {
    EXPECT_EQ(read("# only a comment\nnothing here\n"), 1);
    EXPECT_EQ(stepList[0], STEP_NONE);
    EXPECT_EQ(stepListNext, 0u);
    EXPECT_EQ(out, "");
}

TEST_F(ReadStepList, LongLinesAreReadInPiecesOf1022Characters) {
    // The second piece of the first line starts with the keyword; in the second line the
    // piece boundary cuts the keyword.
    EXPECT_EQ(read(std::string(1022, 'x') + "PPCBOOT\n" + std::string(1021, 'y') + "PPCBOOT\n"), 1);
    EXPECT_EQ(list(), (std::vector<std::int32_t>{10}));
    EXPECT_EQ(out, "state 10   PPCBOOT\n");
}

TEST_F(ReadStepList, MissingFileGivesAnEmptyList) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(readStepList("/tmp/no-such-todo.txt"), -1);
    EXPECT_EQ(messages(testing::internal::GetCapturedStderr()),
              "ERR open error file /tmp/no-such-todo.txt: 0x02 No such file or directory");
    EXPECT_EQ(stepList[0], STEP_NONE);
    EXPECT_EQ(stepListNext, 0u);
}

}  // namespace
