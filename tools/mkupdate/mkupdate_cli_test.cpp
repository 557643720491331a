// The mkupdate program and the sample update's build script, run as the people who make
// updates run them; on a cross build the board's program, under its emulator.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/support/board.h"
#include "tests/support/openssl_keys.h"
#include "tools/common/image_builder.h"
#include "tools/mkupdate/image_verdict.h"
#include "tools/mkupdate/sample_update.h"
#include "tools/mkupdate/update_archive.h"

namespace mkupdate {
namespace {

const std::string kSample = std::string(PROJECT_SOURCE_PATH) + "/sim/sample-update";
const std::string kMkupdate = "/tmp/bin/mkupdate";

class MkupdateProgram : public testing::Test {
protected:
    // The program as a command of its own, so that scripts can run it too.
    void SetUp() override {
        std::filesystem::create_directories("/tmp/bin");
        writeWholeFile(kMkupdate, "#!/bin/sh\nexec " + std::string(BOARD_EMULATOR) + " " +
                                      PROJECT_BINARY_PATH + "/mkupdate \"$@\"\n");
        chmod(kMkupdate.c_str(), 0755);
    }

    static ProgramRun run(const std::string& arguments) {
        return runProgram(kMkupdate + " " + arguments);
    }
};

Bytes fileBytes(const std::string& path) {
    std::string text = readWholeFile(path);
    return Bytes(text.begin(), text.end());
}

TEST_F(MkupdateProgram, BuildsByteIdenticalImagesAndRefusesBadUsage) {
    writeWholeFile("/tmp/payload", "lap software payload");
    writeWholeFile("/tmp/note", "note");
    ProgramRun usage = run("wrap --name=L /tmp/payload --type 256 -o/tmp/x");
    EXPECT_EQ(usage.status, 2);
    EXPECT_EQ(usage.err,
              "mkupdate: --type takes a number from 0 to 255, not \"256\" (see mkupdate --help)\n");
    EXPECT_FALSE(fileExists("/tmp/x"));

    ASSERT_EQ(run("wrap --type=2 -o/tmp/lap --name Linux-lap -- /tmp/payload").status, 0);
    std::string error, folder = "/tmp/made/update.d";
    std::filesystem::create_directories(folder);
    writeWholeFile(folder + "/updatetodo.txt", "PPCBOOT\n");
    EXPECT_EQ(fileBytes("/tmp/lap"), *wrapImage(fileBytes("/tmp/payload"), "Linux-lap", 2, &error));
    ASSERT_EQ(run("multi -o /tmp/update /tmp/note --pack-dir " + folder + " /tmp/lap").status, 0);
    Bytes expected = *buildMultiImage(
        {fileBytes("/tmp/note"), *packUpdateFolder(folder, &error), fileBytes("/tmp/lap")},
        "BT-LAP update", &error);
    EXPECT_EQ(fileBytes("/tmp/update"), expected);
}

// An output that isn't a plain file of its own is never replaced: a device, a link (its
// target stays too), a folder, an input; "-" is standard output, the same bytes as the file.
TEST_F(MkupdateProgram, OutputsAreNeverDangerous) {
    writeWholeFile("/tmp/payload", "lap software payload");
    writeWholeFile("/tmp/target", "a file a link points to");
    std::filesystem::create_symlink("/tmp/target", "/tmp/link");
    std::filesystem::create_directories("/tmp/folder");
    const struct {
        const char* output;
        std::string err;
    } refused[] = {
        {"/dev/null",
         "mkupdate: /dev/null: not a regular file, not replaced (- writes to standard output)\n"},
        {"/tmp/link",
         "mkupdate: /tmp/link: a symbolic link, not replaced (name the file it points "
         "to)\n"},
        {"/tmp/folder",
         "mkupdate: /tmp/folder: not a regular file, not replaced (- writes to standard output)\n"},
        {"/tmp/payload", "mkupdate: /tmp/payload: the input /tmp/payload, not replaced\n"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.output);
        ProgramRun result = run(std::string("wrap --name L /tmp/payload -o ") + c.output);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.out, "");
    }
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
    EXPECT_TRUE(std::filesystem::is_symlink("/tmp/link"));
    EXPECT_EQ(readWholeFile("/tmp/target"), "a file a link points to");
    EXPECT_EQ(readWholeFile("/tmp/payload"), "lap software payload");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/tmp/folder"), {}), 0);

