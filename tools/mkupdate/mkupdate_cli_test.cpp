// The mkupdate program and the sample update's build script, run as the people who make
// updates run them. Host builds only: on a cross build the program is the board's.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
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
    std::string out;
    std::string err;
};

RunResult run(const std::string& arguments) {
    std::string command = kMkupdate + " " + arguments + " >/tmp/cli.out 2>/tmp/cli.err";
    int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readWholeFile("/tmp/cli.out"),
            readWholeFile("/tmp/cli.err")};
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
    }
};

TEST_F(MkupdateProgram, HelpAndUsageErrors) {
    RunResult help = run("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: mkupdate COMMAND [OPTIONS] [FILES]\n", 0), 0u);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(run("wrap --help").out, help.out);

    struct Case {
        const char* arguments;
        const char* message;
    };
    for (const Case& c : {
             Case{"", "no command given"},
             Case{"pack x", "unknown command \"pack\""},
             Case{"wrap /tmp/payload -o /tmp/out", "wrap needs --name NAME"},
             Case{"wrap --name L -o /tmp/out", "wrap needs a payload file"},
             Case{"wrap --name L /tmp/payload", "wrap needs -o OUT"},
             Case{"wrap --name L --type 256 /tmp/payload -o /tmp/out",
                  "--type takes a number from 0 to 255, not \"256\""},
             Case{"wrap --name L /tmp/payload /tmp/note -o /tmp/out",
                  "wrap takes one payload file, got also /tmp/note"},
             Case{"wrap --name", "--name needs a value"},
             Case{"wrap --nmae L /tmp/payload -o /tmp/out", "unknown option --nmae for wrap"},
             Case{"multi -o /tmp/out /tmp/note", "multi needs at least FILE0 and FILE1"},
             Case{"multi /tmp/note /tmp/payload", "multi needs -o OUT"},
             Case{"list", "list takes one image file"},
         }) {
        RunResult result = run(c.arguments);
        EXPECT_EQ(result.status, 2) << c.arguments;
        EXPECT_EQ(result.err, std::string("mkupdate: ") + c.message + " (see mkupdate --help)\n");
        EXPECT_EQ(result.out, "");
    }
    EXPECT_FALSE(fileExists("/tmp/out"));
}

TEST_F(MkupdateProgram, FailuresAreReportedWithStatus1) {
    RunResult missing = run("wrap --name L /tmp/none -o /tmp/out");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "mkupdate: cannot open /tmp/none: No such file or directory\n");
    RunResult longName = run("wrap --name " + std::string(33, 'n') + " /tmp/payload -o /tmp/out");
    EXPECT_EQ(longName.status, 1);
    EXPECT_EQ(longName.err, "mkupdate: image name of 33 bytes is longer than 32 bytes\n");
    writeWholeFile("/tmp/empty", "");
    RunResult empty = run("multi -o /tmp/out /tmp/note /tmp/empty");
    EXPECT_EQ(empty.status, 1);
    EXPECT_EQ(empty.err, "mkupdate: /tmp/empty is empty; an image can't hold it\n");
    RunResult unwritable = run("wrap --name L /tmp/payload -o /tmp/no/dir/out");
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_EQ(unwritable.err,
              "mkupdate: cannot create /tmp/no/dir/out: No such file or directory\n");
    EXPECT_FALSE(fileExists("/tmp/out"));
}

TEST_F(MkupdateProgram, BuildsByteIdenticalImagesAndListsThem) {
    ASSERT_EQ(run("wrap --name Linux-lap --type 2 /tmp/payload -o /tmp/lap1").status, 0);
    ASSERT_EQ(run("wrap --type 2 -o /tmp/lap2 --name Linux-lap /tmp/payload").status, 0);
    std::string error;
    EXPECT_EQ(fileBytes("/tmp/lap1"),
              *wrapImage(fileBytes("/tmp/payload"), "Linux-lap", 2, &error));
    EXPECT_EQ(fileBytes("/tmp/lap1"), fileBytes("/tmp/lap2"));

    std::string updateFolder = kSample + "/update.d";
    ASSERT_EQ(
        run("multi -o /tmp/update /tmp/note --pack-dir " + updateFolder + " /tmp/lap1").status, 0);
    auto expected = buildMultiImage(
        {fileBytes("/tmp/note"), *packUpdateFolder(updateFolder, &error), fileBytes("/tmp/lap1")},
        "BT-LAP update", &error);
    EXPECT_EQ(fileBytes("/tmp/update"), *expected);

    RunResult list = run("list /tmp/update");
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.out, listingText(*expected));
    EXPECT_EQ(list.err, "");

    Bytes damaged = *expected;
    damaged[damaged.size() - 1] ^= 0x80;
    writeWholeFile("/tmp/damaged", damaged);
    RunResult bad = run("list /tmp/damaged");
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.out.find("\nresult       BAD: bad data checksum\n"), std::string::npos)
        << bad.out;
}

TEST_F(MkupdateProgram, SampleBuildScriptMakesTheInProcessSampleImage) {
    std::string command =
        kSample + "/build-image " + kMkupdate + " /tmp/sample.img >/tmp/build.out 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << readWholeFile("/tmp/build.out");
    std::string error;
    auto image = buildSampleUpdate(kSample, &error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(fileBytes("/tmp/sample.img"), *image);

    ImageListing listing = inspectImage(*image);
    EXPECT_TRUE(listing.valid()) << listing.failure;
    ASSERT_EQ(listing.files.size(), 3u);
    EXPECT_EQ(listing.files[2].size, 200000u);
    EXPECT_EQ(listing.files[2].offset + listing.files[2].size, image->size());
    ImageListing lap = inspectImage(std::span(*image).subspan(listing.files[2].offset));
    EXPECT_TRUE(lap.valid());
    EXPECT_EQ(lap.name, "Linux-qvl-sample");
}

}  // namespace
}  // namespace mkupdate
