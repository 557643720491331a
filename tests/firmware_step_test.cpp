// The firmware step on the simulated board: the presets over HCI, the BCSP driver loaded, the
// DFU stand-in run as the daemon's child with its progress in the report, the presets over the
// BCCMD channel; and the whole ten-step sample update.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "core/ai_message.h"
#include "image/image_header.h"
#include "sim/flash_model.h"
#include "sim/sim_state.h"
#include "tests/support/board.h"
#include "tests/support/updates.h"
#include "tools/mkupdate/sample_update.h"

using namespace std::chrono_literals;

namespace {

const std::string kUpdateFailed = "NOK\n nothing done... try again\n*UPDATE_FINISHED* ... NOK\n";
const std::string kPpcbootNothingDone = "Update PPCBOOT:        started ... Nothing Done\n";

// The module's presets wait under alarms of 10 and 15 board seconds, the DFU program under its
// time limit, and the peer's queries count board seconds: at the slow clock, a busy machine
// alone can't make an alarm fire or a wait run out.
class SlowClockFirmwareStep : public testing::Test {
protected:
    void SetUp() override {
        writeWholeFile(simStatePath("module.baud"), "0\n");
        writeWholeFile(simStatePath("dfu.seconds"), "1\n");
    }

    // Runs an update of the firmware parts (all but those left out) with the to-do list.
    std::string runUpdate(const std::string& todo,
                          const std::set<std::string>& executables = {"dfu"}) {
        std::map<std::string, std::string> files = firmwareParts();
        files["updatetodo.txt"] = todo;
        return runImage(makeUpdateImage(files, false, executables));
    }

    std::string runImage(const mkupdate::Bytes& image) {
        return runUpdateOnBoard(daemon, peer, image, kEventCap);
    }

    // Places an update of the firmware parts with the to-do list (withLap: and the sample's
    // software image), starts the daemon and asks for the update, without waiting for its end.
    mkupdate::Bytes startUpdate(const std::string& todo, bool withLap = false) {
        std::map<std::string, std::string> files = firmwareParts();
        files["updatetodo.txt"] = todo;
        mkupdate::Bytes image = makeUpdateImage(files, withLap);
        writeWholeFile("/tmp/image", image);
        EXPECT_TRUE(startedAndAnnounced(daemon, peer));
        peer.sendRequest(REQ_START_UPDATE);
        return image;
    }

