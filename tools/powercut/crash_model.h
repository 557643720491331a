// The states a power cut could leave in a folder (the board's /etc), from the folder as it was
// and the operations logged on it (sim/recorder/etc_recorder.cpp's log, one a line).
//
// The model is the usual one of crash-consistency studies: a file's data (its writes and cuts)
// is durable once the file is synced; a name made or changed in a folder (a creation, a rename,
// a link, a removal) once that folder is synced (a rename across two folders once both are); a
// mode changed (the metadata of a file's or folder's inode) once that file or folder itself is
// synced, not the folder that names it; a global sync makes everything durable. Any operation
// not yet durable at the cut may be lost or kept, each a unit (a write's bytes all or none; a
// rename's two names together). The operations kept apply in the order they were made, over
// the nodes (inodes) they were made on: a kept write to a file whose creation was lost lands
// in a file no name reaches.
//
// The subsets of the not yet durable operations that the check builds, for n of them: none
// kept (what the syncs promise), all kept (what the programs saw), the first k kept for every
// k (file systems that keep their journal's order), and all but one (a file system that keeps
// the operations out of order: each one alone lost). 2n + 1 subsets, not 2^n: every
// operation is lost at least once, alone and with all that follow it.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace powercut {

struct Node {
    enum class Kind { File, Folder, Link };
    Kind kind = Kind::File;
    std::string bytes;                   // a file's data, a link's target
    std::map<std::string, int> entries;  // a folder's names and their nodes
    unsigned mode = 0644;
};

// The folder's nodes; node 0 is the folder itself.
struct Tree {
    std::vector<Node> nodes;
};

// One logged operation as its effects on the nodes.
struct Effect {
    enum class Kind { SetName, Write, Truncate, SetMode };
    Kind kind = Kind::Write;
    int node = 0;
    std::string name;      // SetName: the name in folder node
    int child = -1;        // SetName: the node it now names, -1 for none
    long long offset = 0;  // Write: where; Truncate: the new size; SetMode: the mode
    std::string bytes;     // Write
};

struct Operation {
    std::size_t line = 0;  // in the log, from 1
    std::string text;      // the log's line, shortened
    std::vector<Effect> effects;
    std::vector<int> syncedBy;  // the nodes whose sync makes it durable
    std::optional<int> syncs;   // a sync of this node
    bool syncsAll = false;
};

struct Recording {
    Tree initial;  // the folder before, with every node made later in its fresh state
    std::vector<Operation> operations;
    Tree final;  // with every operation applied: what the programs saw at the end
};

// Reads the log over the folder initial (its paths are under root, e.g. "/etc"); nullopt with
// error set (line number and what is wrong) when the log names what the folder lacks, or an
// operation the model can't follow.
std::optional<Recording> readRecording(const Tree& initial, const std::string& root,
                                       const std::string& log, std::string* error);

// The operations before cut (0: none made, operations.size(): all) that no sync has made
// durable by then, by index.
std::vector<std::size_t> pendingAt(const Recording& recording, std::size_t cut);

struct CrashState {
    std::string variant;  // "none lost", "all lost", "first K kept", "op N lost"
    Tree tree;
};

// The states a power cut at cut could leave (the subsets above), alike ones once; the first is
// the durable one (all lost).
std::vector<CrashState> crashStates(const Recording& recording, std::size_t cut);

// The folder as text: one line per path (sorted), with its kind, mode and bytes; two trees
// have the same text when a reader of the folder can't tell them apart.
std::string treeText(const Tree& tree);

// The node a path under the folder leads to ("update-keys/a.key"; "" the folder itself),
// following links (relative, or absolute under root) when follow is set for the last name.
std::optional<int> lookUp(const Tree& tree, const std::string& root, const std::string& path,
                          bool followLast);

}  // namespace powercut
