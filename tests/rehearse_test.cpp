// Board folders seeded into the simulated board (sim/seed-board), what a rehearsal finds in a
// run (sim/rehearse-facts), and rehearsals of a good and a broken update on some of the
// project's boards (scripts/rehearse.sh), each in a sandbox of its own inside this test's.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <map>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

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
       "// firmware: 2114 17.3.5\r\n// starts on: bcsp\r\n// refuses: &0300 &02A5\r\n"
       "&02A5 = 5250 464C\r\n"
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
      {"module.refuses", "&0300 &02a5\n"},
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
}

std::string caseName(const testing::TestParamInfo<SeedCase>& row) { return row.param.name; }
INSTANTIATE_TEST_SUITE_P(Folders, SeedBoard, testing::ValuesIn(kSeedCases), caseName);

// A run's folder as scripts/rehearse.sh keeps it, of an update of two steps: the facts found
// in it, the board's time predicted from a run at 0 baud and measured from one at speed.
// Module packets between a step's start and the read that saw it count to the step before,
// the flash's work to the new one.
TEST(RehearseFacts, CountTheWorkAndPredictTheBoardsTime) {
    for (const char* folder : {"/tmp/run", "/tmp/run/tmp", "/tmp/run/state"}) mkdir(folder, 0755);
    writeWholeFile("/tmp/run/outcome", "OK\n");
    writeWholeFile("/tmp/run/seed.txt", "assumed flash contents: erased\n");
    // 10:00:00 UTC of a day.
    writeWholeFile("/tmp/run/tmp/peer-times.txt",
                   "1796724000.000000 - AI_NOTICE (1026) param 0 text \"/x0AT0x0Do\" (10 bytes)\n"
                   "1796724000.500000 10 step 1/2 Write all PS-Keys: started\n"
                   "1796724001.000000 20 step 1/2 Write all PS-Keys: OK\n"
                   "1796724001.000000 20 step 2/2 Update qvl Software: started\n"
                   "1796724002.000000 60 step 2/2 Update qvl Software: 100%\n"
                   "1796724002.000000 60 step 2/2 Update qvl Software: OK\n"
                   "1796724002.000000 60 *UPDATE_FINISHED* ... OK\n");
    writeWholeFile("/tmp/run/tmp/report-times.txt",
                   "1796724000.250000 10 started 1 1796724000.249000\n"
                   "1796724001.000000 20 started 2 1796724000.999000\n"
                   "1796724002.000000 60 finished 1796724001.999000\n");
    std::string packet = " host>module";
    for (int i = 0; i < 576; ++i) packet += " 00";
    writeWholeFile("/tmp/run/state/module.log",
                   "10:00:00.100000 /dev/bcspRel2 opened\n"
                   "10:00:00.500000 /dev/bcspRel2" +
                       packet + " | BCCMD SET key 0x0001 len 1\n" +
                       "10:00:00.999500 /dev/bcspRel2" + packet + " | GETRESP key 0x0001\n");
    writeWholeFile("/tmp/run/state/flash.log",
                   "10:00:00.999500 erase 0x00020000 sectors 2\n"
                   "10:00:01.500000 program 0x00020000 words 1000\n");
    const std::string facts =
        "assumed\tflash contents: erased\n"
        "outcome\tOK\n"
        "firmware\t\t\n"
        "flash\t2\t1000\t0x020000-0x03ffff\n";
    int status = -1;
    // Predicted: the run's waits, the 1152 bytes at 115200 baud (8N1), the processor's ticks
    // (1/100 s), two sectors erased (0.7 s each) and 1000 words programmed (9 us each).
    EXPECT_EQ(runCommand(kRoot + "/sim/rehearse-facts /tmp/run", &status),
              facts +
                  "phase\tImage check\tOK\t0.000\t0.000\t0.150\t0.100\t0.250\n"
                  "phase\tWrite all PS-Keys\tOK\t0.250\t0.100\t0.650\t0.100\t0.850\n"
                  "phase\tUpdate qvl Software\tOK\t1.100\t0.000\t0.600\t1.809\t2.409\n"
                  "duration\t3.5\tpredicted\n");
    EXPECT_EQ(status, 0);
    // Measured: the wire and the work are in the run's time already.
    EXPECT_EQ(runCommand(kRoot + "/sim/rehearse-facts --at-speed /tmp/run", &status),
              facts +
                  "phase\tImage check\tOK\t0.000\t0.000\t0.150\t0.100\t0.250\n"
                  "phase\tWrite all PS-Keys\tOK\t0.250\t0.100\t0.550\t0.100\t0.750\n"
                  "phase\tUpdate qvl Software\tOK\t1.000\t0.000\t0.000\t1.809\t1.000\n"
                  "duration\t2.0\tmeasured\n");
}