    ASSERT_EQ(run("wrap --name L /tmp/payload -o /tmp/lap").status, 0);
    ProgramRun piped = run("wrap --name L /tmp/payload -o - | cat");
    EXPECT_EQ(piped.status, 0);
    EXPECT_TRUE(piped.out == readWholeFile("/tmp/lap"));
    EXPECT_FALSE(fileExists("-"));
}

// The daemon's verdict: an image without a to-do file runs no step; a LAP software step whose
// last file is no image fails. check says why and writes nothing; list shows it too.
TEST_F(MkupdateProgram, CheckAndListGiveTheDaemonsVerdict) {
    writeWholeFile("/tmp/note", "note");
    writeWholeFile("/tmp/lap", "not an image");
    std::filesystem::create_directories("/tmp/none/update.d");
    writeWholeFile("/tmp/none/update.d/VERSION", "LAP_VERSION=2.1.0\n");
    std::filesystem::create_directories("/tmp/lapstep/update.d");
    writeWholeFile("/tmp/lapstep/update.d/updatetodo.txt", "# steps\nPPCBOOT\nLAP_SOFTWARE\n");
    ASSERT_EQ(run("multi -o /tmp/none.img /tmp/note --pack-dir /tmp/none/update.d /tmp/lap").status,
              0);
    ASSERT_EQ(
        run("multi -o /tmp/lap.img /tmp/note --pack-dir /tmp/lapstep/update.d /tmp/lap").status, 0);
    // Images whose steps can only fail on every board, as no build makes them. (The step
    // checks they share with a build, one fault after another: the build's test.)
    // And images whose parts travel for nothing, no step reading them. No last file: it
    // would be a LAP software image without its step.
    const struct {
        const char* name;
        const char* todo;
        std::vector<const char*> files;
    } failing[] = {
        {"nothing", "# no step yet\n\n", {}},
        {"misspelt", "PPCBOT\nCHECK_SDP\n", {"service.txt"}},
        {"firmware",
         "BT_MOD_SET_FIRM_STACK\n",
         {"dfu", "stack.dfu", "linabcsp_uart.o", "bcsp.o", "linabcsp_upChan.o"}},
        {"keys", "PPCBOOT\n", {"update-keys/k.key"}},
        {"services", "PPCBOOT\n", {"service.txt"}},
        {"module", "CHECK_SDP\n", {"service.txt", "pskeyorig.psr"}},
    };
    for (const auto& f : failing) {
        std::string folder = std::string("/tmp/") + f.name + "/update.d";
        std::filesystem::create_directories(folder + "/update-keys");
        writeWholeFile(folder + "/updatetodo.txt", f.todo);
        for (const char* file : f.files) writeWholeFile(folder + "/" + file, "");
        chmod((folder + "/dfu").c_str(), 0755);
        ASSERT_EQ(
            run("multi -o /tmp/" + std::string(f.name) + ".img /tmp/note --pack-dir " + folder)
                .status,
            0);
    }
    const struct {
        const char* image;
        std::string fault;
    } cases[] = {
        {"/tmp/none.img", "update archive: no update.d/updatetodo.txt, no step runs"},
        {"/tmp/lap.img", "file 2 (the last): file of 12 bytes is shorter than the 64-byte header"},
        {"/tmp/nothing.img", "update.d/updatetodo.txt selects no step, no step runs"},
        {"/tmp/misspelt.img",
         "update.d/updatetodo.txt line 1 \"PPCBOT\" names no step; that step never runs"},
        {"/tmp/firmware.img",
         "step BT_MOD_SET_FIRM_STACK fails: update.d/stack.dfu names no firmware version (no line "
         "\"firmware VERSION\"), and the DFU program refuses it"},
        {"/tmp/keys.img",
         "update.d/update-keys/: key set packed but not installed, as update.d/updatetodo.txt "
         "names no UPDATE_KEYS"},
        {"/tmp/services.img",
         "update.d/service.txt: service records packed but not merged, as "
         "update.d/updatetodo.txt names no CHECK_SDP"},
        {"/tmp/module.img",
         "update.d/pskeyorig.psr: PS-Keys packed but not read, as update.d/updatetodo.txt names "
         "no CHECK_VERSIONS, BT_MOD_SET_COMP or BT_MOD_SET_ALL_WRITE"},
    };
    auto tmpFiles = [] {
        std::set<std::string> files;
        for (const auto& entry : std::filesystem::recursive_directory_iterator("/tmp"))
            files.insert(entry.path().string());
        return files;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        std::set<std::string> before = tmpFiles();
        ProgramRun check = run(std::string("check ") + c.image);
        EXPECT_EQ(tmpFiles(), before) << "check writes nothing";
        EXPECT_EQ(check.status, 1);
        EXPECT_EQ(check.out, "");
        EXPECT_EQ(check.err, "mkupdate: " + std::string(c.image) + ": " + c.fault + "\n");
        ProgramRun list = run(std::string("list ") + c.image);
        EXPECT_EQ(list.status, 1);
        EXPECT_TRUE(list.out.ends_with("\nresult       BAD: " + c.fault + "\n")) << list.out;
        ProgramRun json = run(std::string("list --json ") + c.image);
        EXPECT_EQ(json.status, 1);
        std::string quoted = std::regex_replace(c.fault, std::regex("\""), "\\\"");
        EXPECT_TRUE(json.out.ends_with(",\"faults\":[\"" + quoted + "\"],\"valid\":false}\n"))
            << json.out;
    }
    ProgramRun lap = run("list /tmp/lap.img");
    EXPECT_NE(
        lap.out.find("to-do list   2 steps\n  step 1     PPCBOOT\n  step 2     LAP_SOFTWARE\n"),
        std::string::npos)
        << lap.out;
}

// An input is a regular file or standard input: a device is not read without end, a FIFO
// with no writer is not waited on.
TEST_F(MkupdateProgram, ReadsRegularFilesAndStandardInputOnly) {
    ASSERT_EQ(mkfifo("/tmp/fifo", 0600), 0);
    std::filesystem::create_directories("/tmp/folder");
    for (const char* path : {"/dev/zero", "/tmp/fifo", "/tmp/folder"}) {
        ProgramRun refused = run(std::string("check ") + path);
        EXPECT_EQ(refused.status, 1) << path;
        EXPECT_EQ(refused.err, "mkupdate: " + std::string(path) + ": not a regular file\n");
    }
    writeWholeFile("/tmp/payload", "lap software payload");
    ASSERT_EQ(run("wrap --type=2 -o/tmp/lap --name Linux-lap /tmp/payload").status, 0);
    ProgramRun piped = run("list - </tmp/lap"), named = run("list /tmp/lap");
    EXPECT_EQ(piped.status, named.status);
    EXPECT_EQ(piped.out, named.out);
    EXPECT_NE(piped.out.find("magic        0x"), std::string::npos) << piped.out;
    ProgramRun endless = run("check - </dev/zero");
    EXPECT_EQ(endless.status, 1);
    EXPECT_TRUE(endless.err.ends_with("standard input: larger than 268435456 bytes\n"))
        << endless.err;
}

// A member's name in UTF-8 comes back as it is in JSON; a byte that is no UTF-8 as U+FFFD, so
// the JSON stays valid.
TEST_F(MkupdateProgram, ListsNamesAsValidUtf8Json) {
    std::filesystem::create_directories("/tmp/named/update.d");
    writeWholeFile("/tmp/named/update.d/updatetodo.txt", "PPCBOOT\n");
    writeWholeFile("/tmp/named/update.d/Gr\u00fc\u00dfe.txt", "hello");
    writeWholeFile("/tmp/named/update.d/raw\xff.txt", "hello");
    writeWholeFile("/tmp/note", "note");
    writeWholeFile("/tmp/payload", "lap software payload");
    ASSERT_EQ(run("wrap --type=2 -o/tmp/lap --name Linux-lap /tmp/payload").status, 0);
    ASSERT_EQ(
        run("multi -o /tmp/named.img /tmp/note --pack-dir /tmp/named/update.d /tmp/lap").status, 0);
    const std::string json = run("list --json /tmp/named.img").out;
    EXPECT_TRUE(json.starts_with("{\"format_version\":2,")) << json;
    // The LAP software image's own header, nested in its file.
    EXPECT_NE(json.find(",\"header\":{\"magic\":285810689,\"headerCrc\":"), std::string::npos);
    EXPECT_NE(json.find("\"dataSize\":20,\"dataCrc\":"), std::string::npos) << json;
    EXPECT_NE(json.find("\"type\":2,\"name\":\"Linux-lap\"},\"valid\":true}],"), std::string::npos)
        << json;
    EXPECT_NE(json.find("\"update.d/Gr\u00fc\u00dfe.txt\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"update.d/raw\ufffd.txt\""), std::string::npos) << json;
}

// Both tools' conventions: the version of the project and of the build, usage errors.
TEST_F(MkupdateProgram, TellsItsVersionAndRefusesUnknownOptions) {
    for (const char* option : {"--version", "-V"}) {
        ProgramRun version = run(option);
        EXPECT_EQ(version.status, 0);
        EXPECT_TRUE(version.out.starts_with("mkupdate (BT-LAP update) 0.1.0\nbuilt from "))
            << version.out;
    }
    // The option as given, also within a group of short options.
    const struct {
        const char* arguments;
        const char* err;
    } usage[] = {
        {"check --bogus /tmp/x", "unknown option --bogus for check"},
        {"build -Zq -o /tmp/x.img", "unknown option -Z for build"},
        {"wrap -qo /tmp/x.img", "unknown option -q for wrap"},
        {"build --flash-size", "--flash-size needs a value"},
        {"list -o", "-o needs a value"},
    };
    for (const auto& u : usage) {
        ProgramRun refused = run(u.arguments);
        EXPECT_EQ(refused.status, 2) << u.arguments;
        EXPECT_EQ(refused.err, "mkupdate: " + std::string(u.err) + " (see mkupdate --help)\n");
    }
    ProgramRun missing = run("list /tmp/none");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "mkupdate: cannot open /tmp/none: No such file or directory\n");
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

