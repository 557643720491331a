// Board folders seeded into the simulated board (sim/seed-board), and a rehearsal of the
// sample update on two of the project's boards (scripts/rehearse.sh), each in a sandbox of
// its own inside this test's.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <map>
#include <ostream>
#include <string>

#include "tests/support/board.h"
#include "tools/mkupdate/image_builder.h"
#include "tools/mkupdate/sample_update.h"

namespace {

const std::string kRoot = PROJECT_SOURCE_PATH;

// The command's standard output and error together, and its exit status.
std::string runCommand(const std::string& command, int* status) {
    std::string output;
    std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return output;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, n);
    int wait = pclose(pipe);
    *status = WIFEXITED(wait) ? WEXITSTATUS(wait) : -1;
    return output;
}

struct SeedCase {
    const char* name;
    std::map<std::string, std::string> boardFiles;
    int status;
    std::string output;
    // Files of the seeded state (a plain name) and /etc ("etc/" + name), whole.
    std::map<std::string, std::string> seeded;
};

void PrintTo(const SeedCase& seedCase, std::ostream* out) { *out << seedCase.name; }

const std::string kEtcAssumed =
    "assumed etc/data.txt: the sample board's\n"
    "assumed etc/service.txt: the sample board's\n"
    "assumed etc/terminal.txt: the sample board's\n";
const std::string kPsr = "/tmp/board/module.psr";

const SeedCase kSeedCases[] = {
    {"emptyFolder",
     {},
     0,
     kEtcAssumed + "assumed module keys: the sample board's 37 keys\n"
                   "assumed module firmware: 1958 16.4.0\n"
                   "assumed module start: hci\n"
                   "assumed flash contents: erased\n"
                   "assumed flash size: 2097152\n",
     {{"module.firmware", "1958 16.4.0\n"}, {"module.mode", "hci\n"}, {"flash.size", "2097152\n"}}},
    // A dump as fetched, with the two lines a person adds: lower case, ascending, CR LF.
    {"boardsOwnDump",
     {{"module.psr",
       "// firmware: 2114 17.3.5\r\n// starts on: bcsp\r\n&02A5 = 5250 464C\r\n"
       "&0001 = 0012 // address\r\n&025f =\r\n"},
      {"flash", "4M\n"},
      {"etc/data.txt", "D\n"},
      {"etc/service.txt", "S\n"},
      {"etc/terminal.txt", "T\n"}},
     0,
     "assumed flash contents: erased\n",
     {{"module.psr", "&0001 = 0012\r\n&025f =\r\n&02a5 = 5250 464c\r\n"},
      {"module.firmware", "2114 17.3.5\n"},
      {"module.mode", "bcsp\n"},
      {"flash.size", "4194304\n"},
      {"etc/data.txt", "D\n"},
      {"etc/service.txt", "S\n"},
      {"etc/terminal.txt", "T\n"}}},
    {"flashImageGivesTheSize",
     {{"module.psr", "&0001 = 0001\n"}, {"flash.bin", std::string(0x20000, 'Z')}},
     0,
     kEtcAssumed + "assumed module firmware: 1958 16.4.0\nassumed module start: hci\n",
     {{"flash.size", "131072\n"}, {"flash.bin", std::string(0x20000, 'Z')}}},
    {"badKeyLine",
     {{"module.psr", "// a dump\n&0001 = 12\n"}},
     1,
     kEtcAssumed + "seed-board: " + kPsr +
         " line 2: not a PS-Key line (&kkkk = wwww wwww, at most 40 words): &0001 = 12\n",
     {}},
    {"keyTwice",
     {{"module.psr", "&0001 = 0001\n&0001 = 0002\n"}},
     1,
     kEtcAssumed + "seed-board: " + kPsr + ": key 0001 comes more than once\n",
     {}},
    {"unknownStart",
     {{"module.psr", "// starts on: usb\n"}},
     1,
     kEtcAssumed + "seed-board: " + kPsr + " line 1: the module starts on hci or bcsp, not 'usb'\n",
     {}},
    {"flashOfPartSectors",
     {{"flash", "100000\n"}},
     1,
     kEtcAssumed + "assumed module keys: the sample board's 37 keys\n"
                   "assumed module firmware: 1958 16.4.0\n"
                   "assumed module start: hci\n"
                   "seed-board: /tmp/board/flash: not a size of whole 64 KiB sectors: 100000\n",
     {}},
    {"flashImageOfAnotherSize",
     {{"flash", "2M"}, {"flash.bin", std::string(0x10000, 'Z')}},
     1,
     kEtcAssumed + "assumed module keys: the sample board's 37 keys\n"
                   "assumed module firmware: 1958 16.4.0\n"
                   "assumed module start: hci\n"
                   "seed-board: /tmp/board/flash.bin: 65536 bytes, but the flash has 2097152\n",
     {}},
};

