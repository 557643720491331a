#include "tools/powercut/crash_model.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "tools/powercut/etc_checks.h"

namespace {

using powercut::Node;
using powercut::Tree;

// A folder of files, each name with its bytes.
Tree folderOf(const std::vector<std::pair<std::string, std::string>>& files) {
    Tree tree;
    tree.nodes.push_back(Node{Node::Kind::Folder, "", {}, 0755});
    for (const auto& [name, bytes] : files) {
        tree.nodes.push_back(Node{Node::Kind::File, bytes, {}, 0644});
        tree.nodes[0].entries[name] = static_cast<int>(tree.nodes.size()) - 1;
    }
    return tree;
}

powercut::Recording recordingOf(const Tree& before, const std::string& log) {
    std::string error;
    std::optional<powercut::Recording> recording =
        powercut::readRecording(before, "/etc", log, &error);
    EXPECT_TRUE(recording) << error;
    return recording ? *recording : powercut::Recording{};
}

// The bytes of path in each state a cut could leave ("-" for none).
std::set<std::string> contentsAt(const powercut::Recording& recording, std::size_t cut,
                                 const std::string& path) {
    std::set<std::string> contents;
    for (const powercut::CrashState& state : powercut::crashStates(recording, cut)) {
        std::optional<int> node = powercut::lookUp(state.tree, "/etc", path, true);
        contents.insert(node ? state.tree.nodes[static_cast<std::size_t>(*node)].bytes : "-");
    }
    return contents;
}

// The update's log over the folder that setUp's log makes of an empty one.
powercut::Recording recordingAfter(const std::string& setUp, const std::string& log) {
    return recordingOf(recordingOf(folderOf({}), setUp).final, log);
}

// The watched pieces broken in the states of a cut, each with its state's variant.
std::vector<std::string> brokenAt(const powercut::Recording& recording, std::size_t cut) {
    powercut::Watched before = powercut::watchedOf(recording.initial, "/etc");
    powercut::Watched after = powercut::watchedOf(recording.final, "/etc");
    std::vector<std::string> broken;
    for (const powercut::CrashState& state : powercut::crashStates(recording, cut)) {
        for (const std::string& piece :
             powercut::brokenPieces(powercut::watchedOf(state.tree, "/etc"), before, after))
            broken.push_back(state.variant + ": " + piece);
    }
    return broken;
}

// The durable writer: new name, written, synced, renamed over the old one.
constexpr const char* kReplaceLog =
    "create 1 3 /etc/v.new 420\n"
    "write 1 3 0 2%0A\n"
    "fsync 1 3\n"
    "close 1 3\n"
    "rename /etc/v.new /etc/v\n";

TEST(PowerCutModel, ARenameNotFollowedByAFolderSyncMayBeLost) {
    powercut::Recording recording = recordingOf(folderOf({{"v", "1\n"}}), kReplaceLog);
    std::size_t end = recording.operations.size();
    EXPECT_EQ(contentsAt(recording, end, "v"), (std::set<std::string>{"1\n", "2\n"}));
}

TEST(PowerCutModel, AFolderSyncMakesTheRenameDurable) {
    std::string log = std::string(kReplaceLog) + "open 1 4 /etc\nfsync 1 4\nclose 1 4\n";
    powercut::Recording recording = recordingOf(folderOf({{"v", "1\n"}}), log);
    EXPECT_EQ(contentsAt(recording, recording.operations.size(), "v"),
              (std::set<std::string>{"2\n"}));
    // Before the folder's sync, the old name may still hold the old file.
    EXPECT_EQ(contentsAt(recording, recording.operations.size() - 1, "v"),
              (std::set<std::string>{"1\n", "2\n"}));
}

TEST(PowerCutModel, AFileRenamedBeforeItsSyncMayArriveEmpty) {
    std::string log =
        "create 1 3 /etc/v.new 420\n"
        "write 1 3 0 2%0A\n"
        "rename /etc/v.new /etc/v\n"
        "open 1 4 /etc\nfsync 1 4\n";
    powercut::Recording recording = recordingOf(folderOf({{"v", "1\n"}}), log);
    EXPECT_EQ(contentsAt(recording, recording.operations.size(), "v"),
              (std::set<std::string>{"", "2\n"}));
}

TEST(PowerCutModel, ACopyOverTheFileWithoutASyncMayLeaveItEmpty) {
    // cp: the file opened with O_TRUNC and written, never synced.
    std::string log = "open 7 4 /etc/service.txt\ntrunc 7 4 0\nwrite 7 4 0 new%0A\nclose 7 4\n";
    powercut::Recording recording = recordingOf(folderOf({{"service.txt", "old\n"}}), log);
    EXPECT_EQ(contentsAt(recording, recording.operations.size(), "service.txt"),
              (std::set<std::string>{"old\n", "", "new\n"}));
    // The empty file alone is broken.
    EXPECT_EQ(brokenAt(recording, recording.operations.size()).size(), 1u);
}

TEST(PowerCutModel, ASyncedFileKeepsItsData) {
    std::string log = "open 7 4 /etc/a\ntrunc 7 4 0\nwrite 7 4 0 new\nfsync 7 4\n";
    powercut::Recording recording = recordingOf(folderOf({{"a", "old"}}), log);
    // The opens and closes are no operations of their own: the cut, the write, the sync.
    ASSERT_EQ(recording.operations.size(), 3u);
    EXPECT_EQ(contentsAt(recording, 3, "a"), (std::set<std::string>{"new"}));
    EXPECT_EQ(contentsAt(recording, 2, "a"), (std::set<std::string>{"old", "", "new"}));
}

TEST(PowerCutModel, EachOperationIsLostAloneAndTheFirstOnesKeptInOrder) {
    // Three names made, none synced: 2n + 1 subsets, alike ones once (the third lost alone
    // is the first two kept).
    std::string log = "mkdir /etc/a 493\nmkdir /etc/b 493\nmkdir /etc/c 493\n";
    powercut::Recording recording = recordingOf(folderOf({}), log);
    std::vector<std::string> variants;
    for (const powercut::CrashState& state : powercut::crashStates(recording, 3))
        variants.push_back(state.variant);
    EXPECT_EQ(variants, (std::vector<std::string>{"all lost", "none lost", "first 1 kept",
                                                  "first 2 kept", "op 1 lost", "op 2 lost"}));
}

TEST(PowerCutModel, TwoRenamesLeaveAMomentWithoutTheKeyFolder) {
    powercut::Recording recording = recordingAfter(
        "mkdir /etc/update-keys 493\ncreate 1 3 /etc/update-keys/old.key 420\nwrite 1 3 0 o\n"
        "fsync 1 3\nopen 1 4 /etc/update-keys\nfsync 1 4\nopen 1 5 /etc\nfsync 1 5\n",
        "mkdir /etc/update-keys.new 493\ncreate 1 3 /etc/update-keys.new/new.key 420\n"
        "write 1 3 0 n\nfsync 1 3\nopen 1 4 /etc/update-keys.new\nfsync 1 4\n"
        "rename /etc/update-keys /etc/update-keys.old\n"
        "rename /etc/update-keys.new /etc/update-keys\nopen 1 5 /etc\nfsync 1 5\n");
    EXPECT_TRUE(powercut::watchedOf(recording.initial, "/etc").keyed);
    ASSERT_EQ(recording.operations.size(), 8u);
    EXPECT_TRUE(brokenAt(recording, 5).empty());   // the new set synced, the old one in place
    EXPECT_FALSE(brokenAt(recording, 6).empty());  // between the two renames: no key folder
    EXPECT_FALSE(brokenAt(recording, 7).empty());  // not synced: the first may be kept alone
    EXPECT_TRUE(brokenAt(recording, 8).empty());   // the folder synced
}

TEST(PowerCutModel, TheKeySetIsReadThroughALink) {
    // The link form: update-keys -> update-keys.2, swapped by renaming a new link over it.
    powercut::Recording recording = recordingAfter(
        "mkdir /etc/update-keys.1 493\ncreate 1 3 /etc/update-keys.1/a.key 420\nwrite 1 3 0 a\n"
        "fsync 1 3\nsymlink update-keys.1 /etc/update-keys\nopen 1 5 /etc\nfsync 1 5\n",
        "mkdir /etc/update-keys.2 493\ncreate 1 3 /etc/update-keys.2/b.key 420\nwrite 1 3 0 b\n"
        "fsync 1 3\nopen 1 4 /etc/update-keys.2\nfsync 1 4\n"
        // The new folder's name durable before a link names it.
        "open 1 6 /etc\nfsync 1 6\n"
        "symlink update-keys.2 /etc/update-keys.tmp\n"
        "rename /etc/update-keys.tmp /etc/update-keys\n");
    powercut::Watched old = powercut::watchedOf(recording.initial, "/etc");
    powercut::Watched now = powercut::watchedOf(recording.final, "/etc");
    EXPECT_NE(old.keys, now.keys);
    EXPECT_TRUE(now.keyed);
    for (std::size_t cut = 0; cut <= recording.operations.size(); ++cut)
        EXPECT_EQ(brokenAt(recording, cut), std::vector<std::string>{}) << "cut " << cut;
}

// The modes of path in each state a cut could leave.
std::set<unsigned> modesAt(const powercut::Recording& recording, std::size_t cut,
                           const std::string& path) {
    std::set<unsigned> modes;
    for (const powercut::CrashState& state : powercut::crashStates(recording, cut)) {
        std::optional<int> node = powercut::lookUp(state.tree, "/etc", path, true);
        if (node) modes.insert(state.tree.nodes[static_cast<std::size_t>(*node)].mode);
    }
    return modes;
}

TEST(PowerCutModel, AModeChangeIsDurableOnceTheFileItselfIsSynced) {
    // The copy made 0600, set to the old file's mode through its descriptor or by its name:
    // inode metadata, which the file's sync makes durable and its folder's doesn't.
    for (std::string change : {"fchmod 1 3 420\n", "chmod /etc/v.new 420\n"}) {
        std::string log =
            "create 1 3 /etc/v.new 384\nwrite 1 3 0 2%0A\n"
            "open 1 4 /etc\nfsync 1 4\n" +
            change + "open 1 5 /etc\nfsync 1 5\nfsync 1 3\n";
        powercut::Recording recording = recordingOf(folderOf({}), log);
        ASSERT_EQ(recording.operations.size(), 6u) << change;
        EXPECT_EQ(recording.final.nodes[1].mode, 0644u) << change;
        EXPECT_EQ(modesAt(recording, 5, "v.new"), (std::set<unsigned>{0600, 0644})) << change;
        EXPECT_EQ(modesAt(recording, 6, "v.new"), (std::set<unsigned>{0644})) << change;
    }
}

// The key set as the board reads it in the folder that the log sets up.
std::string keySetOf(const std::string& setUp) {
    return powercut::watchedOf(recordingOf(folderOf({}), setUp).final, "/etc").keys;
}

constexpr const char* kTwoSets =
    "mkdir /etc/update-keys.2 493\ncreate 1 3 /etc/update-keys.2/b.key 420\nwrite 1 3 0 b\n"
    "mkdir /etc/update-keys.10 493\ncreate 1 4 /etc/update-keys.10/c.key 420\nwrite 1 4 0 c\n"
    "create 1 5 /etc/update-keys.11 420\nmkdir /etc/update-keys.012 493\n";

TEST(PowerCutModel, TheKeySetIsTheOneTheBoardReads) {
    const std::string sets = kTwoSets;
    const std::string newest = keySetOf(sets + "symlink update-keys.10 /etc/update-keys\n");
    EXPECT_TRUE(newest.starts_with("{c.key#")) << newest;
    const std::string record = "create 1 6 /etc/update-keys.enrolled 420\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        // No link on an enrolled board: the highest-numbered set that is a real folder.
        {sets + record, newest},
        // Without the record a board whose link is missing has no keys.
        {sets, "(missing)"},
        {sets + record + "symlink update-keys.7 /etc/update-keys\n", "(missing)"},
        // A link that names anything but a set beside it by its name is refused.
        {sets + "symlink /etc/update-keys.10 /etc/update-keys\n",
         "(a link, not to a key set beside it: /etc/update-keys.10)"},
        {sets + "symlink update-keys.010 /etc/update-keys\n",
         "(a link, not to a key set beside it: update-keys.010)"},
        {sets + "create 1 6 /etc/update-keys 420\n", "(not a folder)"},
    };
    for (const auto& [setUp, keys] : cases) EXPECT_EQ(keySetOf(setUp), keys) << setUp;
}