mkupdate::UpdateDescription sampleDescription() {
    std::string error;
    auto update = mkupdate::sampleUpdate(kRoot + "/sim/sample-update", &error);
    EXPECT_TRUE(update) << error;
    return update.value_or(mkupdate::UpdateDescription{});
}

void writeImage(const mkupdate::UpdateDescription& update, const std::string& path) {
    std::vector<std::string> faults;
    auto image = mkupdate::buildUpdate(update, &faults);
    ASSERT_TRUE(image);
    writeWholeFile(path, *image);
}

// A rehearsal's output, every duration as "#": they differ from run to run, the rest doesn't.
std::string rehearse(const std::string& arguments, int* status) {
    const std::string output =
        runCommand(kRoot + "/scripts/rehearse.sh --jobs 2 --out /tmp/out --build " +
                       PROJECT_BINARY_PATH + " --emulator '" BOARD_EMULATOR "' " + arguments,
                   status);
    return std::regex_replace(output, std::regex(" +[0-9]+\\.[0-9]{1,2}(?=[ \\n])"), " #");
}

// The sample board takes the sample update: the report shows all it changed, step by step, and
// the time it takes at the board's speed; the JSON and the timeline say the same.
TEST(Rehearsal, ReportsWhatTheUpdateDidOnEachBoard) {
    writeImage(sampleDescription(), "/tmp/sample.img");
    int status = -1;
    EXPECT_EQ(
        rehearse(
            "--json /tmp/out/report.json --board " + kRoot + "/sim/boards/sample /tmp/sample.img",
            &status),
        "=== board sample (" + kRoot +
            "/sim/boards/sample) ===\n"
            "assumed flash contents: erased\n"
            "outcome: OK\n"
            "version table:\n"
            "  Parlo Firmware   1958 -> 2114 means 17.3.5, update: yes\n"
            "  PS-Key           05 S2C4 -> 07 S3A1, update: yes\n"
            "  qvl Software     2.0.3 -> 2.1.0, update: yes\n"
            "PS-Keys changed: 6\n"
            "  &0021  0004 -> 0006\n"
            "  &0108  5442 4c2d 5041 -> 5442 4c2d 5041 2032\n"
            "  &01f9  0003 -> 0001\n"
            "  &0220  (none) -> 7d00\n"
            "  &02a4  3253 3443 5320 5445 5020 4c52 4d2d 2032 5748 3330 -> 3353 3141\n"
            "  &02a5  5250 464c 2057 3631 342e 302e 3120 3539 2038 3530 -> 5250 464c 2057 3731 "
            "332e 352e 3220 3131 2034 3730\n"
            "module firmware: 1958 16.4.0 -> 2114 17.3.5\n"
            "flash: 4 sectors erased, 100000 words programmed (0x020000-0x05ffff)\n"
            "/etc changed: 6 lines\n"
            "  service.txt -10004;Network Access Point;9;0x1116;4;BT-LAP\n"
            "  service.txt +20004;Group Ad-hoc Network;11;0x1117;5;BT-LAP\n"
            "  terminal.txt -1;default;3,5,9;3,5,9;600;0\n"
            "  terminal.txt -2;printer;5;5;0;1\n"
            "  terminal.txt +1;default;3,5,11;3,5,11;600;0\n"
            "  terminal.txt +2;printer;3,5,11;3,5,11;0;1\n"
            "duration at the board's speed, predicted: # s\n"
            "  step                     wire  waits   work seconds  result\n"
            "  Image check # # # #  OK\n"
            "  Version Check # # # #  OK\n"
            "  Read PS-Keys # # # #  OK\n"
            "  Compare PS-Keys # # # #  OK\n"
            "  Write diff. PS-Keys # # # #  OK\n"
            "  Update Parlo Firmware # # # #  OK\n"
            "  Write all PS-Keys # # # #  OK\n"
            "  Update qvl Software # # # #  OK\n"
            "  Check SDP records # # # #  OK\n"
            "  Remove DFU upload # # # #  OK\n"
            "  Update PPCBOOT # # # #  Nothing Done\n"
            "timeline: /tmp/out/sample/timeline.svg\n"
            "=== all boards ===\n"
            "board   outcome  assumed  firmware        keys  sectors  /etc  predicted  failed "
            "steps\n"
            "sample  OK             1  2114 17.3.5        6        4     6 # s\n"
            "1 of 1 boards ended OK\n");
    EXPECT_EQ(status, 0);
    const std::string json = readWholeFile("/tmp/out/report.json");
    EXPECT_TRUE(
        json.starts_with("{\"image\": \"sample.img\", \"durations\": \"predicted\", "
                         "\"boards\": [\n{\"board\": \"sample\", \"folder\": \"" +
                         kRoot +
                         "/sim/boards/sample\", \"outcome\": \"OK\", \"assumed\": "
                         "[\"flash contents: erased\"], \"reasons\": [], "))
        << json;
    EXPECT_TRUE(json.ends_with("}\n], \"ok\": 1, \"boards_total\": 1}\n")) << json;
    const std::string timeline = readWholeFile("/tmp/out/sample/timeline.svg");
    EXPECT_NE(timeline.find(">Update qvl Software</text>"), std::string::npos) << timeline;
    EXPECT_TRUE(timeline.ends_with("</svg>\n"));
}

