// Another local user shares /tmp with the daemon. Whatever that user puts at the names of the
// update's work files, before the update or at the moment a command of it runs, the daemon
// unpacks, runs and writes only what the signed image carries, writes nothing through a link,
// and tells the peer "OK" only where the signed update ran as its report says.
//
// The other user is uid 65534 (setpriv). Its moves at exact moments come from stand-ins for
// the board's " -gunzip" and " -tar" that make the move and then run the real command.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "core/ai_message.h"
#include "image/image_signature.h"
#include "sim/flash_model.h"
#include "sim/sim_state.h"
#include "tests/support/board.h"
#include "tests/support/openssl_keys.h"
#include "tests/support/updates.h"
#include "tools/common/image_builder.h"

using namespace std::chrono_literals;

namespace {

using mkupdate::Bytes;

const std::string kAsOtherUser = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
constexpr const char* kStandIns = "/tmp/standins";
// A root-owned file of /etc that no update writes.
constexpr const char* kVictim = "/etc/victim.txt";
const std::string kVictimText = "root's own file\n&0017 = 0009\r\n";
// Whether the other user's writes succeeded: the exit status of each, one a line.
constexpr const char* kAttackStatus = "/tmp/attack.status";
const std::string kEvilService = "30001;Evil;13;0x9999;9;X\n";

// The board's /tmp: anybody may make names in it, nobody remove another's.
void shareTmp() { ASSERT_EQ(chmod("/tmp", 01777), 0); }

// A stand-in for the board command name (" -gunzip" is "-gunzip") that runs move first.
void standIn(const std::string& name, const std::string& move, const std::string& real) {
    std::filesystem::create_directories(kStandIns);
    const std::string path = std::string(kStandIns) + "/-" + name;
    writeWholeFile(path, "#!/bin/sh\n" + move + "\nexec " + real + " \"$@\"\n");
    ASSERT_EQ(chmod(path.c_str(), 0755), 0);
}

// A command of the other user; its exit status is appended to kAttackStatus.
std::string asOtherUser(const std::string& command) {
    return kAsOtherUser + "sh -c '" + command + "' 2>/dev/null; echo $? >> " + kAttackStatus;
}

void makeOthersFile(const std::string& path, const std::string& content, mode_t mode = 0666) {
    writeWholeFile(path, content);
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

std::string packedArchive(const std::string& tarOptions) {
    EXPECT_EQ(
        runProgram("cd /tmp/made && tar czf /tmp/made.tar.gz " + tarOptions + " update.d").status,
        0);
    std::string archive = readWholeFile("/tmp/made.tar.gz");
    std::filesystem::remove_all("/tmp/made");
    std::filesystem::remove("/tmp/made.tar.gz");
    return archive;
}

// An unsigned archive of the other user's: its own service record.
std::string evilArchive() {
    std::filesystem::create_directories("/tmp/made/update.d");
    writeWholeFile("/tmp/made/update.d/updatetodo.txt", "CHECK_SDP\n");
    writeWholeFile("/tmp/made/update.d/service.txt", kEvilService);
    return packedArchive("");
}

// The update whose steps most tests of this file run: CHECK_SDP, with the sample's records.
std::map<std::string, std::string> sdpUpdate() {
    return {{"updatetodo.txt", "CHECK_SDP\n"},
            {"service.txt", readWholeFile(kSampleParts + "service.txt")}};
}
const std::string kSdpReport = "Check SDP records  :   started ... OK\n*UPDATE_FINISHED* ... OK\n";

// A signed image whose archive tar makes from folder update.d with tarOptions (the makers'
// build machine's owners and modes, a link).
Bytes imageWithArchive(const OpensslKey& key, const std::string& tarOptions,
                       const std::function<void()>& addMembers) {
    std::filesystem::create_directories("/tmp/made/update.d");
    for (const auto& [name, content] : sdpUpdate())
        writeWholeFile("/tmp/made/update.d/" + name, content);
    addMembers();
    const std::string archive = packedArchive(tarOptions);
    std::string error;
    auto image = mkupdate::buildMultiImage({{'n', '\n'}, Bytes(archive.begin(), archive.end())},
                                           "test update", &error);
    EXPECT_TRUE(image) << error;
    return signedWith(image.value_or(Bytes()), key);
}

// The signed update, its archive's members owned by uid 65534 and writable by all, as tar of
// the makers' build machine may have packed them.
Bytes othersMembers(const OpensslKey& key) {
    return imageWithArchive(key, "--owner=65534 --group=65534 --mode=a+w", [] {
        std::filesystem::create_directories("/tmp/made/update.d/sub");
        writeWholeFile("/tmp/made/update.d/sub/dfu", "#!/bin/sh\n");
    });
}

// A row names only what departs from the signed CHECK_SDP update that runs as its report says
// and merges its records, with no move of the other user's failing.
struct RaceRow {
    const char* name;
    // Before the daemon starts (stand-ins, files at the names), and after its start-up.
    std::function<void()> before = {};
    std::function<void()> afterStartUp = {};
    // The image; empty: the signed CHECK_SDP update.
    std::function<Bytes(const OpensslKey&)> image = {};
    const char* notice = "OK";
    // The report's whole text, and a line of
    // standard error.
    std::string report = kSdpReport;
    std::string errorLine = "";
    // Whether the signed records were merged into /etc/service.txt (else it stays as it was).
    bool merged = true;
    // How many moves of the other user's failed (all of them do).
    std::size_t failedMoves = 0;
};

void PrintTo(const RaceRow& row, std::ostream* out) { *out << row.name; }

const std::vector<RaceRow>& raceRows() {
    static const std::vector<RaceRow> rows = {
        {.name = "archiveOfAnotherUserRewrittenAfterItsReadBack",
         .before =
             [] {
                 makeOthersFile("/tmp/image1.gz", "the other user's\n");
                 makeOthersFile("/tmp/evil.gz", evilArchive(), 0644);
                 standIn("gunzip", asOtherUser("cat /tmp/evil.gz > /tmp/image1.gz"), "gunzip");
             },
         .failedMoves = 1},
        {.name = "archiveLinkedToEtc",
         .before = [] { ASSERT_EQ(symlink(kVictim, "/tmp/image1.gz"), 0); }},
        {.name = "folderOfAnotherUserWithARecord",
         .before =
             [] {
                 ASSERT_EQ(mkdir("/tmp/update.d", 0777), 0);
                 makeOthersFile("/tmp/update.d/service.txt", kEvilService);
                 ASSERT_EQ(chown("/tmp/update.d", 65534, 65534), 0);
                 ASSERT_EQ(chmod("/tmp/update.d", 0777), 0);
             }},
        // Gone before the unpacked folder takes the name.
        {.name = "folderMadeWithARecordWhileTarRuns",
         .before =
             [] {
                 writeWholeFile("/tmp/evil-service.txt", kEvilService);
                 standIn("tar",
                         asOtherUser("mkdir -m 777 /tmp/update.d && "
                                     "cp /tmp/evil-service.txt /tmp/update.d/service.txt"),
                         "tar");
             }},
        // As a gunzip would leave it that wrote into a file made at its name.
        {.name = "decompressedArchiveOfAnotherUser",
         .before =
             [] { standIn("gunzip", "gunzip \"$@\" && chown 65534 /tmp/image1; exit $?", "true"); },
         .notice = "NOK",
         .report =
             "/tmp/image1 refused: not the update daemon's own file\n*UPDATE_FINISHED* ... NOK\n",
         .merged = false},
        {.name = "unpackedMembersOutOfReach",
         .before =
             [] {
                 writeWholeFile("/tmp/evil-service.txt", kEvilService);
                 // After the real tar: its members are there, in a folder of root's alone.
                 const std::string script = std::string(kStandIns) + "/-tar";
                 std::filesystem::create_directories(kStandIns);
                 writeWholeFile(script, "#!/bin/sh\ntar \"$@\"; status=$?\n" +
                                            asOtherUser("cat /tmp/evil-service.txt > "
                                                        "$(echo /tmp/update.d.*)/unpack/update.d/"
                                                        "service.txt") +
                                            "\nexit $status\n");
                 ASSERT_EQ(chmod(script.c_str(), 0755), 0);
             },
         .image = othersMembers,
         .failedMoves = 1},
        {.name = "membersOfTheBuildMachinesUser", .image = othersMembers},
        // Set-uid and set-gid members of another user's would become root's.
        {.name = "setUidMembers",
         .image =
             [](const OpensslKey& key) {
                 return imageWithArchive(key, "--owner=65534 --group=65534 --mode=ug+s", [] {
                     std::filesystem::create_directories("/tmp/made/update.d/sub");
                     writeWholeFile("/tmp/made/update.d/sub/dfu", "#!/bin/sh\n");
                     chmod("/tmp/made/update.d/sub/dfu", 0755);
                 });
             }},
        {.name = "linkInTheArchive",
         .image =
             [](const OpensslKey& key) {
                 return imageWithArchive(key, "", [] {
                     std::filesystem::create_symlink("/etc/service.txt",
                                                     "/tmp/made/update.d/records");
                 });
             },
         .notice = "NOK",
         .report = "archive member update.d/records refused: a link\n*UPDATE_FINISHED* ... NOK\n",
         .merged = false},
        {.name = "workFilesLinkedWhileTarRuns",
         .before =
             [] {
                 standIn("tar",
                         asOtherUser(std::string("ln -s ") + kVictim + " /tmp/sdp.txt && ln -s " +
                                     kVictim + " /tmp/tmp.txt"),
                         "tar");
             }},
        // What stands at the report's name goes, and the report is made afresh.
        {.name = "reportLinkedAfterStartUp",
         .afterStartUp = [] { ASSERT_EQ(symlink(kVictim, "/tmp/update.log"), 0); },
         .errorLine = "/tmp/update.log removed: not the update daemon's own file\n"},
        {.name = "reportOfAnotherUserAfterStartUp",
         .afterStartUp = [] { makeOthersFile("/tmp/update.log", "the other user's\n", 0644); },
         .errorLine = "/tmp/update.log removed: not the update daemon's own file\n"},
        // The report already holds the reception's line of who signed: the name is taken.
        {.name = "reportLinkedWhileTarRuns",
         .before =
             [] {
                 standIn("tar", asOtherUser(std::string("ln -s ") + kVictim + " /tmp/update.log"),
                         "tar");
             },
         .failedMoves = 1},
    };
    return rows;
}

class SharedTmp : public testing::TestWithParam<RaceRow> {};

// The report's first line for an image that the board's key verified.
std::string acceptedSignatureLine(const OpensslKey& key) {
    return std::string("image signed by key ") +
           updateKeyIdText(updateKeyIdOf(key.modulus)).data() + ", security version 0\n";
}

TEST_P(SharedTmp, OnlyTheSignedUpdateRunsAndNothingIsWrittenThroughALink) {
    const RaceRow& row = GetParam();
    shareTmp();
    const OpensslKey key = makeOpensslKey("makers", 2048);
    installUpdateKey(key, "makers");
    writeWholeFile(kVictim, kVictimText);
    writeWholeFile(kAttackStatus, "");
    const Bytes image =
        row.image ? row.image(key) : signedWith(makeUpdateImage(sdpUpdate(), false), key);
    ASSERT_FALSE(image.empty());
    const std::string service = readWholeFile("/etc/service.txt");
    const std::string flash = seedOldFlash();
    if (row.before) row.before();

    TestPeer peer;
    SimDaemon daemon;
    writeWholeFile("/tmp/image", image);
    ASSERT_TRUE(startedAndAnnounced(daemon, peer, fileExists(kStandIns) ? kStandIns : ""));
    if (row.afterStartUp) row.afterStartUp();
    peer.sendRequest(REQ_START_UPDATE);
    auto finished = peer.awaitRecord(AI_NOTICE, 2, kEventCap);
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->text, row.notice) << daemon.standardError();
    // Answered once the update's end, the report shown on standard output, is done.
    peer.sendRequest(REQ_QUERY);
    ASSERT_TRUE(peer.awaitRecord(AI_REPLY, 0, kEventCap));

    struct stat report {};
    ASSERT_EQ(lstat("/tmp/update.log", &report), 0);
    EXPECT_TRUE(S_ISREG(report.st_mode) && report.st_uid == 0);
    EXPECT_EQ(readWholeFile("/tmp/update.log"), acceptedSignatureLine(key) + row.report);
    EXPECT_NE(daemon.standardError().find(row.errorLine), std::string::npos)
        << daemon.standardError();
    EXPECT_EQ(readWholeFile(kVictim), kVictimText) << "nothing written through a link";
    EXPECT_EQ(daemon.standardOutput().find(kVictimText), std::string::npos) << "nor shown";
    EXPECT_EQ(readWholeFile("/etc/service.txt"), row.merged ? kSampleMergedService : service);
    EXPECT_TRUE(readWholeFile(simStatePath(kFlashContentsFile)) == flash) << "flash untouched";
    const std::string moves = readWholeFile(kAttackStatus);
    EXPECT_EQ(countOf(moves, "\n") - countOf(moves, "0\n"), row.failedMoves) << moves;
    // What stays of the update at the shared names is root's and no one else's to write.
    for (const char* path : {"/tmp/update.d", "/tmp/update.d/service.txt",
                             "/tmp/update.d/updatetodo.txt", "/tmp/update.d/sub/dfu"}) {
        struct stat info {};
        if (lstat(path, &info) != 0) continue;
        EXPECT_EQ(info.st_uid, 0u) << path;
        EXPECT_EQ(info.st_mode & (022 | S_ISUID | S_ISGID), 0u) << path;
    }
}

INSTANTIATE_TEST_SUITE_P(Board, SharedTmp, testing::ValuesIn(raceRows()),
                         testing::PrintToStringParamName());

// The PS-Key work files: made by the other user at the moment tar runs (after the update's
// start has cleared their names), where the steps make or read them.
struct PsKeyRow {
    const char* name;
    std::string todo;
    std::string move;  // the other user's, while tar runs
    const char* notice;
    std::string report;
    std::vector<std::string> keysSet;
    // Links made by root stand for the other user's on a board whose kernel follows any link in
    // /tmp (this machine's fs.protected_symlinks keeps root from following the other user's).
    bool byRoot = false;
};

void PrintTo(const PsKeyRow& row, std::ostream* out) { *out << row.name; }

const std::string kModuleStore = "&0017 = 0007\r\n&0021 = 0004\r\n";

const std::vector<PsKeyRow>& psKeyRows() {
    static const std::vector<PsKeyRow> rows = {
        {"keysToSetOfAnotherUser",
         "BT_MOD_SET_READ\nBT_MOD_SET_NEW_WRITE\n",
         "printf \"\\046%s\\r\\n\" \"0017 = 0009\" > /tmp/pskeytoset.psr",
         "NOK",
         "Read PS-Keys:          started ... OK\nWrite diff. PS-Keys:   started ... "
         "/tmp/pskeytoset.psr refused: not the update "
         "daemon's own file (owner 65534, mode 0644, 1 names)\n NOK\n*UPDATE_FINISHED* ... NOK\n",
         {}},
        {"dumpLinkedToEtcWhereNoneWasRead",
         "BT_MOD_SET_COMP\nBT_MOD_SET_NEW_WRITE\n",
         std::string("ln -s ") + kVictim + " /tmp/pskeydump.psr",
         "NOK",
         "Compare PS-Keys:       started ... no PS-Key dump from this update's read \n NOK\n"
         "Write diff. PS-Keys:   started ... no PS-Key dump from "
         "this update's read \n NOK\n*UPDATE_FINISHED* ... NOK\n",
         {}},
        {"dfuLogsLinkedToEtc",
         "BT_MOD_SET_FIRM_STACK\n",
         std::string("ln -s ") + kVictim + " /tmp/dfu_status.log && ln -s " + kVictim +
             " /tmp/dfu_error.log",
         "OK",
         "Update Parlo Firmware: started ... 100 percent OK\n*UPDATE_FINISHED* ... OK\n",
         // The presets, before and after the firmware load.
         {"01a5", "01a5", "01a6", "01f9", "0191", "01a5", "01a5", "01a6", "01f9", "0191"},
         true},
        {"workFilesOfAnotherUserWhereTheStepsMakeThem",
         "BT_MOD_SET_READ\nBT_MOD_SET_COMP\nBT_MOD_SET_NEW_WRITE\n",
         "for f in pskeyprep pskeydump pskeycomp pskeytoset; do printf \"\\046%s\\r\\n\" "
         "\"0017 = 0009\" > /tmp/$f.psr; chmod 666 /tmp/$f.psr; done",
         "OK",
         "Read PS-Keys:          started ... OK\nCompare PS-Keys:       started ... OK\n"
         "Write diff. PS-Keys:   started ... OK\n*UPDATE_FINISHED* ... OK\n",
         {"0021"}},
    };
    return rows;
}

class SharedTmpPsKeys : public testing::TestWithParam<PsKeyRow> {};

TEST_P(SharedTmpPsKeys, OnlyTheDaemonsOwnWorkFilesReachTheModule) {
    const PsKeyRow& row = GetParam();
    shareTmp();
    writeWholeFile(kVictim, kVictimText);
    writeWholeFile(kAttackStatus, "");
    writeWholeFile(simStatePath("module.baud"), "0\n");
    writeWholeFile(simStatePath("module.psr"), kModuleStore);
    standIn("tar", row.byRoot ? row.move + "; echo $? >> " + kAttackStatus : asOtherUser(row.move),
            "tar");
    writeWholeFile(simStatePath("dfu.seconds"), "1\n");
    std::map<std::string, std::string> files = firmwareParts();
    files["updatetodo.txt"] = row.todo;
    files["pskeyorig.psr"] = "&0017 = 0007\r\n&0021 = 0005\r\n";
    const Bytes image = makeUpdateImage(files, false);

    TestPeer peer;
    SimDaemon daemon;
    EXPECT_EQ(runUpdateOnBoard(daemon, peer, image, kEventCap, kStandIns), row.notice)
        << daemon.standardError();
    EXPECT_EQ(readWholeFile(kAttackStatus), "0\n") << "the other user made its move";
    EXPECT_EQ(readWholeFile("/tmp/update.log"), row.report);
    EXPECT_EQ(readWholeFile(kVictim), kVictimText);
    const std::string store = readWholeFile(simStatePath("module.psr"));
    EXPECT_EQ(store.find("0009"), std::string::npos) << store;
    EXPECT_EQ(moduleKeysSet(), row.keysSet);
}

INSTANTIATE_TEST_SUITE_P(Board, SharedTmpPsKeys, testing::ValuesIn(psKeyRows()),
                         testing::PrintToStringParamName());

}  // namespace