TEST(PowerCutModel, AnEnrolledBoardKeepsItsKeysWhileItsFolderTakesTheLinkForm) {
    // The plain folder moved aside to update-keys.0 and a link renamed to its name: two
    // renames, between which an enrolled board reads update-keys.0.
    const std::string setUp =
        "mkdir /etc/update-keys 493\ncreate 1 3 /etc/update-keys/old.key 420\nwrite 1 3 0 o\n"
        "fsync 1 3\nopen 1 4 /etc/update-keys\nfsync 1 4\nopen 1 5 /etc\nfsync 1 5\n";
    const std::string move =
        "symlink update-keys.0 /etc/update-keys.link\nopen 1 5 /etc\nfsync 1 5\n"
        "rename /etc/update-keys /etc/update-keys.0\nopen 1 6 /etc\nfsync 1 6\n"
        "rename /etc/update-keys.link /etc/update-keys\nopen 1 7 /etc\nfsync 1 7\n";
    powercut::Recording enrolled =
        recordingAfter(setUp + "create 1 8 /etc/update-keys.enrolled 420\nfsync 1 8\n", move);
    powercut::Recording unrecorded = recordingAfter(setUp, move);
    EXPECT_EQ(powercut::watchedOf(enrolled.initial, "/etc").keys,
              powercut::watchedOf(enrolled.final, "/etc").keys);
    for (std::size_t cut = 0; cut <= enrolled.operations.size(); ++cut)
        EXPECT_EQ(brokenAt(enrolled, cut), std::vector<std::string>{}) << "cut " << cut;
    // After the first rename, synced: no key set on a board without the record.
    std::string keys = powercut::watchedOf(unrecorded.initial, "/etc").keys;
    EXPECT_EQ(brokenAt(unrecorded, 4),
              std::vector<std::string>{"all lost: the key set (update-keys) is neither the old "
                                       "nor the new one: (missing) (old " +
                                       keys + ", new " + keys + ")"});
}

TEST(PowerCutModel, ADurablyNewPieceThatTurnsOldAgainIsRolledBack) {
    powercut::Watched before{"{a}", "1\n", "s", "t", true, true};
    powercut::Watched after{"{b}", "2\n", "s", "t", true, true};
    powercut::Watched committed = before;
    committed.version = after.version;
    EXPECT_EQ(powercut::rolledBack(before, committed, before, after).size(), 1u);
    EXPECT_EQ(powercut::rolledBack(after, committed, before, after).size(), 0u);
}

TEST(PowerCutModel, WhatTheRecorderCouldNotFollowFailsTheReading) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"unsupported fopen /etc/a\n", "line 1: the recorder couldn't follow an operation"},
        {"write 1 9 0 x\n", "line 1: descriptor 9 of process 1 not opened under /etc"},
        {"rename /etc/missing /etc/b\n", "line 1: no such name: missing"},
        {"frobnicate /etc/a\n", "line 1: unknown operation"},
    };
    for (const auto& [log, reason] : cases) {
        std::string error;
        EXPECT_FALSE(powercut::readRecording(folderOf({{"a", ""}}), "/etc", log, &error));
        EXPECT_TRUE(error.starts_with(reason)) << error;
    }
}

}  // namespace