    TestPeer peer;
    SimDaemon daemon;
};

// On a module whose firmware answers the gets of keys it doesn't hold with status 0x0008.
TEST_F(SlowClockFirmwareStep, TheWholeSampleUpdateEndsOkWithEverythingInstalled) {
    writeWholeFile(simStatePath("module.unheld"), "0008\n");
    std::string error;
    auto image = mkupdate::buildSampleUpdate(PROJECT_SOURCE_PATH "/sim/sample-update", &error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(runImage(*image), "OK") << daemon.standardError();
    const std::string report = readWholeFile("/tmp/update.log");
    EXPECT_TRUE(std::regex_search(
        report, std::regex(R"(\nUpdate Parlo Firmware: started \.\.\..* percent OK\n)")))
        << "the load's progress shows until its end\n"
        << report;
    EXPECT_EQ(withoutDfuProgress(report),
              "Version Check:         started ... OK\n"
              "     part:            |     old version      |      new version      |   update ?\n"
              "   Parlo Firmware ...  1958                    2114 means 17.3.5          yes     "
              "        \n"
              "   PS-Key         ...  05 S2C4                 07 S3A1                    yes     "
              "        \n"
              "   qvl Software   ...  2.0.3                   2.1.0                      yes     "
              "        \n"
              "Read PS-Keys:          started ... OK\n"
              "Compare PS-Keys:       started ... OK\n"
              "Write diff. PS-Keys:   started ... OK\n"
              "Update Parlo Firmware: started ...OK\n"
              "Write all PS-Keys:     started ... 100 percent OK\n"
              "Update qvl Software:   started ... 100 percent OK\n"
              "Check SDP records  :   started ... OK\n"
              "Remove DFU upload:     started ... OK\n"
              "Update PPCBOOT:        started ... Nothing Done\n"
              "*UPDATE_FINISHED* ... OK\n");
    ASSERT_EQ(peer.skipped().size(), 1u);
    EXPECT_EQ(peer.skipped()[0].type, AI_TRIGGER);
    // The module runs the update's firmware (its keys: the rehearsal's report shows them).
    EXPECT_EQ(readWholeFile(simStatePath("module.firmware")), "2114 17.3.5\n");
    EXPECT_EQ(
        readWholeFile(simStatePath("insmod.log")),
        "/tmp/update.d/linabcsp_uart.o\n/tmp/update.d/bcsp.o\n/tmp/update.d/linabcsp_upChan.o\n");
    // The LAP software image in the flash, the new service records in /etc.
    ImageFile lap{};
    ASSERT_TRUE(locateImageFile(*image, 2, &lap));
    std::string flash = readWholeFile(simStatePath("flash.bin"));
    ASSERT_GE(flash.size(), 0x20000u + lap.size);
    EXPECT_TRUE(flash.substr(0x20000, lap.size) ==
                std::string(image->begin() + lap.offset, image->begin() + lap.offset + lap.size));
    EXPECT_NE(readWholeFile("/etc/service.txt").find("20004;Group Ad-hoc Network;11;"),
              std::string::npos);
    EXPECT_FALSE(fileExists("/tmp/update.d/dfu"));
    EXPECT_FALSE(fileExists("/tmp/update.d/stack.dfu"));
}

// After the firmware load the module is read over the BCCMD channel, without the HCI Reset
// (the channel carries no HCI events).
TEST_F(SlowClockFirmwareStep, AfterTheLoadTheKeysAreReadOverTheBccmdChannel) {
    const std::string store = "&01a5 = 0001\r\n&01f9 = 0003\r\n";
    writeWholeFile(simStatePath("module.psr"), store);
    EXPECT_EQ(runUpdate("BT_MOD_SET_FIRM_STACK\nBT_MOD_SET_READ\n"), "OK");
    EXPECT_EQ(withoutDfuProgress(readWholeFile("/tmp/update.log")),
              "Update Parlo Firmware: started ...OK\n"
              "Read PS-Keys:          started ... OK\n"
              "*UPDATE_FINISHED* ... OK\n");
    // The presets of both lists went through; the dump is what the module holds then.
    EXPECT_EQ(readWholeFile("/tmp/pskeydump.psr"),
              "&0191 = 1002 00a8 00fa 0014 0004 0000 0004 001e 0064 000a\r\n&01a5 = 0001\r\n"
              "&01a6 = 0001\r\n&01f9 = 0003\r\n");
    std::string trace = readWholeFile(simStatePath("module.log"));
    EXPECT_EQ(countOf(trace, "HCI Reset"), 0u) << "the presets need no reset";
    EXPECT_EQ(countOf(trace, "BCCMD GET key"), 1024u);
}

TEST_F(SlowClockFirmwareStep, AProgramThatCantBeExecutedIsAFailedLoad) {
    EXPECT_EQ(runUpdate("BT_MOD_SET_FIRM_STACK\nPPCBOOT\n", {}), "NOK");
    std::string report = readWholeFile("/tmp/update.log");
    EXPECT_NE(report.find("Execution of /tmp/update.d/dfu failed: Permission denied (13)\n"),
              std::string::npos)
        << report;
    EXPECT_TRUE(report.ends_with(kUpdateFailed)) << report;
    EXPECT_NE(daemon.standardError().find("DFU process died; status: 32512 \n"), std::string::npos);
}

// A program gone wrong may write without end: the report gets the end of its error report.
TEST_F(SlowClockFirmwareStep, AHugeErrorReportAddsItsLast4KiBAndALine) {
    writeWholeFile(simStatePath("dfu.fault"), "bigreport\n");
    EXPECT_EQ(runUpdate("BT_MOD_SET_FIRM_STACK\nPPCBOOT\n"), "NOK");
    const std::string errors = readWholeFile("/tmp/dfu_error.log");
    ASSERT_GT(errors.size(), 3u << 20);
    EXPECT_TRUE(
        errors.ends_with("dfu: download of firmware 2114 17.3.5 failed at 40 percent: too "
                         "many retries\n"));
    EXPECT_EQ(withoutDfuProgress(readWholeFile("/tmp/update.log")),
              "Update Parlo Firmware: started ...(first " + std::to_string(errors.size() - 4096) +
                  " bytes of /tmp/dfu_error.log left out)\n" + errors.substr(errors.size() - 4096) +
                  kUpdateFailed);
    EXPECT_LT(daemon.standardOutput().size(), 16384u) << "printed as copied";
}

// The processes of the board that are DFU programs (the stand-in and its sleeps) or zombies,
// leaving out the test's own children: a daemon that has ended and not yet been waited for
// is the test's zombie, not one the DFU left.
std::vector<std::string> dfuProcessesAndZombies() {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string stat = readWholeFile(entry.path().string() + "/stat");
        std::size_t open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close + 4 >= stat.size())
            continue;
        std::string name = stat.substr(open + 1, close - open - 1);
        if (std::atol(stat.c_str() + close + 4) == getpid()) continue;
        if (name == "dfu" || name == "sleep" || stat[close + 2] == 'Z') found.push_back(stat);
    }
    return found;
}

