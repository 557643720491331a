// The faults of the simulated module as one table: each fault after 0, 1 and several good
// exchanges, in each step that talks to the module. A row ends "NOK", or "OK" only where the
// dump, the module's store and its firmware are exactly what a fault-free run leaves; the store
// is checked in every row. Beside the table: a /tmp that fills as the module is read, files of
// an earlier update, and two updates in one daemon.
//
// The compare step sends nothing to the module: its column is the read's, whose rows run the
// compare after the read. The Command Status fault differs from the silent one only by an
// event that the daemon logs and passes over, so beyond the read step and the first preset it
// is covered by the silent rows; an unknown event is sent on the HCI device only. Where one
// and several good exchanges take the same way through a step (an answer missing after
// answered ones, a garbled or refused preset), the slow firmware rows hold one of them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "btlink/pskey_walks.h"
#include "core/ai_message.h"
#include "sim/sim_state.h"
#include "tests/support/board.h"
#include "tests/support/updates.h"

using namespace std::chrono_literals;

namespace {

const std::string kOldFirmware = "1958 16.4.0\n";
const std::string kNewFirmware = "2114 17.3.5\n";

// The key lines of a text, each with CR LF.
std::vector<std::string> keyLines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        if (end == std::string::npos) end = text.size() - 1;
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.starts_with('&')) lines.push_back(line + "\r\n");
    }
    return lines;
}

// The store with the first count of the set requests applied, in key order as the module
// keeps it.
std::string storeAfter(const std::vector<std::string>& sets, std::size_t count) {
    std::map<std::string, std::string> store;
    for (const std::string& line : keyLines(kModuleStoreBefore)) store[line.substr(1, 4)] = line;
    for (std::size_t i = 0; i < count && i < sets.size(); ++i)
        store[sets[i].substr(1, 4)] = sets[i];
    std::string text;
    for (const auto& [key, line] : store) text += line;
    return text;
}

std::string updateKeys() { return readWholeFile(kSampleParts + "pskeyorig.psr"); }

// The set requests that a fault-free run of each step sends, in order.
std::vector<std::string> allKeys() { return keyLines(updateKeys()); }
std::vector<std::string> differingKeys() {
    std::vector<std::string> keys;
    for (const std::string& line : allKeys())
        if (kModuleStoreBefore.find(line) == std::string::npos) keys.push_back(line);
    return keys;
}
std::vector<std::string> presetKeys() {
    std::vector<std::string> keys;
    for (const auto* list : {&presetKeysHci, &presetKeysBcsp})
        for (std::string_view preset : *list)
            if (!preset.empty()) keys.push_back(std::string(preset) + "\r\n");
    return keys;
}

enum class Step { Read, WriteDiff, WriteAll, PresetsBefore, PresetsAfter };

struct StepSetUp {
    const char* name;
    const char* todo;
    int exchangesBefore;  // good exchanges of the steps before it in the list
    int resetsBefore;     // module resets of the steps before it
    bool firmware;
    std::vector<std::string> (*sets)();
};

const StepSetUp& setUpOf(Step step) {
    static const StepSetUp kSetUps[] = {
        {"read", "BT_MOD_SET_READ\nBT_MOD_SET_COMP\n", 0, 0, false,
         [] { return std::vector<std::string>{}; }},
        // The read: the HCI Reset and 1024 get requests.
        {"writeDiff", "BT_MOD_SET_READ\nBT_MOD_SET_COMP\nBT_MOD_SET_NEW_WRITE\n", 1025, 1, false,
         differingKeys},
        {"writeAll", "BT_MOD_SET_ALL_WRITE\n", 0, 0, false, allKeys},
        {"presetsBefore", "BT_MOD_SET_FIRM_STACK\n", 0, 0, true, presetKeys},
        // The five presets over HCI; the DFU program doesn't talk through the module's devices.
        {"presetsAfter", "BT_MOD_SET_FIRM_STACK\n", 5, 1, true, presetKeys},
    };
    return kSetUps[static_cast<int>(step)];
}

struct ModuleFaultRow {
    Step step;
    const char* fault;
    int good;             // good exchanges in the step first (for "reset": module resets)
    const char* results;  // the result of each step of the list, as the report ends its line
    int stored;           // the set requests of the list that the module stores; -1 all
};

void PrintTo(const ModuleFaultRow& row, std::ostream* out) {
    *out << setUpOf(row.step).name << " " << row.fault << " " << row.good;
}

constexpr int kAll = -1;
using enum Step;