// An image whose firmware file names no version (a binary one, which mkupdate leaves to the
// DFU program), with a key that one board's module refuses: each board's report names the
// failing steps with their reasons.
TEST(Rehearsal, NamesTheFailingStepsAndTheirReasonsOnEachBoard) {
    mkupdate::UpdateDescription update = sampleDescription();
    const std::string refused = "&0300 = 0001\r\n";
    auto& keys = update.files[mkupdate::FILE_PSKEYS]->content;
    keys.insert(keys.end(), refused.begin(), refused.end());
    const std::string firmware("\0 a firmware file without its version line\n", 43);
    update.files[mkupdate::FILE_STACK]->content.assign(firmware.begin(), firmware.end());
    writeImage(update, "/tmp/broken.img");
    mkdir("/tmp/refusing", 0755);
    writeWholeFile("/tmp/refusing/module.psr", "// refuses: &0300\r\n");

    int status = -1;
    const std::string output = rehearse(
        "--board " + kRoot + "/sim/boards/sample --board /tmp/refusing /tmp/broken.img", &status);
    // The DFU program's error report follows what the daemon read of its status file.
    const std::string firmwareReason =
        "  Update Parlo Firmware failed:\n"
        "    open error file /tmp/dfu_status.log: 0x02 No such file or directory percent open "
        "error file /tmp/dfu_status.log: 0x02 No such file or directory percent dfu: "
        "/tmp/update.d/stack.dfu names no firmware version\n";
    EXPECT_NE(output.find("outcome: NOK\n"
                          "  Write diff. PS-Keys failed:\n"
                          "    BCCMD set of PS-Key 0x0300 refused: status 0x0008\n" +
                          firmwareReason),
              std::string::npos)
        << output;
    EXPECT_TRUE(output.ends_with(
        "=== all boards ===\n"
        "board     outcome  assumed  firmware        keys  sectors  /etc  predicted  failed steps\n"
        "sample    NOK            1  1958 16.4.0        6        0     0 # s  Update Parlo "
        "Firmware\n"
        "refusing  NOK            8  1958 16.4.0        5        0     0 # s  Write diff. PS-Keys, "
        "Update Parlo Firmware\n"
        "0 of 2 boards ended OK\n"))
        << output;
    EXPECT_EQ(status, 1);
}

}  // namespace