// The load ends as the fault that a file of the board's state sets makes it end: the final
// notice, the report, the firmware the module runs afterwards and a line of standard error; no
// DFU process is left.
struct LoadEnd {
    const char* name;
    const char* stateFile;
    const char* fault;
    const char* notice;
    std::string report;
    const char* firmware;  // nullptr: not the row's point
    const char* logged = "";
};

void PrintTo(const LoadEnd& row, std::ostream* out) { *out << row.name; }

const LoadEnd kLoadEnds[] = {
    {"killedBySignal", "dfu.fault", "kill 11\n", "NOK",
     "Update Parlo Firmware: started ...dfu ended by signal 11 (Segmentation fault)\n" +
         kUpdateFailed,
     "", "DFU process died; status: 11 \n"},
    // The limit of the sample's firmware file (under 1 KiB) is 61 s of the board's clock. The
    // program ignores SIGTERM, and so do its sleeps. (A progress read that the time-out's text
    // finds under way shows after it.)
    {"neverEnds", "dfu.fault", "hang\n", "NOK",
     "Update Parlo Firmware: started ...Update step timed out !!! dfu still running after its "
     "time limit of 61 s; stopped\n"
     "Update step timed out !!! dfu still running 5 s after SIGTERM; killed\n"
     "dfu ended by signal 9 (Killed)\n" +
         kUpdateFailed,
     ""},
    {"moduleAlreadyInBcspMode", "module.mode", "bcsp\n", "OK",
     "Update Parlo Firmware: started ... Update step timed out !!!...assuming BCSP -> try "
     "BCSP\nOK\n" +
         kPpcbootNothingDone + "*UPDATE_FINISHED* ... OK\n",
     "2114 17.3.5\n"},
    {"failedBcspSetup", "module.fault", "setup1\n", "NOK",
     "Update Parlo Firmware: started ...ioctl error TL interface /dev/bcspRel2: 0x05 "
     "Input/output error NOK\n" +
         kPpcbootNothingDone + "*UPDATE_FINISHED* ... NOK\n",
     nullptr},
};

class LoadFault : public SlowClockFirmwareStep, public testing::WithParamInterface<LoadEnd> {};

TEST_P(LoadFault, EndsTheUpdateAsItSays) {
    const LoadEnd& row = GetParam();
    writeWholeFile(simStatePath(row.stateFile), row.fault);
    EXPECT_EQ(runUpdate("BT_MOD_SET_FIRM_STACK\nPPCBOOT\n"), row.notice);
    EXPECT_EQ(withoutDfuProgress(readWholeFile("/tmp/update.log")), row.report);
    if (row.firmware != nullptr) {
        EXPECT_EQ(readWholeFile(simStatePath("module.firmware")), row.firmware);
    }
    EXPECT_NE(daemon.standardError().find(row.logged), std::string::npos);
    EXPECT_TRUE(eventually([] { return dfuProcessesAndZombies().empty(); }, kEventCap))
        << dfuProcessesAndZombies().front();
}

INSTANTIATE_TEST_SUITE_P(SlowClock, LoadFault, testing::ValuesIn(kLoadEnds),
                         testing::PrintToStringParamName());

// The DFU program's helper, which ignores SIGTERM, killed with its group after the grace time:
// no DFU process is left, and the kill is logged (once it was sent, which the group may not
// wait for).
void expectGroupKilledAfterTheGraceTime(const SimDaemon& daemon) {
    EXPECT_TRUE(eventually([] { return dfuProcessesAndZombies().empty(); }, kEventCap))
        << dfuProcessesAndZombies().front();
    EXPECT_TRUE(eventually(
        [&] { return countOf(daemon.standardError(), "killed after the grace time") > 0; },
        kEventCap));
}

