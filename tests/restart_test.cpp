// The daemon killed (SIGKILL) at several points of the sample update (its steps that don't
// involve the module), started again, and the update run again: it ends OK, with the LAP
// software image in the flash and the merged service records in /etc, whatever the killed run
// left behind. And the restarts that meet what a killed run left of the module's work: the
// BCSP driver loaded, a DFU program still running.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>

#include "core/ai_message.h"
#include "sim/flash_model.h"
#include "sim/sim_state.h"
#include "tests/support/board.h"
#include "tests/support/updates.h"
#include "tools/common/image_builder.h"
#include "tools/mkupdate/sample_update.h"

using namespace std::chrono_literals;

namespace {

struct KillPoint {
    const char* name;
    // A board command that kills the daemon when its arguments match (its test's stand-in),
    // or none: the daemon is killed while the flash holds its second erase.
    const char* command;
    const char* condition;  // shell test over the command's arguments
    // What the killed run has left behind, given the flash as the update leaves it.
    void (*leftBehind)(const std::string& updatedFlash);
};

void PrintTo(const KillPoint& point, std::ostream* out) { *out << point.name; }

// The unpack folders in /tmp ("update.d.XXXXXX").
std::size_t stagingFolders() {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/tmp"))
        if (entry.path().filename().string().starts_with("update.d.")) ++count;
    return count;
}

// A file of /etc as the board's fixture holds it before any update.
std::string boardFixture(const std::string& name) {
    return readWholeFile(PROJECT_SOURCE_PATH "/sim/board/etc/" + name);
}

std::string flashNow() { return readWholeFile(simStatePath(kFlashContentsFile)); }

const KillPoint kKillPoints[] = {
    {"whileUnpacking", "gunzip", "true",
     [](const std::string&) { EXPECT_FALSE(fileExists("/tmp/update.d/updatetodo.txt")); }},
    // The unpack folder that the killed run made stays: the next reception removes it.
    {"whileUntarring", "tar", "true", [](const std::string&) { EXPECT_EQ(stagingFolders(), 1u); }},
    {"whileWritingTheFlash", nullptr, nullptr,
     [](const std::string& updated) {
         EXPECT_TRUE(flashNow().compare(0, 0x30000, updated, 0, 0x30000) == 0);
         EXPECT_FALSE(flashNow() == updated);
     }},
    {"afterWritingTheFlash", "rm", "[ \"$1\" = /tmp/image ]",
     [](const std::string& updated) { EXPECT_TRUE(flashNow() == updated); }},
    // The terminal entries are rewritten, the service records not yet.
    {"betweenTheSdpCopies", "cp", "[ \"$2\" = /etc/service.txt.new ]",
     [](const std::string&) {
         EXPECT_EQ(readWholeFile("/etc/terminal.txt"), kSampleMergedTerminal);
         EXPECT_EQ(readWholeFile("/etc/service.txt"), boardFixture("service.txt"));
     }},
    // The copy of the service records is cut short: what is cut is only the new name's, and
    // the records at their own name are whole.
    {"inTheServiceRecordsCopy", "cp",
     "[ \"$2\" = /etc/service.txt.new ] && head -c 20 \"$1\" > \"$2\"",
     [](const std::string&) {
         EXPECT_EQ(readWholeFile("/etc/service.txt.new"), kSampleMergedService.substr(0, 20));
         EXPECT_EQ(readWholeFile("/etc/service.txt"), boardFixture("service.txt"));
     }},
};

void installKillingCommand(const KillPoint& point, pid_t daemon) {
    mkdir("/tmp/testbin", 0755);
    const std::string path = std::string("/tmp/testbin/-") + point.command;
    writeWholeFile(path, std::string("#!/bin/sh\nif ") + point.condition + "; then kill -KILL " +
                             std::to_string(daemon) + "; sleep 5; exit 1; fi\nexec " +
                             point.command + " \"$@\"\n");
    chmod(path.c_str(), 0755);
}

class KilledAndRestarted : public testing::TestWithParam<KillPoint> {};

TEST_P(KilledAndRestarted, TheUpdateRunAgainEndsOk) {
    const KillPoint& point = GetParam();
    // (A module left in BCSP mode by a killed run would need the board restarted, which the
    // daemon never does.)
    const mkupdate::Bytes image = sampleUpdateWithoutModule();
    ASSERT_FALSE(image.empty());
    const mkupdate::ListedFile lap = mkupdate::inspectImage(image).files.at(2);
    const std::string oldFlash = seedOldFlash();
    const std::string updatedFlash = flashWithLap(oldFlash, listedFileBytes(image, lap));
    if (point.command == nullptr) writeWholeFile(simStatePath(kFlashFaultFile), "hold 1");
    writeWholeFile("/tmp/image", image);

    TestPeer peer;
    SimDaemon daemon;
    daemon.start("/tmp/testbin");
    if (point.command != nullptr) installKillingCommand(point, daemon.pid());
    ASSERT_TRUE(peer.awaitRecord(AI_NOTICE, 0, kEventCap));
    peer.sendRequest(REQ_START_UPDATE);
    if (point.command == nullptr) {
        // The first sector is written, the second one's erase waits.
        ASSERT_TRUE(eventually(
            [] { return readWholeFile("/tmp/update.log").ends_with(" 32 percent "); }, kEventCap));
        daemon.signal(SIGKILL);
    }
    auto status = daemon.waitExit(kEventCap);
    ASSERT_TRUE(status) << daemon.standardError();
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL);
    point.leftBehind(updatedFlash);
    writeWholeFile(simStatePath(kFlashFaultFile), "");

