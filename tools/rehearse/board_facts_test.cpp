// What the rehearsal finds in a board's run folder, as scripts/rehearse.sh keeps it: an
// update of two steps whose third never ran, written here file by file.
#include "tools/rehearse/board_facts.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tools/rehearse/fleet.h"

namespace {

const std::string kRun = "/tmp/run";
// The board's speeds: 115200 baud, 0.7 s a sector, 9 us a word, 100 processor ticks a second.
const BoardSpeeds kSpeeds{115200, 700000, 9, 100};

void putRunFile(const std::string& name, const std::string& content) {
    std::filesystem::path path = kRun + "/" + name;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

// 10:00:00 UTC of a day: the image check, "Write all PS-Keys" and "Update qvl Software". The
// last stamp has no processor time (the daemon had ended).
void writeRun() {
    std::filesystem::remove_all(kRun);
    putRunFile("outcome", "OK\n");
    putRunFile("seed.txt", "assumed flash contents: erased\n");
    putRunFile("tmp/peer-times.txt",
               "1796724000.000000 - AI_NOTICE (1026) param 0 text \"/x0AT0x0Do\" (10 bytes)\n"
               "1796724000.500000 10 step 1/3 Write all PS-Keys: started\n"
               "1796724001.000000 20 step 1/3 Write all PS-Keys: OK\n"
               "1796724001.000000 20 step 2/3 Update qvl Software  : started\n"
               "1796724002.000000 60 step 2/3 Update qvl Software  : 100%\n"
               "1796724002.000000 60 step 2/3 Update qvl Software  : NOK\n"
               "1796724002.000000 - *UPDATE_FINISHED* ... NOK\n");
    putRunFile("tmp/report-times.txt",
               "1796724000.250000 10 started 1 1796724000.249000\n"
               "1796724001.000000 20 started 2 1796724000.999000\n"
               "1796724002.000000 - finished 1796724001.999000\n");
    putRunFile(
        "tmp/update.log",
        "Write all PS-Keys:     started ... OK\n"
        "Update qvl Software:   started ...  50 percent flash erase failed at 0x020000\n NOK\n"
        "*UPDATE_FINISHED* ... NOK\n");
    putRunFile("tmp/update.d/updatetodo.txt", "BT_MOD_SET_ALL_WRITE\nLAP_SOFTWARE\nCHECK_SDP\n");
    std::string packet = " host>module";
    for (int i = 0; i < 576; ++i) packet += " 00";
    // Packets between a step's start and the read that saw it count to the step before, the
    // flash's work to the new one.
    putRunFile("state/module.log",
               "10:00:00.100000 /dev/bcspRel2 opened\n10:00:00.500000 /dev/bcspRel2" + packet +
                   " | SET\n10:00:00.999500 /dev/bcspRel2" + packet + " | GETRESP\n");
    putRunFile(
        "state/flash.log",
        "10:00:00.999500 erase 0x00020000 sectors 2\n10:00:01.500000 program 0x00020000 words "
        "1000\n");
    putRunFile("state/dfu.log", "10:00:01.200000 download 500 bytes, 576 on the line\n");
    putRunFile("state/clock.speed", "1\n");
    // The module's keys: one the image sets, one the daemon sets by itself, one it drops.
    putRunFile("tmp/update.d/pskeyorig.psr", "// keys\n&0021 = 0006\n");
    putRunFile("before/state/module.psr", "&0021 = 0004\r\n&01f9 = 0003\r\n&0300 = 0001\r\n");
    putRunFile("state/module.psr", "&0021 = 0006\r\n&01f9 = 0001\r\n");
    putRunFile("before/state/module.firmware", "1958 16.4.0\n");
    putRunFile("state/module.firmware", "2114 17.3.5\n");
    // A record the update replaces, one it drops, a terminal entry it rewrites.
    putRunFile("before/etc/service.txt", "# records\n10001;LAN;3\n10007;Board's own;12\n");
    putRunFile("tmp/etc-after/service.txt", "# records\n10001;LAN Access;3\n");
    putRunFile("before/etc/terminal.txt", "1;default;3,12\n");
    putRunFile("tmp/etc-after/terminal.txt", "1;default;3\n");
}

TEST(BoardFacts, PredictsEachStepsTimeAndMarksWhatNeverRan) {
    writeRun();
    BoardFacts facts = readBoardFacts(kRun, "b1", "/boards/b1", false, kSpeeds);
    // Image check, the two steps (the second with the DFU program's 576 line bytes) and the
    // step that never ran: name, result, start, wire, waits, work, total.
    struct Row {
        const char* name;
        const char* result;
        double start, wire, waits, work, total;
    };
    const Row expected[] = {
        {"Image check", "OK", 0, 0, 0.15, 0.1, 0.25},
        {"Write all PS-Keys", "OK", 0.25, 0.1, 0.65, 0.1, 0.85},
        {"Update qvl Software", "NOK", 1.1, 0.05, 0.6, 1.809, 2.459},
        {"Check SDP records", "not run", 0, 0, 0, 0, 0},
    };
    ASSERT_EQ(facts.run->steps.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const StepFacts& step = facts.run->steps[i];
        SCOPED_TRACE(step.name);
        EXPECT_EQ(step.name, expected[i].name);
        EXPECT_EQ(step.result, expected[i].result);
        EXPECT_NEAR(step.start, expected[i].start, 1e-6);
        EXPECT_NEAR(step.wire, expected[i].wire, 1e-6);
        EXPECT_NEAR(step.waits, expected[i].waits, 1e-6);
        EXPECT_NEAR(step.work, expected[i].work, 1e-6);
        EXPECT_NEAR(step.total, expected[i].total, 1e-6);
    }
    EXPECT_NEAR(facts.run->duration.value_or(-1), 3.559, 1e-6);
    EXPECT_EQ(facts.run->steps[2].reasons,
              std::vector<std::string>{"flash erase failed at 0x020000"});
    EXPECT_EQ(facts.stateSha256.size(), 64u);
}

TEST(BoardFacts, MeasuredRunsTakeTheirOwnTime) {
    writeRun();
    BoardFacts facts = readBoardFacts(kRun, "b1", "/boards/b1", true, kSpeeds);
    EXPECT_NEAR(facts.run->steps[1].waits, 0.55, 1e-6);
    EXPECT_NEAR(facts.run->steps[2].total, 1.0, 1e-6);
    EXPECT_NEAR(facts.run->duration.value_or(-1), 2.0, 1e-6);
}

// A loaded machine keeps the daemon waiting for a processor: that is no wait of the board's.
TEST(BoardFacts, TheMachinesLoadIsNoWaitOfTheBoards) {
    writeRun();
    putRunFile("tmp/report-times.txt",
               "1796724000.250000 10/0 started 1 1796724000.249000\n"
               "1796724001.000000 20/300000000 started 2 1796724000.999000\n"
               "1796724002.000000 - finished 1796724001.999000\n");
    BoardFacts facts = readBoardFacts(kRun, "b1", "/boards/b1", false, kSpeeds);
    EXPECT_NEAR(facts.run->steps[1].waits, 0.35, 1e-6);
    EXPECT_NEAR(facts.run->steps[2].waits, 0.6, 1e-6);
}

TEST(BoardFacts, TellsPresetsFromTheImagesKeysAndLossesFromChanges) {
    writeRun();
    BoardFacts facts = readBoardFacts(kRun, "b1", "/boards/b1", false, kSpeeds);
    ASSERT_EQ(facts.run->keys.size(), 3u);
    EXPECT_EQ(facts.run->keys[0].key, "&0021");
    EXPECT_EQ(facts.run->keys[0].source, KeySource::Image);
    EXPECT_EQ(facts.run->keys[1].key, "&01f9");
    EXPECT_EQ(facts.run->keys[1].source, KeySource::Preset);
    EXPECT_EQ(facts.run->keys[2].before, "0001");
    EXPECT_EQ(facts.run->keys[2].after, std::nullopt);
    std::vector<std::string> etc;
    for (const EtcChange& change : facts.run->etc)
        etc.push_back(change.file +
                      (change.added  ? " +"
                       : change.loss ? " lost "
                                     : " -") +
                      change.line);
    EXPECT_EQ(etc, (std::vector<std::string>{
                       "service.txt -10001;LAN;3", "service.txt lost 10007;Board's own;12",
                       "service.txt +10001;LAN Access;3", "terminal.txt -1;default;3,12",
                       "terminal.txt +1;default;3"}));
    EXPECT_EQ(lossCount(facts), 1u);
    EXPECT_EQ(facts.run->firmwareAfter, "2114 17.3.5");
}

// A run whose image the daemon refused with these report lines before any step.
void writeRefusedRun(const std::string& reportLines) {
    writeRun();
    putRunFile("outcome", "NOK\n");
    putRunFile("tmp/peer-times.txt",
               "1796724000.000000 - AI_NOTICE (1026) param 0 text \"/x0AT0x0Do\" (10 bytes)\n"
               "1796724000.100000 0 AI_NOTICE (1026) param 2 text \"NOK\" (3 bytes)\n");
    putRunFile("tmp/report-times.txt", "1796724000.100000 0 finished 1796724000.099000\n");
    putRunFile("tmp/update.log", reportLines + "*UPDATE_FINISHED* ... NOK\n");
    std::filesystem::remove_all(kRun + "/tmp/update.d");
}

// An image the daemon refuses (here cut short) never reaches a step: its check failed.
TEST(BoardFacts, ARefusedImageFailsItsCheck) {
    writeRefusedRun("image file size 99936 not equal image data size 203136\n");
    BoardFacts facts = readBoardFacts(kRun, "b1", "/boards/b1", false, kSpeeds);
    ASSERT_EQ(facts.run->steps.size(), 1u);
    EXPECT_EQ(facts.run->steps[0].result, "NOK");
    EXPECT_EQ(facts.run->steps[0].reasons,
              std::vector<std::string>{"image file size 99936 not equal image data size 203136"});
}

// A board whose key folder holds only a key not named *.key, and whose security version
// record holds no number: the refusal, not the warning the daemon wrote before it, is the
// group's reason, and the record reads as unreadable, never as 0.
TEST(BoardFacts, TheRefusalIsTheReasonAndAnUnreadableSecurityVersionIsSaid) {
    writeRefusedRun(
        "update key folder file /etc/update-keys/makers.pub is not named *.key; ignored\n"
        "image file /tmp/image refused: key folder /etc/update-keys holds no key file (*.key)\n");
    for (const char* etc : {"before/etc/", "tmp/etc-after/"}) {
        putRunFile(std::string(etc) + "update-keys/makers.pub", "rsa-sha256 65537 00\n");
        putRunFile(std::string(etc) + "update-security-version", "two\n");
    }
    std::vector<BoardFacts> boards{readBoardFacts(kRun, "b1", "/boards/b1", false, kSpeeds)};
    const TrustFacts& trust = boards[0].run->trust;
    EXPECT_EQ(trust.verdict, "refused: key folder /etc/update-keys holds no key file (*.key)");
    EXPECT_FALSE(trust.securityBefore.has_value());
    EXPECT_FALSE(trust.securityAfter.has_value());
    const std::string changes = groupChanges(boards, {{0}, {}});
    EXPECT_NE(changes.find("; Image check: NOK (image file /tmp/image refused: key folder "
                           "/etc/update-keys holds no key file (*.key))"),
              std::string::npos)
        << changes;
    EXPECT_EQ(trustCell(trust, "unsigned"),
              "refused: key folder /etc/update-keys holds no key file (*.key)");
}

}  // namespace

// A downgrade by the version check's own rule; a version the board lacks ("not found", cut to
// the firmware's four characters) is none.
TEST(BoardFacts, ADowngradeIsAnOlderVersionNeverAMissingOne) {
    const struct {
        const char* part;
        const char* oldVersion;
        const char* newVersion;
        bool older;
    } cases[] = {
        {"Parlo Firmware", "2200", "2114 means 17.3.5", true},
        {"Parlo Firmware", "1958", "2114 means 17.3.5", false},
        {"Parlo Firmware", "not ", "2114 means 17.3.5", false},
        {"qvl Software", "2.10.0", "2.9.1", true},
        {"qvl Software", "not found", "2.1.0", false},
        {"PS-Key", "nd ", "07 S3A1", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(olderVersion(c.part, c.oldVersion, c.newVersion), c.older) << c.oldVersion;
}
