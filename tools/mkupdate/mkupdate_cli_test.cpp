// The mkupdate program and the sample update's build script, run as the people who make
// updates run them; on a cross build the board's program, under its emulator.
#include <gtest/gtest.h>
#include <sys/stat.h>
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

const std::string kSample = std::string(PROJECT_SOURCE_PATH) + "/sim/sample-update";
const std::string kMkupdate = "/tmp/bin/mkupdate";

struct RunResult {
    int status;
    std::string out, err;
};

class MkupdateProgram : public testing::Test {
protected:
    // The program as a command of its own, so that scripts can run it too.
    void SetUp() override {
        std::filesystem::create_directories("/tmp/bin");
        writeWholeFile(kMkupdate, "#!/bin/sh\nexec " + std::string(BOARD_EMULATOR) + " " +
                                      PROJECT_BINARY_PATH + "/mkupdate \"$@\"\n");
        chmod(kMkupdate.c_str(), 0755);
    }

    static RunResult run(const std::string& arguments) {
        int status = std::system((kMkupdate + " " + arguments + " >/tmp/out 2>/tmp/err").c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readWholeFile("/tmp/out"),
                readWholeFile("/tmp/err")};
    }
};

Bytes fileBytes(const std::string& path) {
    std::string text = readWholeFile(path);
    return Bytes(text.begin(), text.end());
}

TEST_F(MkupdateProgram, BuildsByteIdenticalImagesListsThemAndRefusesBadUsage) {
    writeWholeFile("/tmp/payload", "lap software payload");
    writeWholeFile("/tmp/note", "note");
    RunResult usage = run("wrap --name L /tmp/payload --type 256 -o /tmp/x");
    EXPECT_EQ(usage.status, 2);
    EXPECT_EQ(usage.err,
              "mkupdate: --type takes a number from 0 to 255, not \"256\" (see mkupdate --help)\n");
    EXPECT_FALSE(fileExists("/tmp/x"));

    ASSERT_EQ(run("wrap --type 2 -o /tmp/lap --name Linux-lap /tmp/payload").status, 0);
    std::string error, folder = "/tmp/made/update.d";
    std::filesystem::create_directories(folder);
    writeWholeFile(folder + "/updatetodo.txt", "PPCBOOT\n");
    EXPECT_EQ(fileBytes("/tmp/lap"), *wrapImage(fileBytes("/tmp/payload"), "Linux-lap", 2, &error));
    ASSERT_EQ(run("multi -o /tmp/update /tmp/note --pack-dir " + folder + " /tmp/lap").status, 0);
    Bytes expected = *buildMultiImage(
        {fileBytes("/tmp/note"), *packUpdateFolder(folder, &error), fileBytes("/tmp/lap")},
        "BT-LAP update", &error);
    EXPECT_EQ(fileBytes("/tmp/update"), expected);
    RunResult list = run("list /tmp/update");
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.out, reportImage(expected).text);
    EXPECT_NE(list.out.find("\nresult       valid\n"), std::string::npos) << list.out;

    expected.back() ^= 0x80;
    writeWholeFile("/tmp/damaged", expected);
    RunResult bad = run("list /tmp/damaged");
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.out.find("\nresult       BAD: bad data checksum\n"), std::string::npos)
        << bad.out;
}

