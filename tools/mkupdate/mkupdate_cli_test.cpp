// The mkupdate program and the sample update's build script, run as the people who make
// updates run them. Host builds only: on a cross build the program is the board's.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <tuple>

#include "tests/support/board.h"
#include "tools/mkupdate/image_builder.h"
#include "tools/mkupdate/sample_update.h"
#include "tools/mkupdate/update_archive.h"

namespace mkupdate {
namespace {

const std::string kMkupdate = std::string(PROJECT_BINARY_PATH) + "/mkupdate";
const std::string kSample = std::string(PROJECT_SOURCE_PATH) + "/sim/sample-update";

struct RunResult {
    int status;
    std::string out;
    std::string err;
};

RunResult run(const std::string& arguments) {
    int status = std::system((kMkupdate + " " + arguments + " >/tmp/out 2>/tmp/err").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readWholeFile("/tmp/out"),
            readWholeFile("/tmp/err")};
}

Bytes fileBytes(const std::string& path) {
    std::string text = readWholeFile(path);
    return Bytes(text.begin(), text.end());
}

class MkupdateProgram : public testing::Test {
protected:
    void SetUp() override {
        if (std::string(BOARD_EMULATOR) != "") GTEST_SKIP() << "the program is the board's";
        writeWholeFile("/tmp/payload", "lap software payload");
        writeWholeFile("/tmp/note", "note");
        writeWholeFile("/tmp/empty", "");
    }
};

TEST_F(MkupdateProgram, HelpUsageErrorsAndFailures) {
    RunResult help = run("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: mkupdate COMMAND [OPTIONS] [FILES]\n", 0), 0u);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(run("wrap --help").out, help.out);

    const std::string wrap = "wrap --name L /tmp/payload ";
    for (auto [arguments, status, message] : {
             std::tuple<std::string, int, std::string>{"", 2, "no command given"},
             {"pack x", 2, "unknown command \"pack\""},
             {"wrap /tmp/payload -o /tmp/x", 2, "wrap needs --name NAME"},
             {wrap, 2, "wrap needs -o OUT"},
             {wrap + "--type 256 -o /tmp/x", 2, "--type takes a number from 0 to 255, not \"256\""},
             {wrap + "/tmp/note -o /tmp/x", 2, "wrap takes one payload file, got also /tmp/note"},
             {wrap + "--nmae L -o /tmp/x", 2, "unknown option --nmae for wrap"},
             {"multi -o /tmp/x /tmp/note", 2, "multi needs at least FILE0 and FILE1"},
             {"list", 2, "list takes one image file"},
             {"wrap --name L /tmp/none -o /tmp/x", 1,
              "cannot open /tmp/none: No such file or directory"},
             {"wrap --name " + std::string(33, 'n') + " /tmp/payload -o /tmp/x", 1,
              "image name of 33 bytes is longer than 32 bytes"},
             {"multi -o /tmp/x /tmp/note /tmp/empty", 1,
              "/tmp/empty is empty; an image can't hold it"},
             {wrap + "-o /tmp/no/dir/x", 1,
              "cannot create /tmp/no/dir/x: No such file or directory"},
         }) {
        RunResult result = run(arguments);
        EXPECT_EQ(result.status, status) << arguments;
        EXPECT_EQ(result.err,
                  "mkupdate: " + message + (status == 2 ? " (see mkupdate --help)\n" : "\n"));
        EXPECT_EQ(result.out, "");
    }
    EXPECT_FALSE(fileExists("/tmp/x"));
}

TEST_F(MkupdateProgram, BuildsByteIdenticalImagesAndListsThem) {
    ASSERT_EQ(run("wrap --name Linux-lap --type 2 /tmp/payload -o /tmp/lap1").status, 0);
    ASSERT_EQ(run("wrap --type 2 -o /tmp/lap2 --name Linux-lap /tmp/payload").status, 0);
    std::string error;
    EXPECT_EQ(fileBytes("/tmp/lap1"),
              *wrapImage(fileBytes("/tmp/payload"), "Linux-lap", 2, &error));
    EXPECT_EQ(fileBytes("/tmp/lap1"), fileBytes("/tmp/lap2"));

    std::string folder = kSample + "/update.d";
    ASSERT_EQ(run("multi -o /tmp/update /tmp/note --pack-dir " + folder + " /tmp/lap1").status, 0);
    Bytes expected = *buildMultiImage(
        {fileBytes("/tmp/note"), *packUpdateFolder(folder, &error), fileBytes("/tmp/lap1")},
        "BT-LAP update", &error);
    EXPECT_EQ(fileBytes("/tmp/update"), expected);
    RunResult list = run("list /tmp/update");
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.out, listingText(expected));
    EXPECT_EQ(list.err, "");

    expected.back() ^= 0x80;
    writeWholeFile("/tmp/damaged", expected);
    RunResult bad = run("list /tmp/damaged");
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.out.find("\nresult       BAD: bad data checksum\n"), std::string::npos)
        << bad.out;

    // The sample's build script makes the sample image the tests build in process.
    std::string script = kSample + "/build-image " + kMkupdate + " /tmp/sample.img >/tmp/out 2>&1";
    ASSERT_EQ(std::system(script.c_str()), 0) << readWholeFile("/tmp/out");
    auto sample = buildSampleUpdate(kSample, &error);
    EXPECT_EQ(fileBytes("/tmp/sample.img"), *sample);
    EXPECT_TRUE(inspectImage(*sample).valid());
}

}  // namespace
}  // namespace mkupdate
