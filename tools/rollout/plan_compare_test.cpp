#include "tools/rollout/plan_compare.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tools/common/json_text.h"

namespace rollout {

namespace {

const char* const kPlan = R"({
  "format": "btlap-rehearsal", "format_version": 1, "a_member_of_later": [1, 2],
  "image": {"name": "update.img", "sha256": ""},
  "boards": [
    {"board": "lap-1", "folder": "fleet/lap-1", "position": 1, "group": 1, "outcome": "OK",
     "assumed": [], "flash_size": 2097152,
     "pskeys_changed": [{"key": "&0021", "before": "0004", "after": "0006", "by": "image"},
                        {"key": "&0300", "before": "0001", "after": null, "by": "image"}],
     "firmware": {"before": "1958 16.4.0", "after": "2114 17.3.5"},
     "versions": [
       {"part": "Parlo Firmware", "old": "1958", "new": "2114 means 17.3.5", "update": true,
        "older": false},
       {"part": "PS-Key", "old": "05 S2C4", "new": "07 S3A1", "update": true, "older": false},
       {"part": "qvl Software", "old": "2.0.3", "new": "2.1", "update": true, "older": false}],
     "etc_changed": [{"file": "data.txt", "change": "removed", "line": "BTFIRMWARE=1958 16.4.0"},
                     {"file": "data.txt", "change": "added", "line": "BTFIRMWARE=2114 17.3.5"}],
     "steps": [{"step": "Image check", "result": "OK", "reasons": []},
               {"step": "Write PS-Keys", "result": "OK", "reasons": []}]},
    {"board": "lap-2", "folder": "fleet/lap-2", "position": 2, "group": 2, "outcome": "NOK",
     "assumed": [],
     "versions": [
       {"part": "Parlo Firmware", "old": "2114", "new": "2114 means 17.3.5", "update": false,
        "older": false},
       {"part": "PS-Key", "old": "05 S2C4", "new": "07 S3A1", "update": true, "older": false},
       {"part": "qvl Software", "old": "2.0.3", "new": "not found", "update": true,
        "older": false}],
     "steps": [{"step": "Write diff. PS-Keys", "result": "NOK",
                "reasons": ["BCCMD set of PS-Key 0x0300 refused: status 0x0008"]}]}
  ]})";

Plan plan() {
    Plan read;
    std::string error;
    EXPECT_TRUE(readPlan(kPlan, &read, &error)) << error;
    return read;
}

// lap-1 as its plan says it ends.
FieldFacts asPlanned() {
    FieldFacts field;
    field.reach = Reach::Updated;
    field.outcome = "OK";
    field.captured = true;
    field.keys = {{"&0021", "0006"}, {"&0022", "0001"}};
    field.flashSize = 2097152;
    field.etc["data.txt"] = {"DEVICE=BT-LAP", "BTFIRMWARE=2114 17.3.5"};
    return field;
}

const std::map<std::string, std::string> kBefore = {
    {"&0021", "0004"}, {"&0022", "0001"}, {"&0300", "0001"}, {"&0400", "0009"}};

TEST(RolloutPlan, FindsTheBoardByItsFolderOrName) {
    Plan read = plan();
    ASSERT_EQ(read.boards.size(), 2u);
    EXPECT_EQ(plannedBoard(read, "fleet/lap-1")->name, "lap-1");
    EXPECT_EQ(plannedBoard(read, "/srv/boards/lap-2/")->name, "lap-2");
    EXPECT_EQ(plannedBoard(read, "lap-3"), nullptr);
    EXPECT_EQ(read.boards[1].failed.size(), 1u);
    std::string error;
    Plan other;
    EXPECT_FALSE(readPlan(R"({"format": "btlap-rollout", "format_version": 1})", &other, &error));
    EXPECT_FALSE(readPlan("{", &other, &error));
}

// From format version 2 a plan writes each run's facts once and its boards name their run:
// each board reads as in version 1, its own members over its run's.
TEST(RolloutPlan, ReadsTheBoardsOfTheirRuns) {
    Json v1 = Json::parse(kPlan);
    Json v2 = {{"format", "btlap-rehearsal"}, {"format_version", 2}, {"image", v1["image"]}};
    Json runs = Json::array(), boards = Json::array();
    for (const Json& board : v1["boards"]) {
        Json own = {{"run", runs.size() + 1}}, run = board;
        for (const char* member : {"board", "folder", "position", "group", "flash_size"}) {
            if (!board.contains(member)) continue;
            own[member] = board[member];
            run.erase(member);
        }
        runs.push_back(run);
        boards.push_back(own);
    }
    v2["runs"] = runs;
    v2["boards"] = boards;
    Plan read;
    std::string error;
    ASSERT_TRUE(readPlan(v2.dump(), &read, &error)) << error;
    EXPECT_EQ(planDifferences(read.boards[0], asPlanned(), kBefore), std::vector<std::string>{});
    EXPECT_EQ(read.boards[1].name, "lap-2");
    EXPECT_EQ(read.boards[1].failed.size(), 1u);
    EXPECT_EQ(read.boards[0].flashSize, std::optional<std::uint64_t>(2097152));
}

