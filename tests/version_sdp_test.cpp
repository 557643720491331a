// Steps CHECK_VERSIONS and CHECK_SDP of an update on the simulated board: the version table
// in the update report, the merged service records, the rewritten terminal entries and the
// trigger to the peer.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "core/ai_message.h"
#include "tests/support/board.h"
#include "tools/mkupdate/image_builder.h"
#include "tools/mkupdate/update_archive.h"

using namespace std::chrono_literals;

namespace {

const std::string kSampleFolder = PROJECT_SOURCE_PATH "/sim/sample-update/update.d/";
constexpr const char* kHeader =
    "OK\n     part:            |     old version      |      new version      |   update ?";

std::string column(std::string text, std::size_t width) {
    text.resize(width, ' ');
    return text;
}
std::string row(const std::string& label, const std::string& oldValue, const std::string& newValue,
                bool update) {
    return "\n   " + column(label, 19) + " " + column(oldValue, 23) + " " + column(newValue, 22) +
           " " + column(update ? "    yes" : "    no", 20);
}
std::string stepLine(const std::string& label) { return column(label, 22) + " started ... "; }

// Places an update image at /tmp/image whose update.d holds the files given.
void placeUpdate(const std::vector<std::pair<std::string, std::string>>& files) {
    mkdir("/tmp/made", 0755);
    mkdir("/tmp/made/update.d", 0755);
    for (const auto& [name, content] : files) writeWholeFile("/tmp/made/update.d/" + name, content);
    std::string error;
    auto archive = mkupdate::packUpdateFolder("/tmp/made/update.d", &error);
    ASSERT_TRUE(archive) << error;
    const std::string note = "steps 1 and 8\n";
    std::vector<mkupdate::Bytes> parts{mkupdate::Bytes(note.begin(), note.end()), *archive};
    auto image = mkupdate::buildMultiImage(parts, "version and SDP check", &error);
    ASSERT_TRUE(image) << error;
    writeWholeFile("/tmp/image", *image);
}

struct UpdateRun {
    std::vector<ReceivedRecord> beforeFinal;  // what the peer got between start and the end
    std::optional<ReceivedRecord> final;
};

// Starts the daemon, waits for its start-up notice, starts the update and waits for the
// final notice.
UpdateRun runUpdate(SimDaemon& daemon, TestPeer& peer) {
    UpdateRun run;
    daemon.start();
    if (!peer.awaitRecord(AI_NOTICE, 0, 20s)) {
        ADD_FAILURE() << "no start-up notice\n" << daemon.standardError();
        return run;
    }
    std::size_t before = peer.skipped().size();
    peer.sendRequest(REQ_START_UPDATE);
    run.final = peer.awaitRecord(AI_NOTICE, 2, 60s);
    run.beforeFinal.assign(peer.skipped().begin() + static_cast<long>(before),
                           peer.skipped().end());
    return run;
}

TEST(VersionAndSdpSteps, SampleFilesGiveTheVersionTableAndTheMergedRecords) {
    placeUpdate({{"updatetodo.txt", "CHECK_VERSIONS\nCHECK_SDP\n"},
                 {"VERSION", readWholeFile(kSampleFolder + "VERSION")},
                 {"pskeyorig.psr", readWholeFile(kSampleFolder + "pskeyorig.psr")},
                 {"service.txt", readWholeFile(kSampleFolder + "service.txt")}});
    TestPeer peer;
    SimDaemon daemon;
    UpdateRun run = runUpdate(daemon, peer);
    ASSERT_TRUE(run.final) << daemon.standardError();
    EXPECT_EQ(run.final->text, "OK");

    // The SDP step's trigger reaches the peer before the final notice, and only once.
    ASSERT_EQ(run.beforeFinal.size(), 1u) << daemon.standardError();
    EXPECT_EQ(run.beforeFinal[0].type, AI_TRIGGER);
    EXPECT_EQ(run.beforeFinal[0].param, 0);
    EXPECT_EQ(run.beforeFinal[0].bytes.size(), kAiHeaderSize);

    const std::string report = stepLine("Version Check:") + kHeader +
                               row("Parlo Firmware ...", "1958", "2114 means 17.3.5", true) +
                               row("PS-Key         ...", "05 S2C4", "07 S3A1", true) +
                               row("qvl Software   ...", "2.0.3", "2.1.0", true) + "\n" +
                               stepLine("Check SDP records  :") + "OK\n" +
                               "*UPDATE_FINISHED* ... OK\n";
    EXPECT_EQ(readWholeFile("/tmp/update.log"), report);

    EXPECT_EQ(readWholeFile("/etc/service.txt"),
              "# SDP service records of the access point\n"
              "# handle;name;service;uuid;channel;provider\n"
              "10001;LAN Access Using PPP;3;0x1102;1;BT-LAP\n"
              "10002;Serial Port;5;0x1101;2;BT-LAP\n"
              "#$10003;Dial-up Networking;7;0x1103;3;BT-LAP\n"
              "20004;Group Ad-hoc Network;11;0x1117;5;BT-LAP\n");
    EXPECT_EQ(readWholeFile("/etc/terminal.txt"),
              "# terminal entries: id;name;SDP services;connectable services;timeout;flags\n"
              "1;default;3,5,11;3,5,11;600;0\n"
              "2;printer;3,5,11;3,5,11;0;1\n");
    EXPECT_FALSE(fileExists("/tmp/sdp.txt"));
    EXPECT_FALSE(fileExists("/tmp/tmp.txt"));

    // Standard output: the software versions, then the printed report.
    EXPECT_TRUE(
        eventually([&] { return daemon.standardOutput().find(report) != std::string::npos; }, 10s))
        << daemon.standardOutput();
    EXPECT_NE(daemon.standardOutput().find("old 2.0.3 : new 2.1.0\n"), std::string::npos);
}

TEST(VersionAndSdpSteps, CurrentComponentsSkipTheirStepsWithoutTrigger) {
    const std::string etcService = readWholeFile("/etc/service.txt");
    const std::string etcTerminal = readWholeFile("/etc/terminal.txt");
    // The board's own versions: build 1958 of 16.4.0, settings code 05 and mark S2C4.
    placeUpdate({{"updatetodo.txt", "CHECK_VERSIONS\nCHECK_SDP\nREMOVE_DFU_UPLOAD\n"},
                 {"VERSION", "BTFIRMWARE=1958\nLAP_VERSION=2.0.3\n"},
                 {"pskeyorig.psr",
                  "&02a4 = 3253 3443\r\n"
                  "&02a5 = 5250 464c 2057 3631 342e 302e 3120 3539 2038 3530\r\n"},
                 {"service.txt", readWholeFile(kSampleFolder + "service.txt")}});
    TestPeer peer;
    SimDaemon daemon;
    UpdateRun run = runUpdate(daemon, peer);
    ASSERT_TRUE(run.final) << daemon.standardError();
    EXPECT_EQ(run.final->text, "OK");
    EXPECT_TRUE(run.beforeFinal.empty());

    EXPECT_EQ(readWholeFile("/tmp/update.log"),
              stepLine("Version Check:") + kHeader +
                  row("Parlo Firmware ...", "1958", "1958 means 16.4.0", false) +
                  row("PS-Key         ...", "05 S2C4", "05 S2C4", false) +
                  row("qvl Software   ...", "2.0.3", "2.0.3", false) + "\n" +
                  stepLine("Check SDP records  :") + "nothing to do ... OK\n" +
                  stepLine("Remove DFU upload:  ") + "nothing to do ... OK\n" +
                  "*UPDATE_FINISHED* ... OK\n");
    EXPECT_EQ(readWholeFile("/etc/service.txt"), etcService);
    EXPECT_EQ(readWholeFile("/etc/terminal.txt"), etcTerminal);
}

TEST(VersionAndSdpSteps, UpdateWithoutServiceFileLeavesEtcAndStillTriggers) {
    const std::string etcService = readWholeFile("/etc/service.txt");
    const std::string etcTerminal = readWholeFile("/etc/terminal.txt");
    placeUpdate({{"updatetodo.txt", "CHECK_SDP\n"}});
    TestPeer peer;
    SimDaemon daemon;
    UpdateRun run = runUpdate(daemon, peer);
    ASSERT_TRUE(run.final) << daemon.standardError();
    EXPECT_EQ(run.final->text, "OK");
    ASSERT_EQ(run.beforeFinal.size(), 1u);
    EXPECT_EQ(run.beforeFinal[0].type, AI_TRIGGER);
    EXPECT_EQ(run.beforeFinal[0].param, 0);
    EXPECT_EQ(readWholeFile("/tmp/update.log"),
              stepLine("Check SDP records  :") +
                  "open error file /tmp/update.d/service.txt: 0x02 No such file or directory"
                  "OK\n*UPDATE_FINISHED* ... OK\n");
    EXPECT_EQ(readWholeFile("/etc/service.txt"), etcService);
    EXPECT_EQ(readWholeFile("/etc/terminal.txt"), etcTerminal);
}

}  // namespace