// At its time limit the DFU program obeys SIGTERM, but the helper it started in its process
// group ignores it: the helper is killed with the group after the grace time.
TEST_F(SlowClockFirmwareStep, AHelperThatOutlivesTheDfuStoppedAtItsTimeLimitIsKilledWithItsGroup) {
    writeWholeFile(simStatePath("dfu.fault"), "orphan\n");
    EXPECT_EQ(runUpdate("BT_MOD_SET_FIRM_STACK\nPPCBOOT\n"), "NOK");
    // (A busy machine may let a progress action show the status once more after the time-out.)
    EXPECT_TRUE(std::regex_match(
        readWholeFile("/tmp/update.log"),
        std::regex(R"(Update Parlo Firmware: started \.\.\.  40 percent Update step timed out )"
                   R"(!!!(  40 percent )? dfu still running after its time limit of 61 s; )"
                   R"(stopped\ndfu ended by signal 15 \(Terminated\)\n)"
                   R"(NOK\n nothing done\.\.\. try again\n\*UPDATE_FINISHED\* \.\.\. NOK\n)")))
        << readWholeFile("/tmp/update.log");
    // The final notice comes as the program ends; the grace time runs on after it.
    expectGroupKilledAfterTheGraceTime(daemon);
    EXPECT_EQ(readWholeFile(simStatePath("module.firmware")), "");
}

// At its end the DFU program leaves a helper behind in its process group, which ignores
// SIGTERM: the helper is killed with the group after the grace time, and the group's record
// goes with it. (A helper in a session of its own is out of the group's reach.)
TEST_F(SlowClockFirmwareStep, AHelperLeftBehindAtANormalEndIsKilledWithItsGroup) {
    writeWholeFile(simStatePath("dfu.fault"), "linger\n");
    EXPECT_EQ(runUpdate("BT_MOD_SET_FIRM_STACK\n"), "OK");
    expectGroupKilledAfterTheGraceTime(daemon);
    EXPECT_NE(daemon.standardError().find("dfu left processes behind; stopped\n"),
              std::string::npos);
    // (Removed once the kill is sent, after its log line.)
    EXPECT_TRUE(eventually([] { return !fileExists("/tmp/dfu_group.run"); }, kEventCap));
}

// A failed load ends the update "NOK" with the DFU program's error report; a peer that queries
// every 4 s meanwhile keeps no time-out from coming, and the update ends in its time.
TEST_F(SlowClockFirmwareStep, AFailedLoadEndsTheUpdateNokInItsTimeWhateverThePeerAsks) {
    writeWholeFile(simStatePath("dfu.fault"), "fail\n");
    startUpdate("BT_MOD_SET_FIRM_STACK\nPPCBOOT\n");
    std::optional<ReceivedRecord> finished;
    for (int i = 0; i < 15 && !finished; ++i) {
        peer.sendRequest(REQ_QUERY);
        finished = peer.awaitRecord(AI_NOTICE, 2, onBoard(4s));
    }
    ASSERT_TRUE(finished) << "no final notice within 60 s\n" << daemon.standardError();
    EXPECT_EQ(finished->text, "NOK");
    EXPECT_EQ(withoutDfuProgress(readWholeFile("/tmp/update.log")),
              "Update Parlo Firmware: started ...dfu: download of firmware 2114 17.3.5 failed at "
              "40 percent: the module does not answer\n"
              "NOK\n nothing done... try again\n"
              "*UPDATE_FINISHED* ... NOK\n");
    EXPECT_NE(daemon.standardOutput().find("dfu: download of firmware 2114 17.3.5 failed"),
              std::string::npos)
        << "the error report is printed";
    EXPECT_EQ(readWholeFile(simStatePath("module.firmware")), "");
}

// Only the image accepted at the start goes into the flash: one put in its place during the
// update ends the software step "NOK" with the flash untouched, unless it is the same bytes.
struct ReplacedImage {
    const char* name;
    bool sameBytes;
    const char* notice;
};

class ImageReplacedDuringTheLoad : public SlowClockFirmwareStep,
                                   public testing::WithParamInterface<ReplacedImage> {};