    ProgramRun list = run("list /tmp/sample.img");
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.out, judgeImage(sample).text);
    ProgramRun check = run("check /tmp/sample.img");
    EXPECT_EQ(check.status, 0);
    EXPECT_EQ(check.out, "/tmp/sample.img: valid\n");
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
    ProgramRun rebuilt =
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

    ProgramRun beyond = run("extract /tmp/sample.img 3 -o /tmp/file3");
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
        {"--pskeys /tmp/keys.psr --dfu /tmp/dfu --steps "
         "BT_MOD_SET_READ,BT_MOD_SET_COMP,BT_MOD_SET_FIRM_STACK",
         1,
         "mkupdate: /tmp/keys.psr: line 2: key 0x01f8 after key 0x01f9: the keys must ascend\n"
         "mkupdate: /tmp/dfu: the DFU program is not executable\n"
         "mkupdate: step BT_MOD_SET_FIRM_STACK needs --stack, --bcsp-uart, --bcsp, "
         "--bcsp-upchan\n"},
        // A part that no listed step reads: refused before any file is read.
        {"--pskeys /tmp/keys.psr --dfu /tmp/dfu --steps BT_MOD_SET_READ,BT_MOD_SET_COMP", 2,
         "mkupdate: --dfu: firmware packed but not loaded, as --steps names no "
         "BT_MOD_SET_FIRM_STACK (see mkupdate --help)\n"},
        {"--install-keys /tmp/missing --lap /tmp/dfu --steps LAP_SOFTWARE,PPCBOOT", 2,
         "mkupdate: --install-keys: key set packed but not installed, as --steps names no "
         "UPDATE_KEYS (see mkupdate --help)\n"},
        {"--services /tmp/missing.txt --steps PPCBOOT", 2,
         "mkupdate: --services: service records packed but not merged, as --steps names no "
         "CHECK_SDP (see mkupdate --help)\n"},
        {"--lap /tmp/missing --steps PPCBOOT --lap-version 2.1 --stack /tmp/dfu", 2,
         "mkupdate: --lap: LAP software image packed but not written, as --steps names no "
         "LAP_SOFTWARE (see mkupdate --help)\n"},
        {"--lap /tmp/missing --lap-version 2.1", 2,
         "mkupdate: --lap-version: versions packed but not checked, as the default steps hold "
         "CHECK_VERSIONS only with the module's firmware or PS-Keys: give --steps with it, or "
         "leave the version out (see mkupdate --help)\n"},
        {"--pskeys /tmp/keys.psr --firmware-version '2114 1' --steps BT_MOD_SET_READ", 2,
         "mkupdate: --pskeys: PS-Keys packed but not read, as --steps names no CHECK_VERSIONS, "
         "BT_MOD_SET_COMP or BT_MOD_SET_ALL_WRITE (see mkupdate --help)\n"},
        {"--lap /tmp/dfu --sign /tmp/none.pem --security-version 4294967295", 2,
         "mkupdate: --security-version 4294967295 pins each board that takes the image for "
         "good: it refuses every image signed with a lower one; --force signs it anyway (see "
         "mkupdate --help)\n"},
        {"--services /tmp/missing.txt", 1,
         "mkupdate: cannot open /tmp/missing.txt: No such file or directory\n"},
        {"--lap-payload /tmp/dfu", 2,
         "mkupdate: --lap-payload needs --lap-name NAME (see mkupdate --help)\n"},
        {"--flash-size 2X", 2,
         "mkupdate: --flash-size takes the flash's size in bytes (or KiB, MiB, GiB with K, M, "
         "G), a multiple of 64K from 256K on, not \"2X\" (see mkupdate --help)\n"},
        {"/tmp/dfu", 2,
         "mkupdate: build takes each part with its option, not /tmp/dfu (see mkupdate --help)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        ProgramRun result = run("build -o /tmp/outdir/update.img " + c.arguments);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(readWholeFile("/tmp/outdir/update.img"), "an earlier update");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/tmp/outdir"), {}), 1);
    }
    EXPECT_FALSE(fileExists("/tmp/update.log")) << "the daemon's update report is not the tool's";
}

}  // namespace
}  // namespace mkupdate

