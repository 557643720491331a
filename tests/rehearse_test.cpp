// Board folders seeded into the simulated board (sim/seed-board), what a rehearsal finds in a
// run (sim/rehearse-facts), and rehearsals of a good and a broken update on some of the
// project's boards (scripts/rehearse.sh), each in a sandbox of its own inside this test's.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "image/image_signature.h"
#include "tests/support/board.h"
#include "tests/support/key_sets.h"
#include "tests/support/openssl_keys.h"
#include "tools/common/image_builder.h"
#include "tools/mkupdate/sample_update.h"

namespace {

const std::string kSourceRoot = PROJECT_SOURCE_PATH;

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
     "note etc/data.txt: LF line ends\nassumed flash contents: erased\n",
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
    // Without a firmware line, the board's own data.txt names its firmware.
    {"firmwareOfDataTxt",
     {{"module.psr", "&0001 = 0001\n"},
      {"flash", "2M\n"},
      {"etc/data.txt", "DEVICE=x\r\nBTFIRMWARE=2114 17.3.5\r\n"},
      {"etc/service.txt", "S\n"},
      {"etc/terminal.txt", "T\n"}},
     0,
     "assumed module start: hci\nassumed flash contents: erased\n",
     {{"module.firmware", "2114 17.3.5\n"}}},
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
                   "seed-board: /tmp/board/flash: not a size of whole 64 KiB sectors up to 2 "
                   "GiB: 100000\n",
     {}},
    // (More than the simulated flash takes.)
    {"flashOf4GiB",
     {{"flash", "4G\n"}},
     1,
     kEtcAssumed + "assumed module keys: the sample board's 37 keys\n"
                   "assumed module firmware: 1958 16.4.0\n"
                   "assumed module start: hci\n"
                   "seed-board: /tmp/board/flash: not a size of whole 64 KiB sectors up to 2 "
                   "GiB: 4G\n",
     {}},
};

// A row's index as the parameter: GoogleTest copies a parameter several times as each test
// program starts, and these rows hold whole files.
class SeedBoard : public testing::TestWithParam<std::size_t> {};

TEST_P(SeedBoard, SaysWhatItAssumedAndSeedsTheBoardsOwnPieces) {
    const SeedCase& seedCase = kSeedCases[GetParam()];
    mkdir("/tmp/board", 0755);
    mkdir("/tmp/board/etc", 0755);
    for (const auto& [name, content] : seedCase.boardFiles)
        writeWholeFile("/tmp/board/" + name, content);
    int status = -1;
    EXPECT_EQ(runCommand(kSourceRoot + "/sim/seed-board /tmp/board /tmp/state /tmp/etc", &status),
              seedCase.output);
    EXPECT_EQ(status, seedCase.status);
    for (const auto& [name, content] : seedCase.seeded) {
        const bool inEtc = name.starts_with("etc/");
        EXPECT_EQ(readWholeFile((inEtc ? "/tmp/" : "/tmp/state/") + name), content) << name;
    }
}

std::string caseName(const testing::TestParamInfo<std::size_t>& row) {
    return kSeedCases[row.param].name;
}
INSTANTIATE_TEST_SUITE_P(Folders, SeedBoard, testing::Range<std::size_t>(0, std::size(kSeedCases)),
                         caseName);

// A FIFO in the board's folder is refused at once, not read or copied over without end; a
// link to nothing (a folder copied with its relative links) is a wrong folder, not a piece to
// take from the sample board.
TEST(SeedBoardPieces, AFifoOrALinkToNothingIsRefusedAtOnce) {
    std::filesystem::create_directories("/tmp/board/etc");
    ASSERT_EQ(mkfifo("/tmp/board/etc/data.txt", 0600), 0);
    int status = -1;
    EXPECT_EQ(runCommand(kSourceRoot + "/sim/seed-board /tmp/board /tmp/state /tmp/etc", &status),
              "seed-board: /tmp/board/etc/data.txt: not a regular file or a folder\n");
    EXPECT_EQ(status, 1);
    std::filesystem::remove_all("/tmp/board");
    std::filesystem::remove_all("/tmp/state");
    std::filesystem::remove_all("/tmp/etc");
    std::filesystem::create_directories("/tmp/board");
    std::filesystem::create_directory_symlink("../../board/etc", "/tmp/board/etc");
    EXPECT_EQ(runCommand(kSourceRoot + "/sim/seed-board /tmp/board /tmp/state /tmp/etc", &status),
              "seed-board: /tmp/board/etc: a link to nothing (../../board/etc)\n");
    EXPECT_EQ(status, 1);
}

// A fleet made from the project's boards, each varied as boards in the field are.
TEST(MakeFleet, VariesTheProjectsBoards) {
    int status = -1;
    EXPECT_EQ(runCommand(kSourceRoot + "/sim/make-fleet /tmp/fleet 9", &status),
              "make-fleet: 9 boards in /tmp/fleet\n");
    EXPECT_EQ(status, 0);
    EXPECT_NE(readWholeFile("/tmp/fleet/sample-01/etc/data.txt").find("SERIALNO=008047120001\r\n"),
              std::string::npos);
    // The seventh stands at site 1 and has its service record, the ninth a module that
    // refuses a key.
    EXPECT_TRUE(readWholeFile("/tmp/fleet/firmware-current-07/etc/service.txt")
                    .ends_with("11001;Site 1 printer;12;0x1120;6;SITE\n"));
    EXPECT_TRUE(
        readWholeFile("/tmp/fleet/flash-4m-09/module.psr").ends_with("// refuses: &0021\n"));
    EXPECT_EQ(runCommand(kSourceRoot + "/sim/make-fleet /tmp/fleet", &status),
              "make-fleet: /tmp/fleet exists\n");
    EXPECT_EQ(status, 2);
}

mkupdate::UpdateDescription sampleDescription() {
    std::string error;
    auto update = mkupdate::sampleUpdate(kSourceRoot + "/sim/sample-update", &error);
    EXPECT_TRUE(update) << error;
    return update.value_or(mkupdate::UpdateDescription{});
}