TEST_P(ImageReplacedDuringTheLoad, OnlyTheAcceptedImageIsWritten) {
    writeWholeFile(simStatePath("dfu.seconds"), "2\n");
    const std::string oldFlash = seedOldFlash();
    const mkupdate::Bytes accepted = startUpdate("BT_MOD_SET_FIRM_STACK\nLAP_SOFTWARE\n", true);
    ASSERT_TRUE(eventually(
        [&] { return daemon.standardError().find("dfu started with pid") != std::string::npos; },
        kEventCap));
    std::map<std::string, std::string> another = firmwareParts();
    another["updatetodo.txt"] = "LAP_SOFTWARE\n";
    writeWholeFile("/tmp/replacement", GetParam().sameBytes ? accepted : makeUpdateImage(another));
    ASSERT_EQ(std::rename("/tmp/replacement", "/tmp/image"), 0);
    auto finished = peer.awaitRecord(AI_NOTICE, 2, kEventCap);
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->text, GetParam().notice);
    const std::string flash = readWholeFile(simStatePath(kFlashContentsFile));
    const std::string report = readWholeFile("/tmp/update.log");
    if (GetParam().sameBytes) {
        const mkupdate::Bytes lap = sampleLapImage();
        EXPECT_TRUE(flash == flashWithLap(oldFlash, std::string(lap.begin(), lap.end()))) << report;
    } else {
        EXPECT_TRUE(flash == oldFlash);
        EXPECT_TRUE(report.ends_with(
            "Update qvl Software:   started ... image file /tmp/image changed since it was "
            "received; flash untouched\n NOK\n*UPDATE_FINISHED* ... NOK\n"))
            << report;
    }
}

INSTANTIATE_TEST_SUITE_P(SlowClock, ImageReplacedDuringTheLoad,
                         testing::Values(ReplacedImage{"another", false, "NOK"},
                                         ReplacedImage{"copy", true, "OK"}),
                         [](const auto& test) { return std::string(test.param.name); });

// A stop request during the load: the peer hears "NOK" before the stop's wait; the DFU program
// obeys SIGTERM, but the helper it started ignores it and is killed with its group after the
// grace time; then the stop goes on (30 s, its reply, the exit).
TEST_F(SlowClockFirmwareStep, AStopDuringTheLoadEndsTheUpdateAndTheDfusWholeGroup) {
    writeWholeFile(simStatePath("dfu.fault"), "orphan\n");
    startUpdate("BT_MOD_SET_FIRM_STACK\nPPCBOOT\n");
    ASSERT_TRUE(eventually([] { return readWholeFile("/tmp/dfu_status.log").starts_with("  40"); },
                           kEventCap));
    ASSERT_TRUE(eventually([] { return dfuProcessesAndZombies().size() >= 4; }, kEventCap))
        << "the program, its helper and their sleeps";
    peer.sendRequest(REQ_STOP);
    // (The daemon reads the request after its progress pauses of 3 s.)
    auto finished = peer.awaitRecord(AI_NOTICE, 2, kEventCap);
    ASSERT_TRUE(finished) << daemon.standardError();
    EXPECT_EQ(finished->text, "NOK");
    EXPECT_TRUE(eventually([] { return dfuProcessesAndZombies().empty(); }, kEventCap))
        << dfuProcessesAndZombies().front();
    auto reply = peer.awaitRecord(AI_REPLY, 3, kEventCap);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->text, "b");
    std::optional<int> status = daemon.waitExit(kEventCap);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 0);
    EXPECT_EQ(withoutDfuProgress(readWholeFile("/tmp/update.log")),
              "Update Parlo Firmware: started ... dfu stopped: the daemon stops\n"
              "update ended by a stop request \n NOK\n"
              "*UPDATE_FINISHED* ... NOK\nExit because stopped !!\n");
    EXPECT_NE(daemon.standardError().find("killed after the grace time"), std::string::npos);
}