namespace mkupdate {
namespace {

// The makers' key pair, an image signed with it in place or as it is built, and the daemon's
// verdict with the board's key folder.
TEST_F(MkupdateProgram, SignsWithItsOwnKeysAndChecksAsABoardWithThemDoes) {
    ProgramRun made = run("keygen --bits 2048 /tmp/makers.pem");
    ASSERT_EQ(made.status, 0) << made.err;
    struct stat key {};
    ASSERT_EQ(stat("/tmp/makers.pem", &key), 0);
    EXPECT_EQ(key.st_mode & 0777, 0600u) << "the private key is the makers' alone";
    EXPECT_EQ(run("keygen /tmp/makers.pem").err,
              "mkupdate: can't create /tmp/makers.pem: File exists\n");
    ASSERT_EQ(run("keygen --bits 2048 /tmp/others.pem /tmp/others.key").status, 0);
    std::filesystem::create_directories("/tmp/keys");
    std::filesystem::copy_file("/tmp/makers.key", "/tmp/keys/makers.key");
    const std::string id = readWholeFile("/tmp/makers.key").substr(20, 32);
    EXPECT_NE(made.out.find("update key " + id + " (RSA 2048 bits)"), std::string::npos)
        << made.out;

    ASSERT_EQ(std::system(
                  (kSample + "/build-image " + kMkupdate + " /tmp/sample.img >/dev/null").c_str()),
              0);
    ProgramRun unsignedCheck = run("check --keys /tmp/keys /tmp/sample.img");
    EXPECT_EQ(unsignedCheck.status, 1);
    EXPECT_EQ(unsignedCheck.err, "mkupdate: /tmp/sample.img: refused: no signature\n");
    EXPECT_EQ(run("check /tmp/sample.img").status, 0) << "a board without keys takes it";
    // The highest security version pins a board for good: signed only when forced.
    ProgramRun pinned =
        run("sign --key /tmp/makers.pem --security-version 4294967295 -o /tmp/pinned.img "
            "/tmp/sample.img");
    EXPECT_EQ(pinned.status, 2);
    EXPECT_TRUE(pinned.err.starts_with("mkupdate: --security-version 4294967295 pins each board"))
        << pinned.err;
    EXPECT_FALSE(fileExists("/tmp/pinned.img"));
    ASSERT_EQ(run("sign --key /tmp/makers.pem --security-version 4294967295 --force -o "
                  "/tmp/pinned.img /tmp/sample.img")
                  .status,
              0);
    EXPECT_EQ(run("check --keys /tmp/keys /tmp/pinned.img").out,
              "/tmp/pinned.img: signed by key " + id +
                  ", format 2, security version 4294967295\n/tmp/pinned.img: keys /tmp/keys: "
                  "valid\n/tmp/pinned.img: valid\n");

    ASSERT_EQ(run("sign --key /tmp/makers.pem /tmp/sample.img").status, 0);
    EXPECT_EQ(run("check --keys /tmp/keys /tmp/sample.img").out,
              "/tmp/sample.img: signed by key " + id +
                  ", format 1, security version 0\n/tmp/sample.img: keys /tmp/keys: "
                  "valid\n/tmp/sample.img: valid\n");
    ProgramRun again = run("sign --key /tmp/others.pem /tmp/sample.img");
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.err, "mkupdate: /tmp/sample.img: signed already (by key " + id +
                             "); --resign replaces the signature\n");
    ASSERT_EQ(run("sign --resign --key /tmp/others.pem -o /tmp/others.img /tmp/sample.img").status,
              0);
    EXPECT_EQ(run("check --keys /tmp/keys /tmp/others.img").err,
              "mkupdate: /tmp/others.img: refused: signed by unknown key " +
                  readWholeFile("/tmp/others.key").substr(20, 32) + "\n");
    // The note that file 0 held before it was signed stays behind the signature block.
    EXPECT_EQ(run("extract /tmp/others.img 0 -o /tmp/file0").status, 0);
    EXPECT_TRUE(readWholeFile("/tmp/file0").ends_with(readWholeFile(kSample + "/note.txt")));

    writeWholeFile("/tmp/lap", "Linux payload");
    ASSERT_EQ(run("build -o /tmp/built.img --lap-payload /tmp/lap --lap-name Linux-x "
                  "--sign /tmp/makers.pem")
                  .status,
              0);
    EXPECT_EQ(run("check --keys /tmp/keys /tmp/built.img").status, 0);
    EXPECT_EQ(run("build -o /tmp/pinned-build.img --lap-payload /tmp/lap --lap-name Linux-x "
                  "--sign /tmp/makers.pem --security-version 4294967295 --force")
                  .status,
              0);
    writeWholeFile("/tmp/keys/broken.key", "rsa-sha256 65537 zz\n");
    EXPECT_NE(run("check --keys /tmp/keys /tmp/built.img").err.find("broken.key is not a key file"),
              std::string::npos);
}

// Signing as release engineers do it: with an encrypted key and its passphrase from
// anywhere openssl takes one, or by a key held elsewhere (here openssl pkeyutl), whose
// signature is inserted only when it is the key's over the image's statement.
TEST_F(MkupdateProgram, SignsWithPassphrasesAndSignaturesMadeElsewhere) {
    ASSERT_EQ(std::system(
                  (kSample + "/build-image " + kMkupdate + " /tmp/release.img >/dev/null").c_str()),
              0);
    ASSERT_EQ(std::system("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -aes256 "
                          "-pass pass:secret -out /tmp/release.pem 2>/dev/null"),
              0);
    writeWholeFile("/tmp/phrase", "secret\n");
    for (const char* passin :
         {"pass:secret", "env:PHRASE", "file:/tmp/phrase", "fd:3 3</tmp/phrase"}) {
        SCOPED_TRACE(passin);
        std::filesystem::remove("/tmp/signed.img");
        ProgramRun sign =
            runProgram("PHRASE=secret " + kMkupdate +
                       " sign --key /tmp/release.pem --security-version 4 -o /tmp/signed.img "
                       "/tmp/release.img --passin " +
                       passin);
        ASSERT_EQ(sign.status, 0) << sign.err;
        if (!fileExists("/tmp/reference.img"))
            std::filesystem::copy_file("/tmp/signed.img", "/tmp/reference.img");
        EXPECT_TRUE(readWholeFile("/tmp/signed.img") == readWholeFile("/tmp/reference.img"));
    }
    // A wrong passphrase, or none and no terminal to ask on (a script's run): said as such,
    // without a prompt on standard error, and nothing written.
    const struct {
        const char* command;
        const char* err;
    } refused[] = {
        {"sign --key /tmp/release.pem --passin pass:wrong -o /tmp/x.img /tmp/release.img",
         "mkupdate: /tmp/release.pem: encrypted: wrong passphrase\n"},
        {"sign --key /tmp/release.pem -o /tmp/x.img /tmp/release.img",
         "mkupdate: /tmp/release.pem: encrypted: give --passin\n"},
        {"build -o /tmp/x.img --lap /tmp/release.img --sign /tmp/release.pem",
         "mkupdate: /tmp/release.pem: encrypted: give --passin\n"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.command);
        ProgramRun result = runProgram("setsid -w " + kMkupdate + " " + c.command + " </dev/null");
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, c.err);
        EXPECT_FALSE(fileExists("/tmp/x.img"));
    }
    EXPECT_EQ(run("sign --key /tmp/release.pem --passin phrase -o /tmp/x.img /tmp/release.img").err,
              "mkupdate: --passin takes pass:TEXT, env:VARIABLE, file:PATH or fd:NUMBER, not "
              "\"phrase\"\n");

