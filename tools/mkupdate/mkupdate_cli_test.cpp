// The mkupdate program and the sample update's build script, run as the people who make
// updates run them. Host builds only: on a cross build the program is the board's.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

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
    std::string out, err;
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

TEST(MkupdateProgram, BuildsByteIdenticalImagesListsThemAndRefusesBadUsage) {
    if (std::string(BOARD_EMULATOR) != "") GTEST_SKIP() << "the program is the board's";
    writeWholeFile("/tmp/payload", "lap software payload");
    writeWholeFile("/tmp/note", "note");
    RunResult usage = run("wrap --name L /tmp/payload --type 256 -o /tmp/x");
    EXPECT_EQ(usage.status, 2);
    EXPECT_EQ(usage.err,
              "mkupdate: --type takes a number from 0 to 255, not \"256\" (see mkupdate --help)\n");
    EXPECT_FALSE(fileExists("/tmp/x"));

    ASSERT_EQ(run("wrap --type 2 -o /tmp/lap --name Linux-lap /tmp/payload").status, 0);
    std::string error, folder = kSample + "/update.d";
    EXPECT_EQ(fileBytes("/tmp/lap"), *wrapImage(fileBytes("/tmp/payload"), "Linux-lap", 2, &error));
    ASSERT_EQ(run("multi -o /tmp/update /tmp/note --pack-dir " + folder + " /tmp/lap").status, 0);
    Bytes expected = *buildMultiImage(
        {fileBytes("/tmp/note"), *packUpdateFolder(folder, &error), fileBytes("/tmp/lap")},
        "BT-LAP update", &error);
    EXPECT_EQ(fileBytes("/tmp/update"), expected);
    RunResult list = run("list /tmp/update");
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.out, listingText(expected));
    EXPECT_NE(list.out.find("\nresult       valid\n"), std::string::npos) << list.out;

    expected.back() ^= 0x80;
    writeWholeFile("/tmp/damaged", expected);
    RunResult bad = run("list /tmp/damaged");
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.out.find("\nresult       BAD: bad data checksum\n"), std::string::npos)
        << bad.out;

    // The sample's build script makes the sample image the tests build in process.
    std::string script = kSample + "/build-image " + kMkupdate + " /tmp/sample.img >/tmp/out 2>&1";
    ASSERT_EQ(std::system(script.c_str()), 0) << readWholeFile("/tmp/out");
    EXPECT_EQ(fileBytes("/tmp/sample.img"), *buildSampleUpdate(kSample, &error));
}

}  // namespace
}  // namespace mkupdate