void writeImage(const mkupdate::UpdateDescription& update, const std::string& path) {
    std::vector<std::string> faults;
    auto image = mkupdate::buildUpdate(update, &faults);
    ASSERT_TRUE(image) << testing::PrintToString(faults);
    writeWholeFile(path, *image);
}

// A rehearsal's output, every duration as "#": they differ from run to run, the rest doesn't.
std::string rehearse(const std::string& arguments, int* status) {
    const std::string output =
        runCommand(kSourceRoot +
                       "/scripts/rehearse.sh --jobs 4 --clock-speed " BOARD_SLOW_CLOCK_SPEED
                       " --out /tmp/out --build " +
                       PROJECT_BINARY_PATH + " --emulator '" BOARD_EMULATOR "' " + arguments,
                   status);
    return std::regex_replace(
        output, std::regex(" +[0-9]+\\.[0-9]{1,2}(-[0-9]+\\.[0-9])?(?=[ \\n])"), " #");
}

// Whether a JSON file follows the rehearsal's schema (Debian's python3-jsonschema); "valid" or
// what is wrong.
std::string validateJson(const std::string& path) {
    const std::string script =
        "import json, sys, jsonschema\n"
        "schema = json.load(open(sys.argv[1]))\n"
        "jsonschema.Draft7Validator.check_schema(schema)\n"
        "jsonschema.validate(json.load(open(sys.argv[2], encoding='utf-8')), schema)\n"
        "print('valid')\n";
    writeWholeFile("/tmp/validate.py", script);
    int status = -1;
    return runCommand("/usr/bin/python3 /tmp/validate.py " + kSourceRoot +
                          "/tools/rehearse/rehearsal.schema.json " + path,
                      &status);
}

// The sample board takes the sample update: the report shows all it changed, step by step, and
// the time it takes at the board's speed; the JSON, the page and the timeline say the same.
TEST(Rehearsal, ReportsWhatTheUpdateDidOnEachBoard) {
    writeImage(sampleDescription(), "/tmp/sample.img");
    int status = -1;
    EXPECT_EQ(
        rehearse("--json /tmp/out/report.json --board " + kSourceRoot +
                     "/sim/boards/sample /tmp/sample.img",
                 &status),
        "=== sample.img on 1 board ===\n"
        "OK: firmware, PS-Keys, software (1 board); 6 keys, firmware 2114 17.3.5, 4 sectors, 6 "
        "/etc lines, loses 1 own record, # s\n"
        "=== group 1: OK: firmware, PS-Keys, software (1 board) ===\n"
        "boards: sample\n"
        "flash size: 2097152\n"
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
        "/etc changed: 6 lines, 1 of the board's own records lost\n"
        "  service.txt -10004;Network Access Point;9;0x1116;4;BT-LAP   (lost)\n"
        "  service.txt +20004;Group Ad-hoc Network;11;0x1117;5;BT-LAP\n"
        "  terminal.txt -1;default;3,5,9;3,5,9;600;0\n"
        "  terminal.txt -2;printer;5;5;0;1\n"
        "  terminal.txt +1;default;3,5,11;3,5,11;600;0\n"
        "  terminal.txt +2;printer;3,5,11;3,5,11;0;1\n"
        "update keys: none (no key folder)\n"
        "signature: not checked (no update key installed)\n"
        "board's security version: 0 (unchanged)\n"
        "board's key-set version: 0 (unchanged)\n"
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
        "=== all boards ===\n"
        "board   group  outcome  assumed  firmware        keys  sectors  /etc  predicted  trust  "
        "            failed steps\n"
        "sample      1  OK             1  2114 17.3.5        6        4     6 # s  unsigned, "
        "keyless\n"
        "1 of 1 boards ended OK\n"
        "page: /tmp/out/plan.html\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(validateJson("/tmp/out/report.json"), "valid\n");
    const std::string timeline = readWholeFile("/tmp/out/sample/timeline.svg");
    EXPECT_NE(timeline.find(">Update qvl Software</text>"), std::string::npos) << timeline;
    EXPECT_TRUE(timeline.ends_with("</svg>\n"));
    EXPECT_NE(readWholeFile("/tmp/out/plan.html").find(">Update qvl Software</text>"),
              std::string::npos);
}

// An image whose firmware file names no version (a binary one, which mkupdate leaves to the
// DFU program), with a key that one board's module refuses: each board's report names the
// failing steps with their reasons, and the steps that the failed firmware load left undone
// as not run.
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
        "--board " + kSourceRoot + "/sim/boards/sample --board /tmp/refusing /tmp/broken.img",
        &status);
    // The DFU program's error report, after what the daemon read of its (empty) status file.
    const std::string firmwareReason =
        "  Update Parlo Firmware failed:\n"
        "    dfu: /tmp/update.d/stack.dfu names no firmware version\n";
    EXPECT_NE(output.find("outcome: NOK\n"
                          "  Write diff. PS-Keys failed:\n"
                          "    BCCMD set of PS-Key 0x0300 refused: status 0x0008\n" +
                          firmwareReason),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("  Update Parlo Firmware # # # #  NOK nothing done... try again\n"
                          "  Write all PS-Keys           -      -      -       -  not run\n"),
              std::string::npos)
        << output;
    EXPECT_TRUE(output.ends_with(
        "=== all boards ===\n"
        "board     group  outcome  assumed  firmware        keys  sectors  /etc  predicted  trust"
        "              failed steps\n"
        "refusing      1  NOK            8  1958 16.4.0        5        0     0 # s  unsigned, "
        "keyless  Write diff. PS-Keys, Update Parlo Firmware\n"
        "sample        2  NOK            1  1958 16.4.0        6        0     0 # s  unsigned, "
        "keyless  Update Parlo Firmware\n"
        "0 of 2 boards ended OK\n"
        "page: /tmp/out/plan.html\n"))
        << output;
    EXPECT_EQ(status, 1);
}

void writeBoard(const std::string& dir, const std::map<std::string, std::string>& files) {
    mkdir(dir.c_str(), 0755);
    mkdir((dir + "/etc").c_str(), 0755);
    for (const auto& [name, content] : files) writeWholeFile(dir + "/" + name, content);
}