    // The public key as the board gets it, from the public key alone: the key line holds the
    // modulus that openssl reads in the private key.
    ASSERT_EQ(std::system("openssl rsa -in /tmp/release.pem -passin pass:secret -modulus -noout "
                          "-out /tmp/release.modulus && openssl pkey -in /tmp/release.pem "
                          "-passin pass:secret -pubout -out /tmp/release.pub"),
              0);
    const std::string modulus = readWholeFile("/tmp/release.modulus");
    ASSERT_TRUE(modulus.starts_with("Modulus="));
    std::filesystem::create_directories("/tmp/release-keys");
    std::string hex = modulus.substr(8, modulus.find('\n') - 8);
    for (char& c : hex) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ASSERT_EQ(run("pubkey -o /tmp/release-keys/release.key /tmp/release.pub").status, 0);
    EXPECT_TRUE(readWholeFile("/tmp/release-keys/release.key")
                    .ends_with("\nrsa-sha256 65537 " + hex + "\n"));

    ASSERT_EQ(run("statement --security-version 4 -o /tmp/statement /tmp/release.img").status, 0);
    EXPECT_EQ(readWholeFile("/tmp/statement").size(), 40u);
    ASSERT_EQ(std::system("openssl dgst -sha256 -binary -out /tmp/statement.sha256 /tmp/statement "
                          "&& openssl pkeyutl -sign -inkey /tmp/release.pem -passin pass:secret "
                          "-pkeyopt digest:sha256 -in /tmp/statement.sha256 -out /tmp/signature"),
              0);
    ProgramRun wrong =
        run("sign --signature /tmp/signature --public /tmp/release-keys/release.key "
            "--security-version 5 -o /tmp/detached.img /tmp/release.img");
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(wrong.err,
              "mkupdate: /tmp/release.img: the signature is not the key's over this image's "
              "statement with security version 5\n");
    EXPECT_FALSE(fileExists("/tmp/detached.img"));
    ProgramRun inserted =
        run("sign --signature /tmp/signature --key-id "
            "/tmp/release-keys/release.key --security-version 4 -o "
            "/tmp/detached.img /tmp/release.img");
    ASSERT_EQ(inserted.status, 0) << inserted.err;
    EXPECT_TRUE(readWholeFile("/tmp/detached.img") == readWholeFile("/tmp/reference.img"))
        << "the detached flow signs byte for byte as mkupdate sign does";

    ProgramRun check = run("check --keys /tmp/release-keys /tmp/detached.img");
    EXPECT_EQ(check.status, 0) << check.err;
    const std::string id = updateKeyIdText(updateKeyIdOf(bytesFromHex(hex))).data();
    EXPECT_NE(check.out.find("signed by key " + id + ", format 2, security version 4\n"),
              std::string::npos)
        << check.out;
    EXPECT_NE(run("list --json /tmp/detached.img")
                  .out.find("\"signature\":{\"keyId\":\"" + id +
                            "\",\"format\":2,\"securityVersion\":4}"),
              std::string::npos);
}