const ModuleFaultRow kRows[] = {
    // A refused HCI Reset ends the read at once. A get answered with a status is a key not
    // held: a walk that gets none leaves no dump, and a compare without a dump fails; one that
    // got some keys first is a dump of fewer keys, and the compare sets the others again. A
    // read that ends NOK leaves nothing the compare may judge.
    {Read, "status", 0, "NOK NOK", 0},
    {Read, "status", 1, "NOK NOK", 0},
    {Read, "status", 5, "OK OK", 0},
    {Read, "refuse-reset", 0, "NOK NOK", 0},
    {Read, "otherkey", 5, "OK OK", 0},
    {Read, "cmdstatus", 0, "NOK NOK", 0},
    {Read, "cmdstatus", 1, "NOK NOK", 0},
    {Read, "cmdstatus", 5, "NOK NOK", 0},
    {Read, "short", 0, "NOK NOK", 0},
    {Read, "short", 1, "NOK NOK", 0},
    {Read, "short", 5, "NOK NOK", 0},
    {Read, "long", 0, "NOK NOK", 0},
    {Read, "long", 1, "NOK NOK", 0},
    {Read, "long", 5, "NOK NOK", 0},
    {Read, "unknown", 0, "OK OK", 0},
    {Read, "unknown", 1, "OK OK", 0},
    {Read, "unknown", 5, "OK OK", 0},
    {Read, "silent", 0, "NOK NOK", 0},
    {Read, "silent", 1, "NOK NOK", 0},
    {Read, "silent", 5, "NOK NOK", 0},
    {Read, "reset", 0, "OK OK", 0},
    // A short or long answer follows a set that the module stored: the store is right, the
    // answer isn't.
    {WriteDiff, "refuse-reset", 0, "OK OK NOK", 0},
    {WriteDiff, "otherkey", 1, "OK OK OK", kAll},
    {WriteDiff, "status", 0, "OK OK NOK", 0},
    {WriteDiff, "status", 1, "OK OK NOK", 0},
    {WriteDiff, "status", 3, "OK OK NOK", 2},
    {WriteDiff, "short", 0, "OK OK NOK", kAll},
    {WriteDiff, "short", 1, "OK OK NOK", kAll},
    {WriteDiff, "short", 3, "OK OK NOK", kAll},
    {WriteDiff, "long", 0, "OK OK NOK", kAll},
    {WriteDiff, "long", 1, "OK OK NOK", kAll},
    {WriteDiff, "long", 3, "OK OK NOK", kAll},
    {WriteDiff, "unknown", 0, "OK OK OK", kAll},
    {WriteDiff, "unknown", 1, "OK OK OK", kAll},
    {WriteDiff, "unknown", 3, "OK OK OK", kAll},
    {WriteDiff, "silent", 0, "OK OK NOK", 0},
    {WriteDiff, "silent", 1, "OK OK NOK", 0},
    {WriteDiff, "silent", 3, "OK OK NOK", 2},
    {WriteDiff, "reset", 0, "OK OK OK", kAll},
    {WriteAll, "refuse-reset", 0, "NOK", 0},
    {WriteAll, "otherkey", 0, "OK", kAll},
    {WriteAll, "status", 0, "NOK", 0},
    {WriteAll, "status", 1, "NOK", 0},
    {WriteAll, "status", 3, "NOK", 2},
    {WriteAll, "short", 0, "NOK", kAll},
    {WriteAll, "short", 1, "NOK", kAll},
    {WriteAll, "short", 3, "NOK", kAll},
    {WriteAll, "long", 0, "NOK", kAll},
    {WriteAll, "long", 1, "NOK", kAll},
    {WriteAll, "long", 3, "NOK", kAll},
    {WriteAll, "unknown", 0, "OK", kAll},
    {WriteAll, "unknown", 1, "OK", kAll},
    {WriteAll, "unknown", 3, "OK", kAll},
    {WriteAll, "silent", 0, "NOK", 0},
    {WriteAll, "silent", 3, "NOK", 2},
    {WriteAll, "reset", 0, "OK", kAll},
    // The firmware is loaded in every row: refused presets don't stop the load.
    {PresetsBefore, "status", 0, "NOK", 0},
    {PresetsBefore, "status", 1, "NOK", 1},
    {PresetsBefore, "status", 3, "NOK", 3},
    {PresetsBefore, "cmdstatus", 0, "NOK", 0},
    {PresetsBefore, "short", 0, "NOK", kAll},
    {PresetsBefore, "short", 1, "NOK", kAll},
    {PresetsBefore, "short", 3, "NOK", kAll},
    {PresetsBefore, "long", 0, "NOK", kAll},
    {PresetsBefore, "unknown", 0, "OK", kAll},
    {PresetsBefore, "unknown", 3, "OK", kAll},
    {PresetsBefore, "silent", 0, "NOK", 0},
    {PresetsBefore, "silent", 3, "NOK", 3},
    {PresetsBefore, "reset", 0, "OK", kAll},
    {PresetsAfter, "status", 0, "NOK", 5},
    {PresetsAfter, "status", 3, "NOK", 8},
    {PresetsAfter, "short", 1, "NOK", kAll},
    {PresetsAfter, "long", 3, "NOK", kAll},
    {PresetsAfter, "unknown", 0, "OK", kAll},
    {PresetsAfter, "silent", 0, "NOK", 5},
    {PresetsAfter, "silent", 3, "NOK", 8},
    {PresetsAfter, "reset", 0, "OK", kAll},
};