    // The peer places the image once more and asks again.
    writeWholeFile("/tmp/image", image);
    ASSERT_TRUE(startedAndAnnounced(daemon, peer));
    peer.sendRequest(REQ_START_UPDATE);
    auto finished = peer.awaitRecord(AI_NOTICE, 2, kEventCap);
    ASSERT_TRUE(finished) << daemon.standardError();
    EXPECT_EQ(finished->text, "OK");
    const std::string report = readWholeFile("/tmp/update.log");
    EXPECT_EQ(report.rfind("Version Check:         started ... OK\n", 0), 0u) << report;
    EXPECT_TRUE(
        report.ends_with("Update qvl Software:   started ... 100 percent OK\n"
                         "Check SDP records  :   started ... OK\n"
                         "Remove DFU upload:     started ... OK\n"
                         "Update PPCBOOT:        started ... Nothing Done\n"
                         "*UPDATE_FINISHED* ... OK\n"))
        << report;
    const std::string lapBytes = listedFileBytes(image, lap);
    EXPECT_TRUE(readWholeFile(simStatePath(kFlashContentsFile)) ==
                flashWithLap(oldFlash, lapBytes));
    EXPECT_EQ(readWholeFile("/etc/service.txt"), kSampleMergedService);
    EXPECT_EQ(readWholeFile("/etc/terminal.txt"), kSampleMergedTerminal);
    EXPECT_FALSE(fileExists("/etc/service.txt.new"));
    EXPECT_FALSE(fileExists("/etc/terminal.txt.new"));
    EXPECT_EQ(stagingFolders(), 0u);
}

INSTANTIATE_TEST_SUITE_P(SampleUpdate, KilledAndRestarted, testing::ValuesIn(kKillPoints),
                         testing::PrintToStringParamName());

}  // namespace

namespace {

// The module's answers come at once and the DFU stand-in takes a board second, at the slow
// clock: a busy machine alone can't make an alarm of the module steps fire.
class SlowClockRestart : public testing::Test {
protected:
    void SetUp() override {
        writeWholeFile(simStatePath("module.baud"), "0\n");
        writeWholeFile(simStatePath("dfu.seconds"), "1\n");
    }

    mkupdate::Bytes firmwareUpdate(const std::string& todo) {
        std::map<std::string, std::string> files = firmwareParts();
        files["updatetodo.txt"] = todo;
        return makeUpdateImage(files, false);
    }

    TestPeer peer;
    SimDaemon daemon;
};

bool groupAlive(pid_t group) { return kill(-group, 0) == 0; }

// The daemon crashes while its DFU program loads the module; the program obeys SIGTERM, the
// helper it started ignores it. The daemon started again stops that group before it does
// anything else: the rerun's DFU program (which fails when it finds another one running) loads
// the firmware, and the update ends OK.
TEST_F(SlowClockRestart, ACrashDuringTheLoadLeavesNoSecondDfuBesideTheNext) {
    writeWholeFile(simStatePath("dfu.fault"), "orphan\n");
    const mkupdate::Bytes image = firmwareUpdate("BT_MOD_SET_FIRM_STACK\nBT_MOD_SET_READ\n");
    writeWholeFile("/tmp/image", image);
    ASSERT_TRUE(startedAndAnnounced(daemon, peer));
    peer.sendRequest(REQ_START_UPDATE);
    ASSERT_TRUE(eventually([] { return readWholeFile("/tmp/dfu_status.log").starts_with("  40"); },
                           kEventCap))
        << daemon.standardError();
    const pid_t group = std::atoi(readWholeFile("/tmp/dfu_group.run").c_str());
    ASSERT_NE(daemon.standardError().find("dfu started with pid " + std::to_string(group) + ";"),
              std::string::npos);
    daemon.kill();
    ASSERT_TRUE(groupAlive(group));
    writeWholeFile(simStatePath("dfu.fault"), "");

    EXPECT_EQ(runUpdateOnBoard(daemon, peer, image, kEventCap), "OK") << daemon.standardError();
    const std::string log = daemon.standardError();
    const std::size_t stopped =
        log.find("process group " + std::to_string(group) + " of an earlier run stopped\n");
    EXPECT_LT(stopped, log.find("dfu started with pid")) << log;
    EXPECT_TRUE(eventually([&] { return !groupAlive(group); }, kEventCap));
    EXPECT_EQ(withoutDfuProgress(readWholeFile("/tmp/update.log")),
              "Update Parlo Firmware: started ...OK\n"
              "Read PS-Keys:          started ... OK\n"
              "*UPDATE_FINISHED* ... OK\n");
    EXPECT_EQ(readWholeFile(simStatePath("module.firmware")), "2114 17.3.5\n");
    EXPECT_FALSE(fileExists("/tmp/dfu_group.run"));
}

}  // namespace
