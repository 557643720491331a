// The PS-Key steps of an update against the simulated module: the module's keys read into the
// dump, compared with the update's, the differing ones and then all of them written.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <string>
#include <vector>

#include "core/ai_message.h"
#include "sim/sim_state.h"
#include "tests/support/board.h"
#include "tests/support/updates.h"
#include "tools/mkupdate/update_build.h"

using namespace std::chrono_literals;

namespace {

std::string crlf(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

// Every exchange with the module waits under an alarm of 5 to 30 board seconds: at the slow
// clock, a busy machine alone can't make one fire.
class SlowClockPsKeySteps : public testing::Test {
protected:
    void SetUp() override {
        writeWholeFile(simStatePath("module.baud"), "0\n");
        writeWholeFile(simStatePath("module.psr"), kModuleStoreBefore);
    }

    // Runs an update of the sample's PS-Keys with the to-do list; the final notice.
    std::string runUpdate(const std::string& todo, std::chrono::seconds limit = kEventCap) {
        return runUpdateOnBoard(
            daemon, peer,
            makeUpdateImage({{"updatetodo.txt", todo},
                             {"pskeyorig.psr", readWholeFile(kSampleParts + "pskeyorig.psr")}},
                            false),
            limit);
    }

    TestPeer peer;
    SimDaemon daemon;
};

TEST_F(SlowClockPsKeySteps, ReadCompareAndWriteBringTheModuleTheUpdatesKeys) {
    EXPECT_EQ(runUpdate("BT_MOD_SET_READ\nBT_MOD_SET_COMP\nBT_MOD_SET_NEW_WRITE\n"
                        "BT_MOD_SET_ALL_WRITE\n"),
              "OK")
        << daemon.standardError();
    EXPECT_EQ(readWholeFile("/tmp/update.log"),
              "Read PS-Keys:          started ... OK\n"
              "Compare PS-Keys:       started ... OK\n"
              "Write diff. PS-Keys:   started ... OK\n"
              "Write all PS-Keys:     started ... 100 percent OK\n"
              "*UPDATE_FINISHED* ... OK\n");

    // The dump is the module's store as it was, read-only for everybody.
    EXPECT_EQ(readWholeFile("/tmp/pskeydump.psr"), kModuleStoreBefore);
    struct stat dump {};
    ASSERT_EQ(stat("/tmp/pskeydump.psr", &dump), 0);
    EXPECT_EQ(dump.st_mode & 07777, 0444u);
    EXPECT_EQ(countOf(readWholeFile(simStatePath("module.log")), "BCCMD GET key"), 1024u);

    // Smaller dump keys are reported before each update key; a key missing from the dump
    // makes the comparison start the dump again from its beginning.
    EXPECT_EQ(
        readWholeFile("/tmp/pskeycomp.psr"),
        crlf({"<<&0017 = 0007", ">>&0021 = 0006", "<<&0021 = 0004", ">>&0108 = 5442 4c2d 5041 2032",
              "<<&0108 = 5442 4c2d 5041", ">>&01f9 = 0001", "<<&01f9 = 0003", ">>&0220 = 7d00",
              "<<&0003 = 0300 0002", "<<&0017 = 0007", "<<&0021 = 0004", "<<&0108 = 5442 4c2d 5041",
              "<<&01be = 01d8", "<<&01f9 = 0003", "<<&025f =", ">>&02a4 = 3353 3141",
              "<<&02a4 = 3253 3443 5320 5445 5020 4c52 4d2d 2032 5748 3330",
              ">>&02a5 = 5250 464c 2057 3731 332e 352e 3220 3131 2034 3730",
              "<<&02a5 = 5250 464c 2057 3631 342e 302e 3120 3539 2038 3530"}));
    const std::string toSet =
        crlf({"&0021 = 0006", "&0108 = 5442 4c2d 5041 2032", "&01f9 = 0001", "&0220 = 7d00",
              "&02a4 = 3353 3141", "&02a5 = 5250 464c 2057 3731 332e 352e 3220 3131 2034 3730"});
    EXPECT_EQ(readWholeFile("/tmp/pskeytoset.psr"), toSet);

    // The write step sends exactly the differing keys, the write-all step every key.
    EXPECT_EQ(moduleKeysSet(),
              (std::vector<std::string>{"0021", "0108", "01f9", "0220", "02a4", "02a5", "0003",
                                        "0021", "0108", "01be", "01f9", "0220", "02a4", "02a5"}));
    static const std::regex round(R"(writing  \d{4} PS Key; missing \d{8} Keys; +(\d+)%\n)");
    EXPECT_EQ(firstGroups(daemon.standardError(), round),
              (std::vector<std::string>{"0", "12", "25", "37", "50", "62", "75", "87", "100"}));
    EXPECT_NE(daemon.standardOutput().find("8 PS-Keys to write\n"), std::string::npos);

    EXPECT_EQ(
        readWholeFile(simStatePath("module.psr")),
        crlf({"&0003 = 0300 0002", "&0017 = 0007", "&0021 = 0006", "&0108 = 5442 4c2d 5041 2032",
              "&01be = 01d8", "&01f9 = 0001", "&0220 = 7d00", "&025f =", "&02a4 = 3353 3141",
              "&02a5 = 5250 464c 2057 3731 332e 352e 3220 3131 2034 3730"}));
}

// The image tool's read-only update captures a board's keys: the dump is the module's store,
// and no key is set.
TEST_F(SlowClockPsKeySteps, ReadOnlyUpdateLeavesTheModulesStoreInTheDumpAndTheModuleAsItWas) {
    mkupdate::UpdateDescription readOnly;
    readOnly.steps = std::vector<std::string>{"BT_MOD_SET_READ"};
    std::vector<std::string> faults;
    auto image = mkupdate::buildUpdate(readOnly, &faults);
    ASSERT_TRUE(image) << faults.front();
    EXPECT_EQ(runUpdateOnBoard(daemon, peer, *image, kEventCap), "OK") << daemon.standardError();
    EXPECT_EQ(readWholeFile("/tmp/update.log"),
              "Read PS-Keys:          started ... OK\n*UPDATE_FINISHED* ... OK\n");
    EXPECT_EQ(readWholeFile("/tmp/pskeydump.psr"), kModuleStoreBefore);
    EXPECT_EQ(readWholeFile(simStatePath("module.psr")), kModuleStoreBefore);
    EXPECT_EQ(countOf(readWholeFile(simStatePath("module.log")), "BCCMD SET"), 0u);
}

// A module that refuses two of the differing keys: the step goes on to the last key and names
// both refused keys, so that a board refusing one of them doesn't read the same.
TEST_F(SlowClockPsKeySteps, TheWriteStepNamesEveryKeyTheModuleRefused) {
    writeWholeFile(simStatePath("module.refuses"), "&0021 &0108\n");
    EXPECT_EQ(runUpdate("BT_MOD_SET_READ\nBT_MOD_SET_COMP\nBT_MOD_SET_NEW_WRITE\n"), "NOK");
    EXPECT_EQ(moduleKeysSet(),
              (std::vector<std::string>{"0021", "0108", "01f9", "0220", "02a4", "02a5"}));
    const std::string report = readWholeFile("/tmp/update.log");
    EXPECT_NE(report.find("Write diff. PS-Keys:   started ... BCCMD set of PS-Key 0x0021 refused: "
                          "status 0x0008 \n"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("BCCMD set refused for 2 PS-Keys: 0x0021 0x0108 \n"), std::string::npos)
        << report;
}

// A second run of the write-all step shows its own percentages.
TEST_F(SlowClockPsKeySteps, EachRunOfTheWriteAllStepCountsItsOwnKeys) {
    EXPECT_EQ(runUpdate("BT_MOD_SET_ALL_WRITE\nBT_MOD_SET_ALL_WRITE\n"), "OK");
    EXPECT_EQ(readWholeFile("/tmp/update.log"),
              "Write all PS-Keys:     started ... 100 percent OK\n"
              "Write all PS-Keys:     started ... 100 percent OK\n"
              "*UPDATE_FINISHED* ... OK\n");
    std::string err = daemon.standardError();
    EXPECT_EQ(countOf(err, "writing  0000 PS Key; missing 00000008 Keys;   0%\n"), 2u);
    EXPECT_EQ(countOf(err, "writing  0004 PS Key; missing 00000004 Keys;  50%\n"), 2u);
}

// A stop request while the differing keys are written: the peer hears at once that the update
// didn't finish, the module keeps the keys written so far, and the stop goes on as always.
TEST_F(SlowClockPsKeySteps, AStopDuringTheWriteEndsTheUpdateNokBeforeTheStopsReply) {
    std::string keys;
    for (unsigned id = 0; id < 0x400; ++id) {
        char line[32];
        std::snprintf(line, sizeof line, "&%04x = %04x\r\n", id, 0xbeef ^ id);
        keys += line;
    }
    writeWholeFile("/tmp/image", makeUpdateImage({{"updatetodo.txt",
                                                   "BT_MOD_SET_READ\nBT_MOD_SET_COMP\n"
                                                   "BT_MOD_SET_NEW_WRITE\nPPCBOOT\n"},
                                                  {"pskeyorig.psr", keys}},
                                                 false));
    ASSERT_TRUE(startedAndAnnounced(daemon, peer));
    peer.sendRequest(REQ_START_UPDATE);
    ASSERT_TRUE(eventually(
        [] { return readWholeFile("/tmp/update.log").find("Write diff.") != std::string::npos; },
        kEventCap));
    // A slow line from here on: the 1024 keys would take minutes.
    writeWholeFile(simStatePath("module.baud"), "2400\n");
    // (A count rather than keysSet's regex over the whole trace, which is slow under the
    // emulator; the write's end is minutes away.)
    ASSERT_TRUE(eventually(
        [] { return countOf(readWholeFile(simStatePath("module.log")), "BCCMD SET key") >= 3; },
        kEventCap))
        << daemon.standardError();
    peer.sendRequest(REQ_STOP);
    auto finished = peer.awaitRecord(AI_NOTICE, 2, kEventCap);
    ASSERT_TRUE(finished) << daemon.standardError();
    EXPECT_EQ(finished->text, "NOK");
    // The report ends the update by the notice; the stop's own line follows after its wait,
    // which a loaded emulator may have let pass already.
    const std::string ended =
        "Read PS-Keys:          started ... OK\n"
        "Compare PS-Keys:       started ... OK\n"
        "Write diff. PS-Keys:   started ... update ended by a stop request \n NOK\n"
        "*UPDATE_FINISHED* ... NOK\n";
    EXPECT_EQ(readWholeFile("/tmp/update.log").substr(0, ended.size()), ended);
    const std::size_t written = moduleKeysSet().size();
    EXPECT_LT(written, 1024u) << "the update was stopped before its end";
    auto reply = peer.awaitRecord(AI_REPLY, 3, kEventCap);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->text, "b");
    EXPECT_TRUE(peer.skipped().empty());
    std::optional<int> status = daemon.waitExit(kEventCap);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 0);
    EXPECT_EQ(readWholeFile("/tmp/update.log"), ended + "Exit because stopped !!\n");
    EXPECT_EQ(moduleKeysSet().size(), written) << "nothing more was written";
}

// The board's devices that don't open (the module's own faults are the fault table's).
struct FaultCase {
    const char* fault;
    const char* todo;
    const char* notice;
    const char* report;
};

class PsKeyStepFaults : public SlowClockPsKeySteps,
                        public testing::WithParamInterface<FaultCase> {};

TEST_P(PsKeyStepFaults, EndAsTheModuleAnswered) {
    const FaultCase& c = GetParam();
    writeWholeFile(simStatePath("module.fault"), c.fault);
    EXPECT_EQ(runUpdate(c.todo), c.notice) << daemon.standardError();
    EXPECT_EQ(readWholeFile("/tmp/update.log"), c.report);
}

INSTANTIATE_TEST_SUITE_P(
    SlowClock, PsKeyStepFaults,
    testing::Values(
        // Without the board device the module isn't reset; the step goes on.
        FaultCase{"missing-etxhwif\n", "BT_MOD_SET_READ\n", "OK",
                  "Read PS-Keys:          started ... open error ETX device No such file or "
                  "directoryOK\n*UPDATE_FINISHED* ... OK\n"},
        // Without the HCI device nothing reaches the module.
        FaultCase{"missing-cfUaB0\n", "BT_MOD_SET_READ\n", "NOK",
                  "Read PS-Keys:          started ... open error TL interface /dev/cfUaB0: 0x02 "
                  "No such file or directoryBT_module_write_error no TL interface open, 4 bytes "
                  "not sent \nUpdate step timed out !!!try to close not openen /dev/cfUaB0 NOK\n"
                  "*UPDATE_FINISHED* ... NOK\n"}),
    [](const testing::TestParamInfo<FaultCase>& test) {
        std::string name = test.param.fault;
        std::string clean;
        for (char c : name)
            if (std::isalnum(static_cast<unsigned char>(c))) clean += c;
        return clean;
    });

}  // namespace