class SeedBoard : public testing::TestWithParam<SeedCase> {};

TEST_P(SeedBoard, SaysWhatItAssumedAndSeedsTheBoardsOwnPieces) {
    const SeedCase& seedCase = GetParam();
    mkdir("/tmp/board", 0755);
    mkdir("/tmp/board/etc", 0755);
    for (const auto& [name, content] : seedCase.boardFiles)
        writeWholeFile("/tmp/board/" + name, content);
    int status = -1;
    EXPECT_EQ(runCommand(kRoot + "/sim/seed-board /tmp/board /tmp/state /tmp/etc", &status),
              seedCase.output);
    EXPECT_EQ(status, seedCase.status);
    for (const auto& [name, content] : seedCase.seeded) {
        const bool inEtc = name.starts_with("etc/");
        EXPECT_EQ(readWholeFile((inEtc ? "/tmp/" : "/tmp/state/") + name), content) << name;
    }
    if (seedCase.boardFiles.empty()) {
        EXPECT_EQ(readWholeFile("/tmp/etc/service.txt"),
                  readWholeFile(kRoot + "/sim/board/etc/service.txt"));
        EXPECT_EQ(readWholeFile("/tmp/state/module.psr").substr(0, 30),
                  "&0001 = 0012 ab34 0047 0080\r\n&");
    }
}

std::string caseName(const testing::TestParamInfo<SeedCase>& row) { return row.param.name; }
INSTANTIATE_TEST_SUITE_P(Folders, SeedBoard, testing::ValuesIn(kSeedCases), caseName);

// The sample board takes the sample update; a board whose module starts on BCSP can't be read
// by the PS-Key steps, which the rehearsal names with their reasons.
TEST(Rehearsal, ReportsEachBoardsOutcomeAndATable) {
    std::string error;
    auto update = mkupdate::sampleUpdate(kRoot + "/sim/sample-update", &error);
    ASSERT_TRUE(update) << error;
    std::vector<std::string> faults;
    auto image = mkupdate::buildUpdate(*update, &faults);
    ASSERT_TRUE(image);
    writeWholeFile("/tmp/sample.img", *image);

    int status = -1;
    const std::string output =
        runCommand(kRoot +
                       "/scripts/rehearse.sh --jobs 2 --out /tmp/out --build " PROJECT_BINARY_PATH
                       " --emulator '" BOARD_EMULATOR "' --board " +
                       kRoot + "/sim/boards/sample --board " + kRoot +
                       "/sim/boards/bcsp-start /tmp/sample.img",
                   &status);
    EXPECT_EQ(
        output,
        "=== board sample (" + kRoot +
            "/sim/boards/sample) ===\n"
            "assumed flash contents: erased\n"
            "outcome: OK\n"
            "=== board bcsp-start (" +
            kRoot + "/sim/boards/bcsp-start) ===\n" + kEtcAssumed +
            "assumed module keys: the sample board's 37 keys\n"
            "assumed module firmware: 1958 16.4.0\n"
            "assumed flash contents: erased\n"
            "assumed flash size: 2097152\n"
            "outcome: NOK\n"
            "  Read PS-Keys failed:\n"
            "    Update step timed out !!!\n"
            "  Compare PS-Keys failed:\n"
            "    open error file /tmp/pskeydump.psr: 0x02 No such file or directory\n"
            "  Write diff. PS-Keys failed:\n"
            "    PS-Keys to set unknown, the comparison failed\n"
            "=== all boards ===\n"
            "board       outcome  assumed  failed steps\n"
            "sample      OK       1\n"
            "bcsp-start  NOK      7        Read PS-Keys, Compare PS-Keys, Write diff. PS-Keys\n"
            "1 of 2 boards ended OK\n");
    EXPECT_EQ(status, 1);
}

}  // namespace