// How each step's line of the report ends ("OK" or "NOK"), in order, separated by blanks.
std::string stepResults(const std::string& report) {
    std::vector<std::size_t> starts;
    for (std::size_t at = report.find(" started ... "); at != std::string::npos;
         at = report.find(" started ... ", at + 1))
        starts.push_back(report.rfind('\n', at) == std::string::npos ? 0
                                                                     : report.rfind('\n', at) + 1);
    starts.push_back(report.find("*UPDATE_FINISHED*"));
    std::string results;
    for (std::size_t i = 0; i + 1 < starts.size(); ++i) {
        std::string line = report.substr(starts[i], starts[i + 1] - starts[i]);
        if (!results.empty()) results += " ";
        results += line.ends_with(" NOK\n") ? "NOK" : line.ends_with("OK\n") ? "OK" : "?";
    }
    return results;
}

std::map<std::string, std::string> moduleUpdate(const std::string& todo, bool firmware) {
    std::map<std::string, std::string> files;
    if (firmware) files = firmwareParts();
    files["updatetodo.txt"] = todo;
    files["pskeyorig.psr"] = updateKeys();
    return files;
}

// Every exchange with the module waits under an alarm of 5 to 30 board seconds: at the slow
// clock (the tests named SlowClock), a busy machine alone can't make one fire.
class SlowClockModuleUpdates : public testing::Test {
protected:
    void SetUp() override {
        writeWholeFile(simStatePath("module.baud"), "0\n");
        writeWholeFile(simStatePath("module.psr"), kModuleStoreBefore);
        writeWholeFile(simStatePath("module.firmware"), kOldFirmware);
        writeWholeFile(simStatePath("dfu.seconds"), "1\n");
    }

    std::string runUpdate(const std::map<std::string, std::string>& files) {
        return runUpdateOnBoard(daemon, peer, makeUpdateImage(files, false), kEventCap);
    }

    // Sends the start request for the image and waits for the final notice.
    std::string runAgain(const std::map<std::string, std::string>& files) {
        writeWholeFile("/tmp/image", makeUpdateImage(files, false));
        peer.sendRequest(REQ_START_UPDATE);
        auto finished = peer.awaitRecord(AI_NOTICE, 2, kEventCap);
        return finished ? finished->text : "no final notice";
    }

    TestPeer peer;
    SimDaemon daemon;
};

class ModuleFaultTable : public SlowClockModuleUpdates,
                         public testing::WithParamInterface<ModuleFaultRow> {};

TEST_P(ModuleFaultTable, NeverEndsOkUnlessAllIsAsWithoutTheFault) {
    const ModuleFaultRow& row = GetParam();
    const StepSetUp& setUp = setUpOf(row.step);
    bool reset = std::string(row.fault) == "reset";
    int before = reset ? setUp.resetsBefore : setUp.exchangesBefore;
    writeWholeFile(simStatePath("module.fault"),
                   std::string(row.fault) + " " + std::to_string(before + row.good) + "\n");

    std::string notice = runUpdate(moduleUpdate(setUp.todo, setUp.firmware));
    const std::string report = readWholeFile("/tmp/update.log");
    EXPECT_EQ(stepResults(report), row.results) << report;
    EXPECT_EQ(notice, std::string(row.results).find("NOK") == std::string::npos ? "OK" : "NOK");

    std::vector<std::string> sets = setUp.sets();
    EXPECT_EQ(readWholeFile(simStatePath("module.psr")),
              storeAfter(sets, row.stored == kAll ? sets.size() : std::size_t(row.stored)));
    EXPECT_EQ(readWholeFile(simStatePath("module.firmware")),
              setUp.firmware ? kNewFirmware : kOldFirmware);
    // A read that ends "OK" has the module's whole store in its dump; where the module
    // answered gets with a status, the keys it gave.
    if (std::string(row.results).starts_with("OK") && !setUp.firmware && row.step != WriteAll) {
        const std::string dump = readWholeFile("/tmp/pskeydump.psr");
        if (std::string(row.fault) == "status") {
            for (const std::string& line : keyLines(dump))
                EXPECT_NE(kModuleStoreBefore.find(line), std::string::npos) << line;
        } else {
            EXPECT_EQ(dump, kModuleStoreBefore);
        }
    }
}