// A key that lives elsewhere gets its board key file from its public key: the file keygen
// wrote for it, from any PEM form of the key; a detached signature checked with it is taken
// by a board that holds it.
TEST_F(MkupdateProgram, PubkeyWritesTheKeyFileThatKeygenWrites) {
    ASSERT_EQ(run("keygen --bits 2048 /tmp/held.pem /tmp/keygen.key").status, 0);
    const std::string keygenFile = readWholeFile("/tmp/keygen.key");
    ASSERT_EQ(std::system("openssl pkey -in /tmp/held.pem -pubout -out /tmp/held.pub && openssl "
                          "rsa -in /tmp/held.pem -RSAPublicKey_out -out /tmp/held.rsa.pub "
                          "2>/dev/null && openssl pkey -in /tmp/held.pem -aes256 -passout "
                          "pass:secret -out /tmp/held.enc.pem"),
              0);
    for (const std::string command :
         {"pubkey /tmp/held.pub", "pubkey - </tmp/held.pub", "pubkey -o - /tmp/held.rsa.pub",
          "pubkey /tmp/held.pem", "pubkey --passin pass:secret /tmp/held.enc.pem"}) {
        SCOPED_TRACE(command);
        ProgramRun written = run(command);
        EXPECT_EQ(written.status, 0) << written.err;
        EXPECT_EQ(written.out, keygenFile);
    }

    std::filesystem::create_directories("/tmp/held-keys");
    ASSERT_EQ(run("pubkey -o /tmp/held-keys/held.key /tmp/held.pub").status, 0);
    EXPECT_EQ(readWholeFile("/tmp/held-keys/held.key"), keygenFile);
    ASSERT_EQ(
        std::system((kSample + "/build-image " + kMkupdate + " /tmp/held.img >/dev/null").c_str()),
        0);
    ASSERT_EQ(run("statement -o /tmp/held.statement /tmp/held.img").status, 0);
    ASSERT_EQ(std::system("openssl dgst -sha256 -binary -out /tmp/held.sha256 /tmp/held.statement "
                          "&& openssl pkeyutl -sign -inkey /tmp/held.pem -pkeyopt digest:sha256 "
                          "-in /tmp/held.sha256 -out /tmp/held.sig"),
              0);
    ProgramRun inserted =
        run("sign --signature /tmp/held.sig --public /tmp/held-keys/held.key /tmp/held.img");
    ASSERT_EQ(inserted.status, 0) << inserted.err;
    const std::string id = keygenFile.substr(20, 32);
    EXPECT_EQ(run("check --keys /tmp/held-keys /tmp/held.img").out,
              "/tmp/held.img: signed by key " + id +
                  ", format 1, security version 0\n/tmp/held.img: keys /tmp/held-keys: "
                  "valid\n/tmp/held.img: valid\n");

    ASSERT_EQ(std::system("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out "
                          "/tmp/small.pem 2>/dev/null && openssl genpkey -algorithm EC -pkeyopt "
                          "ec_paramgen_curve:P-256 2>/dev/null | openssl pkey -pubout -out "
                          "/tmp/ec.pub"),
              0);
    writeWholeFile("/tmp/garbage.pem", "not a key\n");
    const struct {
        const char* command;
        int status;
        std::string err;
    } refused[] = {
        {"pubkey -o /tmp/held.pub.out /tmp/held.pub", 2,
         "mkupdate: the board's key file must be named NAME.key, not /tmp/held.pub.out (see "
         "mkupdate --help)\n"},
        {"pubkey /tmp/held.pub /tmp/held.pem", 2,
         "mkupdate: pubkey takes one key in PEM, or - for its text (see mkupdate --help)\n"},
        {"pubkey /tmp/small.pem", 1,
         "mkupdate: /tmp/small.pem is not an RSA key of 2048 to 4096 bits with exponent 65537\n"},
        {"pubkey - </tmp/ec.pub", 1,
         "mkupdate: standard input is not an RSA key of 2048 to 4096 bits with exponent "
         "65537\n"},
        {"pubkey --passin pass:wrong /tmp/held.enc.pem", 1,
         "mkupdate: /tmp/held.enc.pem: encrypted: wrong passphrase\n"},
        {"pubkey /tmp/held.enc.pem </dev/null", 1,
         "mkupdate: /tmp/held.enc.pem: encrypted: give --passin\n"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.command);
        ProgramRun result = runProgram("setsid -w " + kMkupdate + " " + c.command);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.out, "");
    }
    // On a terminal the passphrase is asked for once, and a wrong one said as such.
    for (const char* typed : {"secret", "wrong"}) {
        SCOPED_TRACE(typed);
        ProgramRun asked = runProgram(std::string("printf '") + typed + "\\n' | script -qec '" +
                                      kMkupdate + " pubkey /tmp/held.enc.pem' /dev/null");
        EXPECT_EQ(countOf(asked.out, "Enter pass phrase for /tmp/held.enc.pem:"), 1u) << asked.out;
        if (std::string(typed) == "secret") {
            EXPECT_EQ(asked.status, 0);
            EXPECT_NE(asked.out.find("\r\nrsa-sha256 65537 "), std::string::npos) << asked.out;
        } else {
            EXPECT_EQ(asked.status, 1);
            EXPECT_TRUE(
                asked.out.ends_with("mkupdate: /tmp/held.enc.pem: encrypted: wrong passphrase\r\n"))
                << asked.out;
        }
    }
    ProgramRun garbage = run("pubkey /tmp/garbage.pem");
    EXPECT_EQ(garbage.status, 1);
    EXPECT_TRUE(garbage.err.starts_with("mkupdate: /tmp/garbage.pem holds no key in PEM"))
        << garbage.err;
}

// A key folder that a board can't use is no "valid" check; keygen writes the board's key
// only as NAME.key, and never over a file.
TEST_F(MkupdateProgram, RefusesKeyFoldersAndKeyNamesThatLeaveABoardOpen) {
    ASSERT_EQ(run("keygen --bits 2048 /tmp/k.pem").status, 0);
    ASSERT_EQ(
        std::system((kSample + "/build-image " + kMkupdate + " /tmp/s.img >/dev/null").c_str()), 0);
    ASSERT_EQ(run("sign --key /tmp/k.pem /tmp/s.img").status, 0);
    std::filesystem::create_directories("/tmp/empty");
    std::filesystem::create_directories("/tmp/pub");
    std::filesystem::copy_file("/tmp/k.key", "/tmp/pub/k.pub");
    const struct {
        const char* folder;
        std::string err;
    } cases[] = {
        {"/tmp/empty",
         "mkupdate: /tmp/empty holds no key file (*.key): a board with it takes images unsigned\n"},
        {"/tmp/pub",
         "mkupdate: warning: /tmp/pub/k.pub is not named *.key; the board ignores it\nmkupdate: "
         "/tmp/pub holds no key file (*.key): a board with it refuses every image\n"},
        {"/tmp/k.key", "mkupdate: can't read key folder /tmp/k.key: Not a directory\n"},
    };
    for (const auto& c : cases) {
        ProgramRun check = run(std::string("check --keys ") + c.folder + " /tmp/s.img");
        EXPECT_EQ(check.status, 1) << c.folder;
        EXPECT_EQ(check.err, c.err);
    }
    const std::string before = readWholeFile("/tmp/k.key");
    ProgramRun again = run("keygen --bits 2048 /tmp/other.pem /tmp/k.key");
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.err, "mkupdate: can't create /tmp/k.key: File exists\n");
    EXPECT_EQ(readWholeFile("/tmp/k.key"), before);
    EXPECT_FALSE(fileExists("/tmp/other.pem"));
    ProgramRun pub = run("keygen --bits 2048 /tmp/p.pem /tmp/p.pub");
    EXPECT_EQ(pub.status, 2);
    EXPECT_EQ(pub.err,
              "mkupdate: the board's key file must be named NAME.key, not /tmp/p.pub (see "
              "mkupdate --help)\n");
    EXPECT_FALSE(fileExists("/tmp/p.pem"));

    // An update that installs a key set lists it, key by key.
    std::filesystem::create_directories("/tmp/next-keys");
    std::filesystem::copy_file("/tmp/k.key", "/tmp/next-keys/k.key");
    writeWholeFile("/tmp/lap", "Linux payload");
    ProgramRun built =
        run("build -o /tmp/keys.img --lap-payload /tmp/lap --lap-name Linux-x "
            "--install-keys /tmp/next-keys");
    ASSERT_EQ(built.status, 0);
    EXPECT_EQ(built.err,
              "mkupdate: warning: /tmp/keys.img: installs a key set but is unsigned: a board with "
              "keys refuses it (only a board without keys takes it, as its first key set)\n");
    // Signed, it says nothing; explicit steps must name UPDATE_KEYS.
    ProgramRun signedKeys =
        run("build -o /tmp/signed-keys.img --lap-payload /tmp/lap --lap-name Linux-x "
            "--install-keys /tmp/next-keys --sign /tmp/k.pem --steps LAP_SOFTWARE,UPDATE_KEYS");
    EXPECT_EQ(signedKeys.status, 0);
    EXPECT_EQ(signedKeys.err, "");
    EXPECT_EQ(run("check /tmp/signed-keys.img").err, "");
    const std::string id = readWholeFile("/tmp/k.key").substr(20, 32);
    ProgramRun list = run("list /tmp/keys.img");
    const std::string warning =
        "installs a key set but is unsigned: a board with keys refuses it (only a board without "
        "keys takes it, as its first key set)";
    EXPECT_NE(list.out.find("signature    unsigned\nkey set      update.d/update-keys/k.key " + id +
                            " release\nwarning      " + warning + "\nresult       valid\n"),
              std::string::npos)
        << list.out;
    ProgramRun check = run("check /tmp/keys.img");
    EXPECT_EQ(check.status, 0);
    EXPECT_EQ(check.err, "mkupdate: warning: /tmp/keys.img: " + warning + "\n");
    EXPECT_EQ(check.out, "/tmp/keys.img: valid\n");
    EXPECT_NE(run("list --json /tmp/keys.img")
                  .out.find("\"keySet\":[{\"name\":\"update.d/update-keys/k.key\",\"keyId\":\"" +
                            id + "\",\"role\":\"release\"}]"),
              std::string::npos);
    ProgramRun refused =
        run("build -o /tmp/bad.img --lap-payload /tmp/lap --lap-name Linux-x "
            "--install-keys /tmp/pub");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err,
              "mkupdate: /tmp/pub/k.pub: not named *.key; a board installs only key files\n");
}

}  // namespace
}  // namespace mkupdate