// Nobody else can end the DFU's run or start a second one beside it: a forged end and a
// forged wake-up from another socket, and a second start request, change nothing.
TEST_F(SlowClockFirmwareStep, ForgedEndsAndASecondStartDuringTheLoadChangeNothing) {
    writeWholeFile(simStatePath("dfu.seconds"), "4\n");
    startUpdate("BT_MOD_SET_FIRM_STACK\nPPCBOOT\n");
    ASSERT_TRUE(eventually(
        [&] { return daemon.standardError().find("dfu started with pid") != std::string::npos; },
        kEventCap));
    const std::string startLog = daemon.standardError();
    std::smatch started;
    ASSERT_TRUE(std::regex_search(startLog, started, std::regex("dfu started with pid (\\d+);")));
    const std::int32_t dfu = std::stoi(started[1]);
    // (The daemon makes the file before the program starts; the program writes it.)
    ASSERT_TRUE(
        eventually([] { return !readWholeFile("/tmp/dfu_status.log").empty(); }, kEventCap));

    {
        TestPeer stranger("/tmp/stranger");
        AiMessage end = makeHeaderFrame(AI_CHILD_EXIT, dfu, kAiChildExitSize);
        AiMessage wakeUp = makeHeaderFrame(AI_TRIGGER, WAKE_UP, kAiHeaderSize);
        for (const AiMessage& forged : {end, wakeUp}) stranger.sendRaw(&forged, forged.length);
    }
    peer.sendRequest(REQ_START_UPDATE);

    auto finished = peer.awaitRecord(AI_NOTICE, 2, kEventCap);
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->text, "OK");
    EXPECT_FALSE(peer.receive(onBoard(2s))) << "one final notice";
    const std::string err = daemon.standardError();
    EXPECT_EQ(countOf(err, "dfu started with pid"), 1u) << err;
    EXPECT_EQ(countOf(err, "DFU process died; status: 0 \n"), 1u) << err;
    EXPECT_EQ(countOf(err, "update under way; start request ignored\n"), 1u);
    // The second start is refused at once, as an image that can't be taken is.
    ASSERT_EQ(peer.skipped().size(), 1u);
    EXPECT_EQ(peer.skipped()[0].type, AI_REPLY);
    EXPECT_EQ(peer.skipped()[0].param, 1);
    EXPECT_EQ(peer.skipped()[0].bytes[12], 3);
    EXPECT_EQ(peer.skipped()[0].text, std::string("OK", 3));
    // The report has the forgeries; without them it is that of an update left alone.
    std::string report = readWholeFile("/tmp/update.log");
    const std::string forgedEnd =
        "message 12 " + std::to_string(dfu) + " from unknown sender dropped \n";
    const std::string forgedWakeUp = "message 768 10 from unknown sender dropped \n";
    ASSERT_EQ(countOf(report, forgedEnd), 1u) << report;
    ASSERT_EQ(countOf(report, forgedWakeUp), 1u) << report;
    report.erase(report.find(forgedEnd), forgedEnd.size());
    report.erase(report.find(forgedWakeUp), forgedWakeUp.size());
    EXPECT_EQ(withoutDfuProgress(report),
              "Update Parlo Firmware: started ...OK\n"
              "Update PPCBOOT:        started ... Nothing Done\n"
              "*UPDATE_FINISHED* ... OK\n");
    EXPECT_EQ(readWholeFile(simStatePath("module.firmware")), "2114 17.3.5\n");
}

// A second update of the firmware in the same process loads its firmware too; the BCSP driver
// stays loaded from the first.
TEST_F(SlowClockFirmwareStep, ASecondFirmwareUpdateLoadsItsFirmwareAgain) {
    EXPECT_EQ(runUpdate("BT_MOD_SET_FIRM_STACK\n"), "OK");
    writeWholeFile(simStatePath("module.firmware"), "1958 16.4.0\n");
    std::map<std::string, std::string> files = firmwareParts();
    files["updatetodo.txt"] = "BT_MOD_SET_FIRM_STACK\n";
    writeWholeFile("/tmp/image", makeUpdateImage(files, false));
    peer.sendRequest(REQ_START_UPDATE);
    auto finished = peer.awaitRecord(AI_NOTICE, 2, kEventCap);
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->text, "OK");
    EXPECT_EQ(withoutDfuProgress(readWholeFile("/tmp/update.log")),
              "Update Parlo Firmware: started ...OK\n"
              "*UPDATE_FINISHED* ... OK\n"
              "Update Parlo Firmware: started ...OK\n"
              "*UPDATE_FINISHED* ... OK\n");
    EXPECT_EQ(readWholeFile(simStatePath("module.firmware")), "2114 17.3.5\n");
    EXPECT_EQ(countOf(daemon.standardError(), "DFU process died; status: 0 \n"), 2u);
    EXPECT_EQ(countOf(readWholeFile(simStatePath("insmod.log")), "\n"), 3u) << "loaded once";
}

}  // namespace