std::string moduleRowName(const testing::TestParamInfo<ModuleFaultRow>& info) {
    std::string fault = info.param.fault;
    std::erase(fault, '-');
    return std::string(setUpOf(info.param.step).name) + "_" + fault + "_" +
           std::to_string(info.param.good);
}

INSTANTIATE_TEST_SUITE_P(SlowClock, ModuleFaultTable, testing::ValuesIn(kRows), moduleRowName);

// /tmp fills as the read step begins: nothing may pass for the module's keys, and the update
// ends "NOK" with the module's store as it was.
class TmpFullInRead : public SlowClockModuleUpdates, public testing::WithParamInterface<int> {};

TEST_P(TmpFullInRead, EndsNokWithTheStoreAsItWas) {
    writeWholeFile("/tmp/image", makeUpdateImage(moduleUpdate("BT_MOD_SET_READ\nBT_MOD_SET_COMP\n"
                                                              "BT_MOD_SET_NEW_WRITE\n",
                                                              false),
                                                 false));
    ASSERT_TRUE(startedAndAnnounced(daemon, peer));
    peer.sendRequest(REQ_START_UPDATE);
    // The step waits 3 seconds for the module after opening its link: /tmp fills meanwhile.
    ASSERT_TRUE(eventually(
        [] { return readWholeFile("/tmp/update.log").find("Read PS-Keys:") != std::string::npos; },
        kEventCap));
    int filler = open("/tmp/filler", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(filler, 0);
    const std::string block(4096, 'f');
    for (int i = 0; i < 4096 && write(filler, block.data(), block.size()) > 0; ++i) {
    }
    close(filler);
    auto finished = peer.awaitRecord(AI_NOTICE, 2, kEventCap);
    ASSERT_TRUE(finished) << daemon.standardError();
    EXPECT_EQ(finished->text, "NOK");
    EXPECT_EQ(readWholeFile(simStatePath("module.psr")), kModuleStoreBefore);
    EXPECT_NE(daemon.standardError().find("write to /tmp/pskeydump.psr error 28"),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(SmallTmp, TmpFullInRead, testing::Values(0));

// A read that fails leaves a partial dump: no later step of the update judges it, and the
// module keeps its keys. The write-all step judges no dump: it tries the module all the same.
TEST_F(SlowClockModuleUpdates, NoStepJudgesADumpThatThisUpdatesReadDidNotEndOk) {
    writeWholeFile(simStatePath("module.fault"), "silent 5\n");
    EXPECT_EQ(runUpdate(moduleUpdate("BT_MOD_SET_READ\nBT_MOD_SET_COMP\nBT_MOD_SET_NEW_WRITE\n"
                                     "BT_MOD_SET_ALL_WRITE\n",
                                     false)),
              "NOK");
    const std::string report = readWholeFile("/tmp/update.log");
    EXPECT_EQ(stepResults(report), "NOK NOK NOK NOK") << report;
    EXPECT_EQ(countOf(report, "no PS-Key dump from this update's read \n NOK\n"), 2u) << report;
    EXPECT_NE(report.find("Write all PS-Keys:     started ...   0 percent Update step timed out"),
              std::string::npos)
        << report;
    EXPECT_EQ(readWholeFile(simStatePath("module.psr")), kModuleStoreBefore);
}

// A module that starts on BCSP never answers the read over HCI: the read, the comparison and
// the writing of the differing keys fail, but the firmware step loads over BCSP and the
// write-all step, which needs no dump, gives the module every key of the update.
TEST_F(SlowClockModuleUpdates, AFailedReadLeavesTheWriteAllStepToWriteEveryKey) {
    writeWholeFile(simStatePath("module.mode"), "bcsp\n");
    EXPECT_EQ(runUpdate(moduleUpdate("BT_MOD_SET_READ\nBT_MOD_SET_COMP\nBT_MOD_SET_NEW_WRITE\n"
                                     "BT_MOD_SET_FIRM_STACK\nBT_MOD_SET_ALL_WRITE\n",
                                     true)),
              "NOK");
    const std::string report = readWholeFile("/tmp/update.log");
    EXPECT_EQ(stepResults(report), "NOK NOK NOK OK OK") << report;
    EXPECT_TRUE(
        report.ends_with("Write all PS-Keys:     started ... 100 percent OK\n"
                         "*UPDATE_FINISHED* ... NOK\n"))
        << report;
    EXPECT_EQ(readWholeFile(simStatePath("module.firmware")), kNewFirmware);
    const std::string store = readWholeFile(simStatePath("module.psr"));
    for (const std::string& line : allKeys())
        EXPECT_NE(store.find(line), std::string::npos) << line << store;
}

// The working files of an earlier update: none is read again, and a link among them is removed,
// not followed.
TEST_F(SlowClockModuleUpdates, NoFileOfAnEarlierUpdateIsReadAgain) {
    const char* leftovers[] = {"/tmp/pskeydump.psr", "/tmp/pskeycomp.psr", "/tmp/dfu_status.log",
                               "/tmp/dfu_error.log"};
    for (const char* path : leftovers) writeWholeFile(path, kModuleStoreBefore);
    writeWholeFile("/tmp/pskeyprep.psr", kModuleStoreBefore);
    writeWholeFile("/tmp/elsewhere.psr", "&0017 = 0001\r\n");
    ASSERT_EQ(symlink("/tmp/elsewhere.psr", "/tmp/pskeytoset.psr"), 0);
    EXPECT_EQ(runUpdate(moduleUpdate("BT_MOD_SET_COMP\nBT_MOD_SET_NEW_WRITE\n", false)), "NOK");
    EXPECT_EQ(stepResults(readWholeFile("/tmp/update.log")), "NOK NOK");
    for (const char* path : leftovers) EXPECT_FALSE(fileExists(path)) << path;
    std::string prepared;
    for (const std::string& line : allKeys()) prepared += line;
    EXPECT_EQ(readWholeFile("/tmp/pskeyprep.psr"), prepared) << "made anew";
    EXPECT_FALSE(fileExists("/tmp/pskeytoset.psr"));
    EXPECT_EQ(readWholeFile("/tmp/elsewhere.psr"), "&0017 = 0001\r\n");
    EXPECT_EQ(readWholeFile(simStatePath("module.psr")), kModuleStoreBefore);
}

// A key file without a single key line, or none at all, writes nothing, and says so once.
TEST_F(SlowClockModuleUpdates, AKeyFileWithoutKeyLinesOrNoneAtAllIsRefused) {
    std::string binary(65536, '\0');
    for (std::size_t i = 0; i < binary.size(); ++i)
        binary[i] = static_cast<char>(i * 37 % 251 == '&' ? 0 : i * 37 % 251);
    const struct {
        bool present;
        const char* why;
    } cases[] = {
        {true, "PS-Key file /tmp/update.d/pskeyorig.psr refused: no key line in it \n"},
        {false, "open error file /tmp/update.d/pskeyorig.psr: 0x02 No such file or directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        std::map<std::string, std::string> files = moduleUpdate("BT_MOD_SET_ALL_WRITE\n", false);
        files["pskeyorig.psr"] = binary;
        if (!c.present) files.erase("pskeyorig.psr");
        EXPECT_EQ(runUpdate(files), "NOK");
        EXPECT_EQ(readWholeFile("/tmp/update.log"),
                  std::string("Write all PS-Keys:     started ...   0 percent ") + c.why +
                      " NOK\n*UPDATE_FINISHED* ... NOK\n");
        EXPECT_EQ(readWholeFile(simStatePath("module.psr")), kModuleStoreBefore);
        daemon.kill();
    }
}

// After an update with the firmware step the module runs BCSP; a later update's write-all step
// opens the BCCMD channel itself.
TEST_F(SlowClockModuleUpdates, TwoUpdatesInOneDaemonWriteTheirKeys) {
    EXPECT_EQ(runUpdate(moduleUpdate("BT_MOD_SET_FIRM_STACK\nBT_MOD_SET_ALL_WRITE\n", true)), "OK")
        << daemon.standardError();
    writeWholeFile(simStatePath("module.psr"), kModuleStoreBefore);
    EXPECT_EQ(runAgain(moduleUpdate("BT_MOD_SET_ALL_WRITE\n", false)), "OK");
    EXPECT_EQ(withoutDfuProgress(readWholeFile("/tmp/update.log")),
              "Update Parlo Firmware: started ...OK\n"
              "Write all PS-Keys:     started ... 100 percent OK\n"
              "*UPDATE_FINISHED* ... OK\n"
              "Write all PS-Keys:     started ... 100 percent OK\n"
              "*UPDATE_FINISHED* ... OK\n");
    EXPECT_EQ(readWholeFile(simStatePath("module.psr")), storeAfter(allKeys(), allKeys().size()));
}

}  // namespace