// A data.txt that names the sample image's firmware and PS-Key versions, and the software
// version given: a board with it has no firmware to load, the update's longest wait.
std::string dataTxtOnTheImagesModule(const std::string& serial, const std::string& lapVersion) {
    return "SERIALNO=" + serial +
           "\r\nBTFIRMWARE=2114 17.3.5\r\nCSRMODULINFO=PRL-M2;SN 00804712AB34;HW 03;FW 2114;"
           "SET S3A1;PS 07\r\nLAP_VERSION=" +
           lapVersion + "\r\n";
}

// A board's pieces with such a data.txt, for the tests of what a rehearsal says of trust.
const std::map<std::string, std::string> kOnTheImagesModule = {
    {"etc/data.txt", dataTxtOnTheImagesModule("008047120001", "2.0.3")}};

// --out never removes what a rehearsal didn't make: a folder holding a board, or lying in the
// fleet, is refused and left as it was; a folder an earlier rehearsal made is taken again; a
// fleet's folder that holds no board's piece (an --out of an earlier run in it) is no board.
TEST(Rehearsal, OutRemovesNothingItDidNotMake) {
    writeImage(sampleDescription(), "/tmp/sample.img");
    std::filesystem::create_directories("/tmp/fleet");
    std::filesystem::create_directories("/tmp/holder");
    // (A board that the image leaves as it is: its three rehearsals take a moment each.)
    writeBoard("/tmp/fleet/one", {{"etc/data.txt", dataTxtOnTheImagesModule("1", "2.1.0")}});
    writeBoard("/tmp/holder/mine", {{"module.psr", "&0001 = 0001\r\n"}});
    const std::string script =
        kSourceRoot + "/scripts/rehearse.sh --clock-speed " BOARD_SLOW_CLOCK_SPEED " --build " +
        PROJECT_BINARY_PATH + " --emulator '" BOARD_EMULATOR "' ";
    int status = -1;
    EXPECT_EQ(runCommand(script + "--out /tmp/holder /tmp/sample.img", &status),
              "rehearse.sh: --out /tmp/holder holds /tmp/holder/mine, which is no rehearsal's "
              "run: choose another folder\n");
    EXPECT_EQ(status, 2);
    EXPECT_EQ(readWholeFile("/tmp/holder/mine/module.psr"), "&0001 = 0001\r\n");
    EXPECT_EQ(
        runCommand(script + "--out /tmp/fleet/out --fleet /tmp/fleet /tmp/sample.img", &status),
        "rehearse.sh: --out /tmp/fleet/out lies in the fleet folder /tmp/fleet\n");
    EXPECT_EQ(status, 2);
    // An earlier rehearsal's runs and page in the fleet's folder: taken again, and not a board.
    const std::string output = rehearse("--fleet /tmp/fleet /tmp/sample.img", &status);
    ASSERT_EQ(status, 0) << output;
    std::filesystem::rename("/tmp/out", "/tmp/fleet/out");
    EXPECT_NE(rehearse("--out /tmp/fleet/out --board /tmp/fleet/one /tmp/sample.img", &status)
                  .find("1 of 1 boards ended OK\n"),
              std::string::npos);
    EXPECT_EQ(status, 0);
    EXPECT_NE(rehearse("--fleet /tmp/fleet /tmp/sample.img", &status).find("on 1 board ===\n"),
              std::string::npos);
}

// A captured board as sim/make-fleet makes one: its serial number in data.txt twice, and its
// module's address (the last words of the sample's &0001) in the module's whole dump.
void writeCapturedBoard(const std::string& dir, const std::string& serial,
                        const std::string& lapVersion, const std::string& key0021) {
    writeBoard(
        dir, {{"etc/data.txt",
               "DEVICE=BT-LAP access point\r\nSERIALNO=00804712" + serial +
                   "\r\nBTFIRMWARE=1958 16.4.0\r\nCSRMODULINFO=PRL-M2;SN "
                   "00804712" +
                   serial + ";HW 03;FW 1958;SET S2C4;PS 05\r\nLAP_VERSION=" + lapVersion + "\r\n"},
              {"module.psr",
               std::regex_replace(
                   std::regex_replace(readWholeFile(kSourceRoot + "/sim/module/default-store.psr"),
                                      std::regex("&0001 = 0012 ab34"), "&0001 = 0012 " + serial),
                   std::regex("&0021 = 0004"), "&0021 = 0004" + key0021)}});
}

// The board's build of rehearse reads no update archive (it is built where mkupdate, whose
// reader it takes, is not), so there every module key counts: boards that differ in their
// module's address are no twins.
bool rehearseReadsArchives() { return fileExists(PROJECT_BINARY_PATH "/mkupdate"); }
constexpr const char* kNoArchiveReader =
    "the board's build of rehearse reads no update archive: every module key counts";