TEST(RolloutPlan, ABoardAsPlannedDiffersInNothing) {
    EXPECT_EQ(planDifferences(plan().boards[0], asPlanned(), kBefore), std::vector<std::string>{});
}

TEST(RolloutPlan, NamesEachDeparture) {
    struct Case {
        const char* what;
        void (*change)(FieldFacts&);
        std::vector<std::string> differences;
    };
    const Case cases[] = {
        {"a key refused",
         [](FieldFacts& f) { f.keys["&0021"] = "0004"; },
         {"&0021: planned 0006, found 0004"}},
        {"a key kept that goes",
         [](FieldFacts& f) { f.keys["&0300"] = "0001"; },
         {"&0300: planned (none), found 0001"}},
        {"a key the plan leaves changed",
         [](FieldFacts& f) { f.keys["&0022"] = "0002"; },
         {"&0022: planned 0001, found 0002"}},
        {"a key lost",
         [](FieldFacts& f) { f.keys.erase("&0022"); },
         {"&0022: planned 0001, found (none)"}},
        {"the flash",
         [](FieldFacts& f) { f.flashSize = 1048576; },
         {"flash size: planned 2097152, found 1048576"}},
        {"an /etc line",
         [](FieldFacts& f) { f.etc["data.txt"] = {"BTFIRMWARE=1958 16.4.0"}; },
         {"etc/data.txt: planned to go, still there: BTFIRMWARE=1958 16.4.0",
          "etc/data.txt: planned line missing: BTFIRMWARE=2114 17.3.5"}},
        {"the outcome and a step",
         [](FieldFacts& f) {
             f.outcome = "NOK";
             f.failed = {{"Write PS-Keys", {"BCCMD set of PS-Key 0x0021 refused: status 0x0008"}}};
         },
         {"outcome: planned OK, found NOK",
          "Write PS-Keys: failed, unplanned: BCCMD set of PS-Key 0x0021 refused: status 0x0008"}},
        {"no state read",
         [](FieldFacts& f) { f.captured = false; },
         {"the board's state after the update could not be read"}},
        {"unreachable",
         [](FieldFacts& f) {
             f.reach = Reach::Unreachable;
             f.why = "ssh ended with status 255";
         },
         {"ssh ended with status 255"}},
    };
    for (const Case& c : cases) {
        FieldFacts field = asPlanned();
        c.change(field);
        EXPECT_EQ(planDifferences(plan().boards[0], field, kBefore), c.differences) << c.what;
    }
}

TEST(RolloutPlan, HoldsAFailureToItsSteps) {
    FieldFacts field;
    field.reach = Reach::Updated;
    field.outcome = "NOK";
    field.captured = true;
    const PlannedBoard board = plan().boards[1];
    field.failed = board.failed;
    EXPECT_EQ(planDifferences(board, field, {}), std::vector<std::string>{});
    field.failed[0].reasons = {"BCCMD set of PS-Key 0x0301 refused: status 0x0008"};
    EXPECT_EQ(planDifferences(board, field, {}),
              std::vector<std::string>{
                  "Write diff. PS-Keys: failed for other reasons: planned BCCMD set of PS-Key "
                  "0x0300 refused: status 0x0008; found BCCMD set of PS-Key 0x0301 refused: "
                  "status 0x0008"});
    field.failed.clear();
    field.outcome = "OK";
    EXPECT_EQ(planDifferences(board, field, {}),
              (std::vector<std::string>{"outcome: planned NOK, found OK",
                                        "Write diff. PS-Keys: planned to fail, did not"}));
}

// A board's data.txt holding lap-1's image: firmware 2114, settings code 07 and mark S3A1,
// software 2.1.
const std::string kHoldsImage =
    "DEVICE=BT-LAP access point\r\n"
    "BTFIRMWARE=2114 17.3.5\r\n"
    "CSRMODULINFO=PRL-M2;SN 00804712AB34;HW 03;FW 2114;SET S3A1;PS 07\r\n"
    "LAP_VERSION=2.1\r\n"
    "LAN_IF=eth0\r\n";

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    text.replace(text.find(from), from.size(), to);
    return text;
}

