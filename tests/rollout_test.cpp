// A rollout in waves (scripts/rollout.sh) to simulated boards in the field, reached through a
// stand-in for ssh (sim/field-ssh), each in a sandbox of its own inside this test's: planned by
// a rehearsal of the same boards' folders, halted by a board that departs from its plan,
// resumed without updating a board twice nor one that holds the image's versions already, and
// its status as text, JSON and page.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/board.h"
#include "tools/mkupdate/sample_update.h"
#include "tools/mkupdate/update_build.h"

namespace {

const std::string kRolloutSource = PROJECT_SOURCE_PATH;
// The boards' clock, in the plan's rehearsal and in the field: the slow clock of the tests, as
// the rehearsals' own tests take it. At twice that, the plan's read of a module's keys outlasted
// its alarm once, with the three suites side by side.
const std::string kFieldSpeed = BOARD_SLOW_CLOCK_SPEED;

// The boards in the order of the rollout; with waves 1,100% and 3 at a time, the first wave is
// a board that holds the image's versions already, and the second starts sample-06 (whose
// module refuses a key its folder doesn't say) in its first three. Each board's update takes
// the board's seconds at the slow clock, and a wave waits for its boards: so the plan and one
// round of updates hold what the rollout decides, each kind of board once.
const std::vector<std::string> kFieldBoards = {"firmware-current-07", "sample-01", "bcsp-start-03",
                                               "sample-06", "service-lacking-05"};

std::string rolloutCommand(const std::string& arguments) {
    return "BTLAP_FIELD_EMULATOR='" BOARD_EMULATOR "' " + kRolloutSource +
           "/scripts/rollout.sh --out /tmp/rollout-out --jobs 3 " + kAipeerTimeout +
           " --time-limit 300 "
           "--build " +
           PROJECT_BINARY_PATH + " --emulator '" BOARD_EMULATOR "' --ssh '" + kRolloutSource +
           "/sim/field-ssh --field /tmp/field --clock-speed " + kFieldSpeed + " --build " +
           PROJECT_BINARY_PATH +
           "' --aipeer '" BOARD_EMULATOR " " PROJECT_BINARY_PATH "/aipeer_sim' " + arguments;
}

std::string followsRolloutSchema(const std::string& path) {
    writeWholeFile("/tmp/validate.py",
                   "import json, sys, jsonschema\n"
                   "schema = json.load(open(sys.argv[1]))\n"
                   "jsonschema.Draft7Validator.check_schema(schema)\n"
                   "jsonschema.validate(json.load(open(sys.argv[2], encoding='utf-8')), schema)\n"
                   "print('valid')\n");
    ProgramRun run = runProgram("/usr/bin/python3 /tmp/validate.py " + kRolloutSource +
                                "/tools/rollout/rollout.schema.json " + path);
    return run.out + run.err;
}

// The status of the first boards of the second wave: one as planned, and sample-06, whose
// module refused to set a key.
const std::string kSecondWavesFirst =
    "  bcsp-start-03 (root@bcsp-start-03, wave 2): as planned, planned NOK, found NOK\n"
    "  sample-06 (root@sample-06, wave 2): unexpected, planned OK, found NOK\n"
    "    outcome: planned OK, found NOK\n"
    "    Write diff. PS-Keys: failed, unplanned: BCCMD set of PS-Key 0x0021 refused: "
    "status 0x0008\n"
    "    Write all PS-Keys: failed, unplanned: BCCMD set of PS-Key 0x0021 refused: "
    "status 0x0008\n"
    "    &0021: planned 0006, found 0004\n";

// The lines of the status text that say what each wave and each board did.
std::string rolloutStatusLines(const std::string& text) {
    return text.substr(0, text.find("exit status"));
}

TEST(Rollout, HaltsOnABoardUnlikeItsPlanAndResumesWithTheRest) {
    std::string error;
    auto update = mkupdate::sampleUpdate(kRolloutSource + "/sim/sample-update", &error);
    ASSERT_TRUE(update) << error;
    std::vector<std::string> faults;
    auto image = mkupdate::buildUpdate(*update, &faults);
    ASSERT_TRUE(image) << testing::PrintToString(faults);
    writeWholeFile("/tmp/sample.img", *image);
    ASSERT_EQ(runProgram(kRolloutSource + "/sim/make-fleet /tmp/fleet 7").status, 0);
    for (const char* unused : {"firmware-current-02", "flash-4m-04"})
        std::filesystem::remove_all(std::string("/tmp/fleet/") + unused);
    // Planned in one round: the boards mostly wait for their clock.
    ProgramRun plan = runProgram(
        kRolloutSource + "/scripts/rehearse.sh --jobs 5 --clock-speed " + kFieldSpeed +
        " --out /tmp/rehearsal --build " PROJECT_BINARY_PATH " --emulator '" BOARD_EMULATOR
        "' --json /tmp/plan.json --fleet /tmp/fleet /tmp/sample.img");
    ASSERT_EQ(plan.status, 1) << "the boards that start on BCSP end NOK\n" << plan.err;
    std::string boards, fleet;
    for (const std::string& board : kFieldBoards) {
        boards += "root@" + board + "  /tmp/fleet/" + board + "\n";
        fleet += " /tmp/fleet/" + board;
    }
    writeWholeFile("/tmp/boards.txt", "# the field\n" + boards);
    ProgramRun made = runProgram(kRolloutSource + "/sim/field-ssh --make /tmp/field" + fleet);
    ASSERT_EQ(made.status, 0) << made.err;
    // In the field, sample-06's module refuses a key that its folder doesn't name, and
    // service-lacking-05 can't be reached.
    writeWholeFile("/tmp/field/sample-06/state/module.refuses", "&0021\n");
    writeWholeFile("/tmp/field/service-lacking-05/unreachable", "");
    // firmware-current-07's data.txt names the image's versions already (firmware 2114,
    // settings code 07 and mark S3A1, software 2.1.0): it is not updated.
    const std::string dataTxt = "/tmp/field/firmware-current-07/state/etc/data.txt";
    std::string held = readWholeFile(dataTxt);
    for (const auto& [from, to] :
         {std::pair<std::string, std::string>{"SET S2C4;PS 05", "SET S3A1;PS 07"},
          {"LAP_VERSION=2.0.3", "LAP_VERSION=2.1.0"}}) {
        ASSERT_NE(held.find(from), std::string::npos) << held;
        held.replace(held.find(from), from.size(), to);
    }
    writeWholeFile(dataTxt, held);

    ProgramRun halted = runProgram(rolloutCommand(
        "--waves 1,100% --plan /tmp/plan.json --boards /tmp/boards.txt /tmp/sample.img"));
    EXPECT_EQ(halted.status, 1) << halted.out << halted.err;
    EXPECT_EQ(rolloutStatusLines(readWholeFile("/tmp/rollout-out/status.txt")),
              "rollout of sample.img: unexpected - halted in wave 2 of 2: 1 board unlike the plan, "
              "more than --max-unexpected 0\n"
              "  1 updated, 1 as planned, 1 already updated, 1 unexpected, 1 not yet\n"
              "wave 1 (1, boards 1-1): 1 already updated\n"
              "wave 2 (100%, boards 2-5): 1 updated, 1 as planned, 1 unexpected, 1 not yet\n" +
                  kSecondWavesFirst);
    EXPECT_EQ(followsRolloutSchema("/tmp/rollout-out/status.json"), "valid\n");
    EXPECT_NE(
        readWholeFile("/tmp/rollout-out/status.html").find("unexpected - halted in wave 2 of 2"),
        std::string::npos);

    ProgramRun again = runProgram(
        rolloutCommand("--plan /tmp/plan.json --boards /tmp/boards.txt /tmp/sample.img"));
    EXPECT_EQ(again.status, 2);
    EXPECT_EQ(again.err,
              "rollout.sh: /tmp/rollout-out holds a rollout already: --resume goes on with it\n");

    // Resumed, the surprise seen no longer counts; one more is let through.
    ProgramRun resumed = runProgram(rolloutCommand("--resume --max-unexpected 1"));
    EXPECT_EQ(resumed.status, 1) << resumed.out << resumed.err;
    EXPECT_EQ(
        rolloutStatusLines(readWholeFile("/tmp/rollout-out/status.txt")),
        "rollout of sample.img: unexpected - finished: 5 boards\n"
        "  1 updated, 1 as planned, 1 already updated, 1 unexpected, 1 unreachable\n"
        "wave 1 (1, boards 1-1): 1 already updated\n"
        "wave 2 (100%, boards 2-5): 1 updated, 1 as planned, 1 unexpected, 1 unreachable\n" +
            kSecondWavesFirst +
            "  service-lacking-05 (root@service-lacking-05, wave 2): unreachable, planned OK, "
            "found not reached\n"
            "    ssh ended with status 255\n");
    EXPECT_EQ(followsRolloutSchema("/tmp/rollout-out/status.json"), "valid\n");
    // Each board reached was updated once (its session's command begins with its folder), but
    // the one that held the image's versions.
    const std::string updateSession = "dir=$(mktemp -d /tmp/rollout.";
    auto updates = [](const std::string& board) -> std::size_t {
        return board == "firmware-current-07" ? 0 : 1;
    };
    for (const std::string& board : kFieldBoards) {
        if (board == "service-lacking-05") continue;
        EXPECT_EQ(countOf(readWholeFile("/tmp/field/" + board + "/sessions"), updateSession),
                  updates(board))
            << board;
    }
    ProgramRun done = runProgram(rolloutCommand("--resume"));
    EXPECT_EQ(done.status, 1);
    for (const std::string& board : kFieldBoards) {
        if (board == "service-lacking-05") continue;
        EXPECT_EQ(countOf(readWholeFile("/tmp/field/" + board + "/sessions"), updateSession),
                  updates(board))
            << "a rollout that is done updates no board again: " << board;
    }
}

}  // namespace