// The sample's build script makes the image that the tests build in process, on every run;
// list shows what its archive holds; its files, extracted, build it again, with "multi" and,
// unpacked, with "build".
TEST_F(MkupdateProgram, SampleUpdateIsReproducibleListedAndRebuiltFromItsParts) {
    std::string error, script = kSample + "/build-image " + kMkupdate + " /tmp/sample.img";
    ASSERT_EQ(std::system((script + " >/tmp/out 2>&1").c_str()), 0) << readWholeFile("/tmp/out");
    const Bytes sample = fileBytes("/tmp/sample.img");
    EXPECT_EQ(sample, *buildSampleUpdate(kSample, &error));
    ASSERT_EQ(std::system((script + " >/tmp/out 2>&1").c_str()), 0);
    EXPECT_EQ(fileBytes("/tmp/sample.img"), sample);

    RunResult list = run("list /tmp/sample.img");
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.out, reportImage(sample).text);
    EXPECT_NE(list.out.find("to-do list   10 steps\n  step 1     CHECK_VERSIONS\n"),
              std::string::npos)
        << list.out;

    for (const char* n : {"0", "1", "2"})
        ASSERT_EQ(run(std::string("extract /tmp/sample.img ") + n + " -o /tmp/file" + n).status, 0);
    ASSERT_EQ(run("multi --name 'BT-LAP sample update' -o /tmp/again.img /tmp/file0 /tmp/file1 "
                  "/tmp/file2")
                  .status,
              0);
    EXPECT_EQ(fileBytes("/tmp/again.img"), sample);

    std::filesystem::create_directories("/tmp/parts");
    ASSERT_EQ(std::system("cd /tmp/parts && gunzip -c /tmp/file1 | tar xf -"), 0);
    std::string versions = readWholeFile("/tmp/parts/update.d/VERSION"), arguments, todo;
    for (const char* option : {"--firmware-version", "--pskeys-version", "--lap-version"}) {
        std::size_t start = versions.find('=') + 1, end = versions.find('\n');
        arguments += std::string(" ") + option + " '" + versions.substr(start, end - start) + "'";
        versions.erase(0, end + 1);
    }
    todo = readWholeFile("/tmp/parts/update.d/updatetodo.txt");
    todo = todo.substr(todo.find('\n') + 1);
    for (char& c : todo) c = c == '\n' ? ',' : c;
    RunResult rebuilt =
        run("build -o /tmp/rebuilt.img --name 'BT-LAP sample update' --note "
            "/tmp/file0 --lap /tmp/file2 --pskeys "
            "/tmp/parts/update.d/pskeyorig.psr --services "
            "/tmp/parts/update.d/service.txt --dfu /tmp/parts/update.d/dfu --stack "
            "/tmp/parts/update.d/stack.dfu --bcsp-uart /tmp/parts/update.d/linabcsp_uart.o "
            "--bcsp /tmp/parts/update.d/bcsp.o --bcsp-upchan "
            "/tmp/parts/update.d/linabcsp_upChan.o --steps " +
            todo + arguments);
    ASSERT_EQ(rebuilt.status, 0) << rebuilt.err;
    EXPECT_EQ(fileBytes("/tmp/rebuilt.img"), sample);

    RunResult beyond = run("extract /tmp/sample.img 3 -o /tmp/file3");
    EXPECT_EQ(beyond.status, 1);
    EXPECT_EQ(beyond.err, "mkupdate: /tmp/sample.img holds files 0 to 2, not file 3\n");
    EXPECT_EQ(run("extract /tmp/sample.img -1 -o /tmp/file3").status, 2);
    EXPECT_FALSE(fileExists("/tmp/file3"));
    EXPECT_FALSE(fileExists("/tmp/update.log"));
}

// A refused build reports every fault and leaves the output as it was, without a trace.
TEST_F(MkupdateProgram, RefusedBuildLeavesTheOutputAsItWas) {
    std::filesystem::create_directories("/tmp/outdir");
    writeWholeFile("/tmp/outdir/update.img", "an earlier update");
    writeWholeFile("/tmp/keys.psr", "&01f9 = 0001\r\n&01f8 = 0001\r\n");
    writeWholeFile("/tmp/dfu", "#!/bin/sh\n");
    chmod("/tmp/dfu", 0644);
    const struct {
        std::string arguments;
        int status;
        std::string err;
    } cases[] = {
        {"--pskeys /tmp/keys.psr --dfu /tmp/dfu --steps BT_MOD_SET_COMP,REMOVE_DFU_UPLOAD", 1,
         "mkupdate: /tmp/keys.psr: line 2: key 0x01f8 after key 0x01f9: the keys must ascend\n"
         "mkupdate: /tmp/dfu: the DFU program is not executable\n"},
        {"--services /tmp/missing.txt", 1,
         "mkupdate: cannot open /tmp/missing.txt: No such file or directory\n"},
        {"--lap-payload /tmp/dfu", 2,
         "mkupdate: --lap-payload needs --lap-name NAME (see mkupdate --help)\n"},
        {"--flash-size 2M", 2,
         "mkupdate: --flash-size takes the flash's size in bytes, a multiple of 65536 from "
         "262144 on, not \"2M\" (see mkupdate --help)\n"},
        {"/tmp/dfu", 2,
         "mkupdate: build takes each part with its option, not /tmp/dfu (see mkupdate --help)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        RunResult result = run("build -o /tmp/outdir/update.img " + c.arguments);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(readWholeFile("/tmp/outdir/update.img"), "an earlier update");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/tmp/outdir"), {}), 1);
    }
    EXPECT_FALSE(fileExists("/tmp/update.log")) << "the daemon's update report is not the tool's";
}

}  // namespace
}  // namespace mkupdate