std::string withoutCrs(std::string text) {
    std::erase(text, '\r');
    return text;
}

TEST(RolloutPlan, TellsABoardThatHoldsTheImagesVersionsByItsDataTxt) {
    const struct {
        const char* what;
        std::string dataTxt;
        bool holds;
    } cases[] = {
        {"every version current", kHoldsImage, true},
        {"LF lines", withoutCrs(kHoldsImage), true},
        {"firmware older", replaced(kHoldsImage, "=2114 17.3.5", "=1958 16.4.0"), false},
        {"firmware newer", replaced(kHoldsImage, "=2114 17.3.5", "=2200 18.0.0"), false},
        {"firmware's build alone counts", replaced(kHoldsImage, "2114 17.3.5", "2114 9"), true},
        {"settings code older", replaced(kHoldsImage, "PS 07", "PS 05"), false},
        {"settings mark other", replaced(kHoldsImage, "SET S3A1", "SET S2C4"), false},
        {"software older", replaced(kHoldsImage, "=2.1\r", "=2.0.3\r"), false},
        {"software newer", replaced(kHoldsImage, "=2.1\r", "=2.10\r"), false},
        {"no software line", replaced(kHoldsImage, "LAP_VERSION=2.1\r\n", ""), false},
        {"no firmware line", replaced(kHoldsImage, "BTFIRMWARE=2114 17.3.5\r\n", ""), false},
        {"no settings line", replaced(kHoldsImage, "CSRMODULINFO=", "CSRINFO="), false},
        {"the first line counts", "LAP_VERSION=2.0.3\r\n" + kHoldsImage, false},
        // The check takes the line's last character for its line end.
        {"last line without its end", replaced(kHoldsImage, "\r\nLAN_IF=eth0\r\n", ""), false},
        {"empty", "", false},
    };
    const PlannedBoard board = plan().boards[0];
    for (const auto& c : cases) EXPECT_EQ(holdsUpdate(board, c.dataTxt), c.holds) << c.what;
}

TEST(RolloutPlan, PassesOverTheVersionsAnImageDoesNotCarry) {
    const PlannedBoard board = plan().boards[1];
    EXPECT_TRUE(holdsUpdate(board, replaced(kHoldsImage, "LAP_VERSION=2.1\r\n", "")))
        << "the image names no software version";
    EXPECT_FALSE(holdsUpdate(board, replaced(kHoldsImage, "=2114 17.3.5", "=1958 16.4.0")))
        << "the settings are current only with the firmware";
    PlannedBoard none = board;
    none.versions.clear();
    EXPECT_FALSE(holdsUpdate(none, kHoldsImage)) << "a plan without the image's versions";
}

TEST(RolloutField, ReadsHowTheSessionEnded) {
    const std::string dir = testing::TempDir() + "rollout-field";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    auto write = [&](const char* name, const std::string& text) {
        std::ofstream(dir + "/" + name) << text;
    };
    write("ssh-status", "255\n");
    EXPECT_EQ(readFieldFacts(dir).reach, Reach::Unreachable);
    EXPECT_EQ(readFieldFacts(dir).why, "ssh ended with status 255");
    write("ssh-status", "124\n");
    EXPECT_EQ(readFieldFacts(dir).reach, Reach::NoAnswer);
    write("ssh-status", "3\n");
    write("peer-status", "3\n");
    EXPECT_EQ(readFieldFacts(dir).reach, Reach::NoAnswer);
    EXPECT_EQ(readFieldFacts(dir).why, "the daemon gave no final notice in time");
    write("ssh-status", "0\n");
    write("peer-status", "0\n");
    write("capture-status", "0\n");
    std::filesystem::create_directories(dir + "/board/etc");
    write("board/module.psr", "// firmware: 2114 17.3.5\r\n&0021 = 0006\r\n&02A5 = 0001 0002\r\n");
    write("board/flash", "4M\n");
    write("board/etc/data.txt", "A=1\r\nB=2\r\n");
    FieldFacts facts = readFieldFacts(dir);
    EXPECT_EQ(facts.reach, Reach::Updated);
    EXPECT_EQ(facts.outcome, "OK");
    EXPECT_EQ(facts.keys,
              (std::map<std::string, std::string>{{"&0021", "0006"}, {"&02a5", "0001 0002"}}));
    EXPECT_EQ(facts.flashSize, 4194304u);
    EXPECT_EQ(facts.etc["data.txt"], (std::vector<std::string>{"A=1", "B=2"}));
}

}  // namespace

}  // namespace rollout