namespace mkupdate {
namespace {

// Root keys, offline, alone change a fleet's key set: build writes the set's statement,
// signed by roots here and elsewhere (openssl), and refuses a set that a board would refuse;
// list and check --keys show who signed it and what a board with given keys does with it.
TEST_F(MkupdateProgram, KeySetsChangeOnlyByTheirRootsWord) {
    for (const char* made :
         {"keygen --bits 2048 /tmp/release.pem", "keygen --bits 2048 /tmp/release2.pem",
          "keygen --bits 2048 --role root /tmp/root1.pem",
          "keygen --bits 2048 --role root /tmp/root2.pem",
          "keygen --bits 2048 --role root /tmp/root3.pem",
          "keygen --bits 2048 --role root /tmp/root4.pem"})
        ASSERT_EQ(run(made).status, 0) << made;
    const std::string root1 = readWholeFile("/tmp/root1.key");
    const std::string id1 = root1.substr(25, 32);
    EXPECT_TRUE(root1.starts_with("# BT-LAP update root key " + id1 +
                                  " (RSA 2048 bits; signs key sets, not images)"))
        << root1;
    EXPECT_NE(root1.find("\nrole root\nrsa-sha256 65537 "), std::string::npos);
    EXPECT_EQ(readWholeFile("/tmp/release.key").find("role"), std::string::npos);
    EXPECT_EQ(run("pubkey --role root /tmp/root1.pem").out, root1);
    EXPECT_EQ(run("keygen --role admin /tmp/x.pem").status, 2);
    const std::string id2 = readWholeFile("/tmp/root2.key").substr(25, 32);

    for (const char* folder : {"/tmp/board1", "/tmp/set2", "/tmp/board2"})
        std::filesystem::create_directories(folder);
    std::filesystem::copy_file("/tmp/release.key", "/tmp/board1/release.key");
    for (const char* key : {"release", "root1", "root2", "root3"})
        std::filesystem::copy_file(std::string("/tmp/") + key + ".key",
                                   std::string("/tmp/set2/") + key + ".key");
    writeWholeFile("/tmp/lap", "Linux payload");
    const std::string build =
        "build -o /tmp/roots.img --lap-payload /tmp/lap --lap-name Linux-x --sign "
        "/tmp/release.pem --install-keys /tmp/set2 ";
    const struct {
        const char* options;
        int status;
        std::string err;
    } refused[] = {
        {"", 1,
         "mkupdate: --install-keys: the set holds root keys: give --keyset-version N, above the "
         "boards' key-set version\n"},
        {"--keyset-version 1 --threshold 4", 1,
         "mkupdate: --threshold 4: the set holds 3 root keys\n"},
        {"--keyset-version 1 --threshold 17", 2,
         "mkupdate: --threshold takes a number from 1 to 16, not \"17\" (see mkupdate --help)\n"},
        {"--keyset-version 0", 2,
         "mkupdate: --keyset-version takes a number from 1 to 4294967295, not \"0\" (see "
         "mkupdate --help)\n"},
        {"--root-key /tmp/root1.pem", 2,
         "mkupdate: --root-key goes with --keyset-version (see mkupdate --help)\n"},
        {"--keyset-version 1 --root-key /tmp/root1.pem", 1,
         "mkupdate: --install-keys: 1 of its root keys signed the statement; its threshold is "
         "2\n"},
        {"--keyset-version 1 --root-key /tmp/root4.pem", 1,
         "mkupdate: /tmp/root4.pem: key " + readWholeFile("/tmp/root4.key").substr(25, 32) +
             " is no root key of the set\n"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.options);
        ProgramRun result = run(build + c.options);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.err, c.err);
        EXPECT_FALSE(fileExists("/tmp/roots.img"));
    }