// Boards that differ only in values no step of the image reads (the serial number, the module's
// address, which the image's key file doesn't name) are rehearsed once and reported each under
// its own name, their group saying what they differed in; a board that differs in anything
// else (its software's version, a key the image sets) is rehearsed on its own.
TEST(Rehearsal, RehearsesBoardsAlikeButForWhatTheImageDoesNotReadOnce) {
    if (!rehearseReadsArchives()) GTEST_SKIP() << kNoArchiveReader;
    writeImage(sampleDescription(), "/tmp/sample.img");
    std::filesystem::create_directories("/tmp/fleet");
    for (const auto& [name, serial, version, key] : {std::tuple{"a", "0001", "2.0.3", ""},
                                                     {"b", "0002", "2.0.3", ""},
                                                     {"b2", "0004", "2.0.3", ""},
                                                     {"c", "0003", "2.1.0", ""},
                                                     {"d", "0005", "2.0.3", " 0007"}})
        writeCapturedBoard(std::string("/tmp/fleet/") + name, serial, version, key);
    int status = -1;
    const std::string output =
        rehearse("--json /tmp/out/report.json --fleet /tmp/fleet /tmp/sample.img", &status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(readWholeFile("/tmp/out/b/twin-of"), "a\n");
    EXPECT_EQ(readWholeFile("/tmp/out/b2/twin-of"), "a\n");
    EXPECT_FALSE(std::filesystem::exists("/tmp/out/c/twin-of"));
    EXPECT_FALSE(std::filesystem::exists("/tmp/out/d/twin-of"));
    EXPECT_FALSE(std::filesystem::exists("/tmp/out/b/state"));
    EXPECT_FALSE(std::filesystem::exists("/tmp/out/b2/seed.txt"));
    // What the report doesn't read is not kept.
    EXPECT_FALSE(std::filesystem::exists("/tmp/out/a/tmp/image"));
    EXPECT_TRUE(std::filesystem::exists("/tmp/out/a/tmp/update.log"));
    EXPECT_NE(output.find("=== group 1: OK: firmware, PS-Keys, software (3 boards) ===\nboards: a "
                          "b b2\ntwins differ in: data.txt CSRMODULINFO= field SN, data.txt "
                          "SERIALNO=, module PS-Key &0001\n"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("5 of 5 boards ended OK\n"), std::string::npos) << output;
    EXPECT_EQ(validateJson("/tmp/out/report.json"), "valid\n");
}

// The run that a plan's board refers to, which holds the facts its twins share.
const nlohmann::json& runOf(const nlohmann::json& plan, const nlohmann::json& board) {
    static const nlohmann::json none;
    for (const nlohmann::json& run : plan["runs"])
        if (run["run"] == board["run"]) return run;
    ADD_FAILURE() << "no run " << board["run"] << " for " << board["board"];
    return none;
}

// The facts of a board of a made fleet are the same whether it is rehearsed on its own or as a
// twin of another (its state's hash included); the boards come from a list, as a fleet too
// large for a command line does.
TEST(Rehearsal, ATwinHasTheFactsOfItsOwnRun) {
    if (!rehearseReadsArchives()) GTEST_SKIP() << kNoArchiveReader;
    writeImage(sampleDescription(), "/tmp/sample.img");
    int status = -1;
    runCommand(kSourceRoot + "/sim/make-fleet /tmp/fleet 60", &status);
    ASSERT_EQ(status, 0);
    // Boards 51 and 55 are twins of 1 and 5 (the same board, site and variants).
    writeWholeFile("/tmp/boards.txt",
                   "/tmp/fleet/sample-01\n/tmp/fleet/service-lacking-05\n/tmp/fleet/sample-51\n"
                   "/tmp/fleet/service-lacking-55\n");
    std::string output = rehearse(
        "--json /tmp/twins.json --boards-from - /tmp/sample.img < /tmp/boards.txt", &status);
    EXPECT_LE(status, 1) << output;
    EXPECT_EQ(readWholeFile("/tmp/out/sample-51/twin-of"), "sample-01\n");
    EXPECT_EQ(readWholeFile("/tmp/out/service-lacking-55/twin-of"), "service-lacking-05\n");
    output = rehearse(
        "--json /tmp/own.json --board /tmp/fleet/sample-51 --board "
        "/tmp/fleet/service-lacking-55 /tmp/sample.img",
        &status);
    EXPECT_LE(status, 1) << output;
    const nlohmann::json twins = nlohmann::json::parse(readWholeFile("/tmp/twins.json"));
    const nlohmann::json own = nlohmann::json::parse(readWholeFile("/tmp/own.json"));
    ASSERT_EQ(own["boards"].size(), 2u);
    for (const nlohmann::json& board : own["boards"]) {
        const auto twin =
            std::find_if(twins["boards"].begin(), twins["boards"].end(),
                         [&](const nlohmann::json& b) { return b["board"] == board["board"]; });
        ASSERT_NE(twin, twins["boards"].end()) << board["board"];
        const nlohmann::json& twinRun = runOf(twins, *twin);
        const nlohmann::json& ownRun = runOf(own, board);
        for (const char* fact : {"state_sha256", "outcome", "assumed"})
            EXPECT_EQ((*twin)[fact], board[fact]) << board["board"] << " " << fact;
        for (const char* fact :
             {"outcome", "versions", "pskeys_changed", "firmware", "flash", "etc_changed", "trust"})
            EXPECT_EQ(twinRun[fact], ownRun[fact]) << board["board"] << " " << fact;
        EXPECT_EQ(twinRun["steps"].size(), ownRun["steps"].size()) << board["board"];
    }
}

// A plan's text or JSON but for its timings: every number with a fraction (and a range of
// them) as "#".
std::string withoutTimings(const std::string& text) {
    return std::regex_replace(
        text, std::regex("-?[0-9]+\\.[0-9]+(e[-+]?[0-9]+)?(-[0-9]+\\.[0-9]+)?"), "#");
}

// A fleet planned in four shards, spread by GNU parallel as over several hosts (local jobs
// here), and merged: the same plan, text and JSON, as one run over the fleet gives. Parts
// that are not of one plan are refused, named.
TEST(Rehearsal, PlansAFleetInShardsAsInOneRun) {
    writeImage(sampleDescription(), "/tmp/sample.img");
    std::filesystem::create_directories("/tmp/fleet");
    // Listed as a reader counts, a9 before a10, though the fleet's folder lists a10 first; a1
    // and a10 are twins. Their modules have the image's firmware already: no board waits for a
    // load.
    for (const auto& [name, version] :
         {std::pair{"a1", "2.0.3"}, {"a10", "2.0.3"}, {"a9", "2.1.0"}, {"d", "2.0.2"}})
        writeBoard(std::string("/tmp/fleet/") + name,
                   {{"etc/data.txt", dataTxtOnTheImagesModule(name, version)}});
    writeBoard("/tmp/fleet/c", {{"module.psr", "// starts on: usb\n"}});
    int status = -1;
    const std::string one =
        rehearse("--json /tmp/one.json --fleet /tmp/fleet /tmp/sample.img", &status);
    EXPECT_EQ(status, 2) << one;
    EXPECT_LT(one.find("\na9 "), one.find("\na10 ")) << one;
    // At the slow clock and a board at a time in each part, as the one run's rehearsal: four
    // parts side by side on a loaded machine (or under qemu) would outlast the daemon's waits.
    const std::string script = kSourceRoot + "/scripts/rehearse.sh --jobs 1 --clock-speed " +
                               BOARD_SLOW_CLOCK_SPEED " --build " + PROJECT_BINARY_PATH +
                               " --emulator '" BOARD_EMULATOR "' ";
    // One command line for parallel's shell, {} the part's number.
    runCommand("PARALLEL_HOME=/tmp/parallel parallel --jobs 4 \"" + script +
                   "--out /tmp/part{} --shard {}/4 --json /tmp/part{}.json --fleet /tmp/fleet "
                   "/tmp/sample.img > /tmp/part{}.txt\" ::: 1 2 3 4",
               &status);
    EXPECT_EQ(validateJson("/tmp/part1.json"), "valid\n");
    const std::string parts = "/tmp/part1.json /tmp/part2.json /tmp/part3.json /tmp/part4.json";
    EXPECT_EQ(withoutTimings(rehearse("--json /tmp/merged.json --merge " + parts, &status)),
              withoutTimings(one));
    EXPECT_EQ(status, 2);
    EXPECT_EQ(withoutTimings(readWholeFile("/tmp/merged.json")),
              withoutTimings(readWholeFile("/tmp/one.json")));
    writeWholeFile("/tmp/other.json",
                   std::regex_replace(readWholeFile("/tmp/part2.json"),
                                      std::regex("\"sample.img\""), "\"other.img\""));
    for (const auto& [part, error] : {
             std::pair{"/tmp/part1.json /tmp/sample.img",
                       "rehearse: /tmp/sample.img: not a rehearsal's plan"},
             {"/tmp/part1.json /tmp/part1.json",
              "rehearse: /tmp/part1.json: the board a1 is also in /tmp/part1.json\n"},
             {"/tmp/part1.json /tmp/other.json",
              "rehearse: /tmp/other.json: a plan of the image "
              "other.img"},
             {"/tmp/part1.json /tmp/part2.json",
              "rehearse: the fleet's part 3/4, 4/4 is not among the parts given\n"},
         }) {
        EXPECT_TRUE(rehearse(std::string("--merge ") + part, &status).starts_with(error)) << part;
        EXPECT_EQ(status, 2);
    }
}

// A board whose data.txt ends its lines in LF alone, already on the image's software and on a
// newer firmware: the versions read whole (no update of the software, no flash rewritten), the
// firmware is marked as a downgrade, and the plan says the file has LF ends, in text, JSON
// and page.
TEST(Rehearsal, ReadsLfEndsWholeAndMarksADowngrade) {
    writeImage(sampleDescription(), "/tmp/sample.img");
    writeBoard("/tmp/lf", {{"etc/data.txt",
                            "DEVICE=BT-LAP access point\nBTFIRMWARE=2200 18.0.0\n"
                            "CSRMODULINFO=PRL-M2;SN 00804712AB34;HW 03;FW 2200;SET S2C4;PS 05\n"
                            "LAP_VERSION=2.1.0\n"}});
    int status = -1;
    const std::string output =
        rehearse("--json /tmp/out/report.json --board /tmp/lf /tmp/sample.img", &status);
    EXPECT_NE(output.find("note etc/data.txt: LF line ends\n"), std::string::npos) << output;
    EXPECT_NE(output.find("  Parlo Firmware   2200 -> 2114 means 17.3.5, update: yes (older: a "
                          "downgrade)\n"
                          "  PS-Key           05 S2C4 -> 07 S3A1, update: yes\n"
                          "  qvl Software     2.1.0 -> 2.1.0, update: no\n"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("flash: nothing written\n"), std::string::npos) << output;
    EXPECT_EQ(validateJson("/tmp/out/report.json"), "valid\n");
    const std::string json = readWholeFile("/tmp/out/report.json");
    EXPECT_TRUE(
        std::regex_search(json, std::regex(R"("notes": ?\[\s*"etc/data.txt: LF line ends")")))
        << json;
    EXPECT_TRUE(std::regex_search(json, std::regex(R"("old": ?"2200",[^}]*"older": ?true)")))
        << json;
    EXPECT_NE(readWholeFile("/tmp/out/plan.html").find("update: yes (older: a downgrade)"),
              std::string::npos);
}

// A fleet: two boards as the sample, one with records of its own and a byte that is not
// UTF-8 in its /etc, and a folder that is wrong. The boards alike form one group, the groups
// of one outcome one kind (said first, with what its groups differ in), the JSON is valid, and
// the wrong folder is named with its file and line (exit status 2).
TEST(Rehearsal, PlansAFleetInGroups) {
    writeImage(sampleDescription(), "/tmp/sample.img");
    mkdir("/tmp/fleet", 0755);
    writeBoard("/tmp/fleet/a", {});
    writeBoard("/tmp/fleet/b", {});
    writeBoard("/tmp/fleet/c", {{"etc/service.txt",
                                 "10001;LAN Access Using PPP;3;0x1102;1;BT-LAP\n"
                                 "10008;Caf\xe9 printer;12;0x1120;6;BT-LAP\n"
                                 "10009;Fax;13;0x1111;7;BT-LAP\n"}});
    writeBoard("/tmp/fleet/d", {{"module.psr", "// starts on: usb\n"}});
    int status = -1;
    const std::string output =
        rehearse("--json /tmp/out/fleet.json --fleet /tmp/fleet /tmp/sample.img", &status);
    EXPECT_TRUE(output.starts_with(
        "=== sample.img on 4 boards ===\n"
        "not rehearsed: the board's folder is wrong (1 board)\n"
        "OK: firmware, PS-Keys, software: 3 boards in 2 groups, which differ in: "
        "/etc/service.txt, /etc/terminal.txt\n"
        "  group 2 (2 boards): 6 keys, firmware 2114 17.3.5, 4 sectors, 6 /etc lines, loses 1 "
        "own record, # s\n"
        "  group 3 (1 board): 6 keys, firmware 2114 17.3.5, 4 sectors, 9 /etc lines, loses 2 "
        "own records, # s\n"))
        << output;
    EXPECT_NE(output.find("  service.txt -10008;Caf\xe9 printer;12;0x1120;6;BT-LAP   (lost)\n"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("seed-board: /tmp/fleet/d/module.psr line 1: the module starts on hci "
                          "or bcsp, not 'usb'\n"),
              std::string::npos)
        << output;
    EXPECT_EQ(status, 2);
    EXPECT_EQ(validateJson("/tmp/out/fleet.json"), "valid\n");
}

// The sample update with a step that installs the makers' key as the board's key set, signed
// by that key with security version 2.
void writeEnrollingImage(const OpensslKey& makers, const std::string& path) {
    const std::string makersKey = mkupdate::updateKeyFileText(makers.modulus);
    mkupdate::UpdateDescription update = sampleDescription();
    if (update.steps) update.steps->push_back("UPDATE_KEYS");
    update.installKeys.emplace();
    update.installKeys->push_back(
        {"/keys/makers.key", mkupdate::Bytes(makersKey.begin(), makersKey.end()), false});
    std::vector<std::string> faults;
    auto image = mkupdate::buildUpdate(update, &faults);
    ASSERT_TRUE(image) << testing::PrintToString(faults);
    writeWholeFile(path, signedWith(*image, makers, false, 2));
}

// A signed image of security version 2 that installs a new key set, on a board that holds the
// signing key, one that holds another key, and one without keys: each board's trust before
// and after, the signer and the verdict, in the text and the JSON.
TEST(Rehearsal, ShowsEachBoardsTrust) {
    const OpensslKey makers = makeOpensslKey("makers", 2048);
    const OpensslKey other = makeOpensslKey("other", 2048);
    const std::string makersId = updateKeyIdText(updateKeyIdOf(makers.modulus)).data();
    const std::string otherId = updateKeyIdText(updateKeyIdOf(other.modulus)).data();
    const std::string makersKey = mkupdate::updateKeyFileText(makers.modulus);
    writeEnrollingImage(makers, "/tmp/signed.img");
    mkdir("/tmp/trust", 0755);
    writeBoard("/tmp/trust/keyed", kOnTheImagesModule);
    mkdir("/tmp/trust/keyed/etc/update-keys", 0755);
    writeWholeFile("/tmp/trust/keyed/etc/update-keys/makers.key", makersKey);
    writeWholeFile("/tmp/trust/keyed/etc/update-security-version", "1\n");
    writeBoard("/tmp/trust/open", kOnTheImagesModule);
    writeBoard("/tmp/trust/stranger", kOnTheImagesModule);
    mkdir("/tmp/trust/stranger/etc/update-keys", 0755);
    writeWholeFile("/tmp/trust/stranger/etc/update-keys/other.key",
                   mkupdate::updateKeyFileText(other.modulus));
    int status = -1;
    const std::string output =
        rehearse("--json /tmp/out/trust.json --fleet /tmp/trust /tmp/signed.img", &status);
    EXPECT_EQ(status, 1);
    for (const std::string& expected : {
             "update keys: makers.key " + makersId + " (release)\nsignature: valid, key " +
                 makersId +
                 ", security version 2\nboard's security version: 1 -> 2\nboard's key-set "
                 "version: 0 (unchanged)\n",
             "update keys: none (no key folder)\nupdate keys after: makers.key " + makersId +
                 " (release)\nsignature: not checked (no update key installed)\nboard's "
                 "security version: 0 (unchanged)\n",
             "update keys: other.key " + otherId +
                 " (release)\nsignature: refused: signed by unknown key " + makersId +
                 "\nboard's security version: 0 (unchanged)\n",
         })
        EXPECT_NE(output.find(expected), std::string::npos) << expected << "\n" << output;
    EXPECT_EQ(validateJson("/tmp/out/trust.json"), "valid\n");
    const std::string json =
        std::regex_replace(readWholeFile("/tmp/out/trust.json"), std::regex("\\s+"), "");
    const std::string id = "\"" + makersId + "\"";
    EXPECT_NE(json.find("\"trust\":{\"keys_before\":[{\"file\":\"makers.key\",\"key_id\":" + id +
                        ",\"role\":\"release\"}],\"keys_after\":[{\"file\":\"makers.key\","
                        "\"key_id\":" +
                        id + ",\"role\":\"release\"}],\"signer\":" + id +
                        ",\"image_security_version\":2,\"verdict\":\"valid\","
                        "\"security_version_before\":1,\"security_version_after\":2,"
                        "\"security_version_before_unreadable\":false,"
                        "\"security_version_after_unreadable\":false,"
                        "\"keyset_version_before\":0,\"keyset_version_after\":0,"
                        "\"summary\":\"keys1,sv1->2\"}"),
              std::string::npos)
        << json;
}

// A key folder of a board: files by name.
void writeKeyFolder(const std::string& board, const std::map<std::string, std::string>& files) {
    std::filesystem::create_directories(board + "/etc/update-keys");
    for (const auto& [name, content] : files)
        writeWholeFile(board + "/etc/update-keys/" + name, content);
}

// keys with their statement of version and threshold (1), signed by signer.
std::map<std::string, std::string> withStatement(std::map<std::string, std::string> keys,
                                                 std::uint32_t version, const OpensslKey& signer) {
    const std::string statement = keySetStatementOf(version, 1, keys);
    keys["keyset"] = statement;
    keys["keyset.sig"] = keySetSignaturesOf(statement, {&signer});
    return keys;
}

// An image signed by the release key A that installs the set {A, B, root R1}, of key-set
// version 2, signed by R1, on a fleet of mixed boards: one that holds A alone (no roots: the
// set's own root lets it in), one whose set of A and R1 is at version 1 (R1 signed: taken), one
// whose root is R2 (refused: the key step's line names the group), and one whose key-set
// version record holds no number (refused, the version shown as unreadable). Each key's role
// and each board's key-set version before and after, in the text, the table and the JSON; a
// plan of two parts, merged, says the same.
TEST(Rehearsal, ShowsKeyRolesKeySetVersionsAndARefusedKeySet) {
    const OpensslKey a = makeOpensslKey("a", 2048), b = makeOpensslKey("b", 2048);
    const OpensslKey r1 = makeOpensslKey("r1", 2048), r2 = makeOpensslKey("r2", 2048);
    auto id = [](const OpensslKey& key) {
        return std::string(updateKeyIdText(updateKeyIdOf(key.modulus)).data());
    };
    const std::map<std::string, std::string> newSet = {
        {"a.key", keyFileOf(a)}, {"b.key", keyFileOf(b)}, {"r1.key", keyFileOf(r1, true)}};
    const std::map<std::string, std::string> carried = withStatement(newSet, 2, r1);
    mkupdate::UpdateDescription update = sampleDescription();
    if (update.steps) update.steps->push_back("UPDATE_KEYS");
    update.installKeys.emplace();
    auto part = [](const std::string& name, const std::string& text) {
        return mkupdate::PartFile{"/keys/" + name, mkupdate::Bytes(text.begin(), text.end()),
                                  false};
    };
    for (const auto& [name, text] : newSet) update.installKeys->push_back(part(name, text));
    update.keySetStatement = part("keyset", carried.at("keyset"));
    update.keySetSignatures = part("keyset.sig", carried.at("keyset.sig"));
    std::vector<std::string> faults;
    auto image = mkupdate::buildUpdate(update, &faults);
    ASSERT_TRUE(image) << testing::PrintToString(faults);
    writeWholeFile("/tmp/keys.img", signedWith(*image, a, false, 0));

    mkdir("/tmp/mixed", 0755);
    writeBoard("/tmp/mixed/plain", kOnTheImagesModule);
    writeKeyFolder("/tmp/mixed/plain", {{"a.key", keyFileOf(a)}});
    writeBoard("/tmp/mixed/rooted", kOnTheImagesModule);
    writeKeyFolder(
        "/tmp/mixed/rooted",
        withStatement({{"a.key", keyFileOf(a)}, {"r1.key", keyFileOf(r1, true)}}, 1, r1));
    writeBoard("/tmp/mixed/stranger", kOnTheImagesModule);
    writeKeyFolder(
        "/tmp/mixed/stranger",
        withStatement({{"a.key", keyFileOf(a)}, {"r2.key", keyFileOf(r2, true)}}, 1, r2));
    writeBoard("/tmp/mixed/unrecorded",
               {*kOnTheImagesModule.begin(), {"etc/update-keyset-version", "two\n"}});
    writeKeyFolder(
        "/tmp/mixed/unrecorded",
        withStatement({{"a.key", keyFileOf(a)}, {"r1.key", keyFileOf(r1, true)}}, 1, r1));
    int status = -1;
    const std::string output =
        rehearse("--json /tmp/out/mixed.json --fleet /tmp/mixed /tmp/keys.img", &status);
    EXPECT_EQ(status, 1);
    const std::string signature = "signature: valid, key " + id(a) + ", security version 0\n" +
                                  "board's security version: 0 (unchanged)\n";
    const std::string before =
        "update keys: a.key " + id(a) + " (release), r1.key " + id(r1) + " (root)\n";
    const std::string after = "update keys after: a.key " + id(a) + " (release), b.key " + id(b) +
                              " (release), r1.key " + id(r1) + " (root)\n";
    for (const std::string& expected : std::vector<std::string>{
             "NOK at Update keys, key set refused: 2 boards in 2 groups, which differ in: the "
             "failing steps' reasons, the update keys, the key-set version\n",
             "=== group 1: NOK at Update keys, key set refused (1 board) ===\nboards: stranger\n",
             "  Update keys failed:\n    key set refused: signed by 0 of the board's root keys, 1 "
             "needed\n    the board's keys are kept\n",
             "  Update keys failed:\n    key set refused: the board's key-set version "
             "(/etc/update-keyset-version) can't be read\n",
             "update keys: a.key " + id(a) + " (release), r2.key " + id(r2) + " (root)\n" +
                 signature + "board's key-set version: 1 (unchanged)\n",
             before + signature + "board's key-set version: unreadable (unchanged)\n",
             "update keys: a.key " + id(a) + " (release)\n" + after + signature +
                 "board's key-set version: 0 -> 2\n",
             before + after + signature + "board's key-set version: 1 -> 2\n",
             "# s  keys 1 -> 3 (1 root), key set 0 -> 2\n",
             "# s  keys 2 (1 root) -> 3, key set 1 -> 2\n",
             "# s  keys 2 (1 root), key set 1            Update keys\n",
             "# s  keys 2 (1 root), key set unreadable   Update keys\n",
         })
        EXPECT_NE(output.find(expected), std::string::npos) << expected << "\n" << output;
    EXPECT_EQ(validateJson("/tmp/out/mixed.json"), "valid\n");
    const std::string json =
        std::regex_replace(readWholeFile("/tmp/out/mixed.json"), std::regex("\\s+"), "");
    for (const std::string& expected : {
             "{\"file\":\"r2.key\",\"key_id\":\"" + id(r2) + "\",\"role\":\"root\"}",
             "{\"file\":\"b.key\",\"key_id\":\"" + id(b) + "\",\"role\":\"release\"}",
             std::string("\"keyset_version_before\":null,\"keyset_version_after\":null,"),
             std::string("\"keyset_version_before\":0,\"keyset_version_after\":2,"),
             std::string("\"keyset_version_before\":1,\"keyset_version_after\":2,"),
             std::string("\"name\":\"NOKatUpdatekeys,keysetrefused\""),
         })
        EXPECT_NE(json.find(expected), std::string::npos) << expected << "\n" << json;
}

// The sample image, unsigned, against one signed that enrols the makers' key: every keyless
// board trusts the key after it, a board of another key refuses it for another reason, and a
// board whose key folder holds only makers.pub refuses both for that (not for the warning
// before it), its security version record shown as unreadable.
TEST(Rehearsal, ComparesWhomTheBoardsTrust) {
    const OpensslKey makers = makeOpensslKey("makers", 2048);
    const OpensslKey other = makeOpensslKey("other", 2048);
    const std::string makersId = updateKeyIdText(updateKeyIdOf(makers.modulus)).data();
    const std::string makersKey = mkupdate::updateKeyFileText(makers.modulus);
    writeImage(sampleDescription(), "/tmp/old.img");
    writeEnrollingImage(makers, "/tmp/new.img");
    mkdir("/tmp/trust", 0755);
    writeBoard("/tmp/trust/open", kOnTheImagesModule);
    writeBoard("/tmp/trust/open2", kOnTheImagesModule);
    for (const char* board : {"stranger", "pub"}) {
        writeBoard(std::string("/tmp/trust/") + board, kOnTheImagesModule);
        std::filesystem::create_directories(std::string("/tmp/trust/") + board +
                                            "/etc/update-keys");
    }
    writeWholeFile("/tmp/trust/stranger/etc/update-keys/other.key",
                   mkupdate::updateKeyFileText(other.modulus));
    writeWholeFile("/tmp/trust/pub/etc/update-keys/makers.pub", makersKey);
    writeWholeFile("/tmp/trust/pub/etc/update-security-version", "two\n");
    int status = -1;
    const std::string output = rehearse(
        "--json /tmp/out/trust.json --fleet /tmp/trust --compare /tmp/old.img /tmp/new.img",
        &status);
    EXPECT_EQ(status, 1);
    for (const std::string& expected : std::vector<std::string>{
             "; Image check: NOK (image file /tmp/image refused: key folder /etc/update-keys holds "
             "no key file (*.key))",
             "board's security version: unreadable (unchanged)\n",
             "  refused: key folder /etc/update-keys holds no key file (*.key)  Image check\n",
             "  refused: signed by unknown key  ",
             "  not checked, keyless -> keys 1",
             "=== new.img against old.img ===\n",
             "2 boards: open open2\n  update keys after: none (no key folder) -> makers.key " +
                 makersId + " (release)\n",
             "1 board: stranger\n  signature: refused: no signature -> refused: signed by "
             "unknown key " +
                 makersId + "\n",
             "1 board alike: pub\n",
         })
        EXPECT_NE(output.find(expected), std::string::npos) << expected << "\n" << output;
    EXPECT_EQ(validateJson("/tmp/out/trust.json"), "valid\n");
}

// The sample image against one with a changed key and a newer firmware: the comparison names
// the boards and the keys that differ, and the board that takes neither as alike.
TEST(Rehearsal, ComparesTwoImagesBoardByBoard) {
    writeImage(sampleDescription(), "/tmp/old.img");
    mkupdate::UpdateDescription update = sampleDescription();
    std::string keys(update.files[mkupdate::FILE_PSKEYS]->content.begin(),
                     update.files[mkupdate::FILE_PSKEYS]->content.end());
    keys.replace(keys.find("&0021 = 0006"), 12, "&0021 = 0007");
    // The firmware's own version key names its build and version (two characters a word).
    const std::string version = "3731 332e 352e 3220 3131 2034";
    keys.replace(keys.find(version), version.size(), "3831 302e 302e 3220 3032 2030");
    update.files[mkupdate::FILE_PSKEYS]->content.assign(keys.begin(), keys.end());
    const std::string firmware = "firmware 2200 18.0.0\n";
    update.files[mkupdate::FILE_STACK]->content.assign(firmware.begin(), firmware.end());
    update.versions[0] = "2200 18.0.0";
    writeImage(update, "/tmp/new.img");
    int status = -1;
    const std::string output = rehearse(
        "--json /tmp/out/compare.json --board " + kSourceRoot + "/sim/boards/sample --board " +
            kSourceRoot + "/sim/boards/flash-4m --compare /tmp/old.img /tmp/new.img",
        &status);
    EXPECT_TRUE(
        output.ends_with("=== new.img against old.img ===\n"
                         "2 boards: flash-4m sample\n"
                         "  &0021: 0006 -> 0007\n"
                         "  &02a5: 5250 464c 2057 3731 332e 352e 3220 3131 2034 3730 -> "
                         "5250 464c 2057 3831 302e 302e 3220 3032 2030 3730\n"
                         "  firmware after: 2114 17.3.5 -> 2200 18.0.0\n"
                         "page: /tmp/out/plan.html\n"))
        << output;
    EXPECT_EQ(status, 0);
    EXPECT_EQ(validateJson("/tmp/out/compare.json"), "valid\n");
}

// A run that can't be read is a wrong input, said with its path, never an abort or a run that
// broke.
TEST(Rehearsal, RefusesRunsItCannotReadNamingThem) {
    // Under the board's emulator on a cross build, as the suite's other programs run.
    const std::string program =
        std::string(BOARD_EMULATOR) + " " + PROJECT_BINARY_PATH + "/rehearse ";
    std::filesystem::create_directories("/tmp/runs/b/state");
    std::filesystem::create_directories("/tmp/b");
    const struct {
        const char* flashLog;
        const char* runs;
        std::string error;
    } cases[] = {
        {"00:00:01.000 erase ZZ sectors 1\n", "/tmp/runs",
         "rehearse: /tmp/runs/b/state/flash.log:1: not a hex number: ZZ\n"},
        {"00:00:01.000 erase 0x20000 sectors 1\n00:00:02.000 program 0x20000 words two\n",
         "/tmp/runs", "rehearse: /tmp/runs/b/state/flash.log:2: not a number: two\n"},
        {"", "/tmp/none", "rehearse: /tmp/none: no folder of runs there\n"},
    };
    for (const auto& c : cases) {
        writeWholeFile("/tmp/runs/b/state/flash.log", c.flashLog);
        int status = -1;
        EXPECT_EQ(runCommand(program + c.runs + " /tmp/b", &status), c.error);
        EXPECT_EQ(status, 2) << c.error;
    }
    // Nor two of its programs at once, of which one would be done and the other dropped.
    int status = -1;
    EXPECT_EQ(runCommand(program + "--deal --merge /tmp/runs /tmp/b", &status),
              "rehearse: --watch, --stamp-lines, --merge and --deal: give one of them (see "
              "rehearse --help)\n");
    EXPECT_EQ(status, 2);
}

}  // namespace