    // The first roots: one root signs here, another elsewhere over keyset-statement's bytes.
    ASSERT_EQ(run("keyset-statement --install-keys /tmp/set2 --keyset-version 1 -o "
                  "/tmp/board2/keyset")
                  .status,
              0);
    EXPECT_TRUE(readWholeFile("/tmp/board2/keyset")
                    .starts_with("update-keyset 1\nversion 1\nthreshold 2\nkey release.key "));
    ASSERT_TRUE(
        openssl("dgst -sha256 -sign /tmp/root2.pem -out /tmp/root2.sig "
                "/tmp/board2/keyset"));
    ProgramRun made = run(build +
                          "--keyset-version 1 --root-key /tmp/root1.pem --root-signature "
                          "/tmp/root2.sig --board-keys /tmp/board1");
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(made.err, "");
    ASSERT_EQ(run("extract /tmp/roots.img 1 -o /tmp/roots.tar.gz").status, 0);
    ASSERT_EQ(std::system("tar -xzf /tmp/roots.tar.gz -C /tmp"), 0);
    EXPECT_EQ(readWholeFile("/tmp/update.d/update-keys/keyset"),
              readWholeFile("/tmp/board2/keyset"))
        << "build states what keyset-statement writes";
    const std::string signatures = readWholeFile("/tmp/update.d/update-keys/keyset.sig");
    for (const std::string& id : {id1, id2}) {
        std::size_t line = signatures.find(id + " ");
        ASSERT_NE(line, std::string::npos) << signatures;
        writeWholeFile("/tmp/sig", bytesFromHex(signatures.substr(
                                       line + 33, signatures.find('\n', line) - line - 33)));
        const std::string root = id == id1 ? "root1" : "root2";
        EXPECT_TRUE(
            openssl("pkey -in /tmp/" + root +
                    ".pem -pubout -out /tmp/pub && openssl dgst "
                    "-sha256 -verify /tmp/pub -signature /tmp/sig /tmp/board2/keyset >/dev/null"))
            << root;
    }
    const std::string list = run("list /tmp/roots.img").out;
    EXPECT_NE(list.find("key set      update.d/update-keys/root1.key " + id1 +
                        " root\nkey set      update.d/update-keys/root2.key " + id2 + " root\n"),
              std::string::npos)
        << list;
    EXPECT_NE(list.find("key set      version 1, threshold 2\n"), std::string::npos) << list;
    EXPECT_NE(list.find("key set      signed by root root1.key " + id1 + "\n"), std::string::npos);
    const std::string json = run("list --json /tmp/roots.img").out;
    EXPECT_TRUE(json.starts_with("{\"format_version\":2,")) << json;
    EXPECT_NE(json.find("\"name\":\"update.d/update-keys/root1.key\",\"keyId\":\"" + id1 +
                        "\",\"role\":\"root\""),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"keySetStatement\":{\"version\":1,\"threshold\":2,\"signedBy\":[{"),
              std::string::npos)
        << json;
    // A root key signs no image: refused where build or sign can know the key's role.
    const struct {
        const char* command;
        const char* err;
    } rootSigned[] = {
        {"build -o /tmp/x.img --lap-payload /tmp/lap --lap-name Linux-x --sign /tmp/root1.pem "
         "--install-keys /tmp/set2 --keyset-version 1 --root-key /tmp/root1.pem --root-key "
         "/tmp/root2.pem",
         "mkupdate: /tmp/root1.pem is a root key: it signs key sets, never images\n"},
        {"sign --signature /tmp/none.sig --public /tmp/root1.key -o /tmp/x.img /tmp/roots.img",
         "mkupdate: /tmp/root1.key is a root key: it signs key sets, never images\n"},
    };
    for (const auto& c : rootSigned) {
        SCOPED_TRACE(c.command);
        ProgramRun result = run(c.command);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, c.err);
        EXPECT_FALSE(fileExists("/tmp/x.img"));
    }
    ProgramRun check = run("check --keys /tmp/board1 /tmp/roots.img");
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_NE(check.out.find("/tmp/roots.img: keys /tmp/board1: key set version 1 (the board's "
                             "0), threshold 2, signed by "),
              std::string::npos)
        << check.out;

    // The board now holds the roots: a set signed by a new root alone, or not above its
    // version, is what it refuses; a signature of no root is not inserted.
    for (const char* key : {"release", "root1", "root2", "root3"})
        std::filesystem::copy_file(std::string("/tmp/") + key + ".key",
                                   std::string("/tmp/board2/") + key + ".key");
    std::filesystem::create_directories("/tmp/set3");
    for (const char* key : {"release2", "root1", "root4"})
        std::filesystem::copy_file(std::string("/tmp/") + key + ".key",
                                   std::string("/tmp/set3/") + key + ".key");
    ASSERT_TRUE(
        openssl("dgst -sha256 -sign /tmp/release.pem -out /tmp/release.sig "
                "/tmp/board2/keyset"));
    const std::string rotate =
        "build -o /tmp/rotate.img --lap-payload /tmp/lap --lap-name Linux-x --sign "
        "/tmp/release.pem --install-keys /tmp/set3 --board-keys /tmp/board2 ";
    const struct {
        const char* options;
        std::string err;
    } boardRefused[] = {
        {"--keyset-version 2 --threshold 1 --root-key /tmp/root4.pem",
         "mkupdate: a board with the keys of /tmp/board2 refuses this key set: 0 of its root "
         "keys signed, it needs 2\n"},
        {"--keyset-version 1 --root-key /tmp/root1.pem --root-key /tmp/root4.pem "
         "--root-key /tmp/root2.pem",
         "mkupdate: a board with the keys of /tmp/board2 refuses this key set: key-set version 1 "
         "is not above its 1\n"},
        {"--keyset-version 2 --root-signature /tmp/release.sig",
         "mkupdate: /tmp/release.sig: no root key of the set nor of --board-keys /tmp/board2 "
         "made this signature of the statement\n"},
    };
    for (const auto& c : boardRefused) {
        SCOPED_TRACE(c.options);
        ProgramRun result = run(rotate + c.options);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, c.err);
        EXPECT_FALSE(fileExists("/tmp/rotate.img"));
    }
    ASSERT_EQ(run(rotate + "--keyset-version 2 --root-key /tmp/root1.pem --root-key "
                           "/tmp/root2.pem --root-key /tmp/root4.pem")
                  .status,
              0);
    EXPECT_EQ(run("check --keys /tmp/board2 /tmp/rotate.img").status, 0);
    // Without --board-keys the build can't know the board: check --keys says it.
    ASSERT_EQ(run("build -o /tmp/unknown.img --lap-payload /tmp/lap --lap-name Linux-x --sign "
                  "/tmp/release.pem --install-keys /tmp/set3 --keyset-version 2 --threshold 1 "
                  "--root-key /tmp/root4.pem")
                  .status,
              0);
    ProgramRun refusedCheck = run("check --keys /tmp/board2 /tmp/unknown.img");
    EXPECT_EQ(refusedCheck.status, 1);
    EXPECT_EQ(refusedCheck.err,
              "mkupdate: /tmp/unknown.img: a board with the keys of /tmp/board2 refuses this key "
              "set: 0 of its root keys signed, it needs 2\n");
    EXPECT_NE(refusedCheck.out.find("/tmp/unknown.img: keys /tmp/board2: refused\n"),
              std::string::npos);
}

}  // namespace
}  // namespace mkupdate
