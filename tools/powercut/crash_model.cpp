#include "tools/powercut/crash_model.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <sstream>

namespace powercut {

namespace {

constexpr int kMaxLinks = 16;

std::vector<std::string> components(const std::string& path) {
    std::vector<std::string> parts;
    std::stringstream stream(path);
    std::string part;
    while (std::getline(stream, part, '/')) {
        if (!part.empty() && part != ".") parts.push_back(part);
    }
    return parts;
}

// The path's names below root, or nullopt for a path outside it.
std::optional<std::vector<std::string>> underRoot(const std::string& root,
                                                  const std::string& path) {
    std::vector<std::string> top = components(root);
    std::vector<std::string> parts = components(path);
    if (parts.size() < top.size() || !std::equal(top.begin(), top.end(), parts.begin()))
        return std::nullopt;
    return std::vector<std::string>(parts.begin() + static_cast<long>(top.size()), parts.end());
}

struct Walk {
    const Tree& tree;
    const std::string& root;
    int links = 0;

    // Follows names from folder node at; nullopt when one is missing or not a folder.
    std::optional<int> follow(int at, std::vector<std::string> names, bool followLast) {
        std::vector<int> folders = {at};
        for (std::size_t i = 0; i < names.size(); ++i) {
            const std::string& name = names[i];
            if (name == "..") {
                if (folders.size() > 1) folders.pop_back();
                continue;
            }
            const Node& folder = tree.nodes[static_cast<std::size_t>(folders.back())];
            if (folder.kind != Node::Kind::Folder) return std::nullopt;
            auto entry = folder.entries.find(name);
            if (entry == folder.entries.end()) return std::nullopt;
            int node = entry->second;
            const Node& found = tree.nodes[static_cast<std::size_t>(node)];
            bool last = i + 1 == names.size();
            if (found.kind == Node::Kind::Link && (!last || followLast)) {
                std::optional<int> target = followLink(folders, found.bytes);
                if (!target) return std::nullopt;
                node = *target;
            }
            folders.push_back(node);
        }
        return folders.back();
    }

    std::optional<int> followLink(std::vector<int> folders, const std::string& target) {
        if (++links > kMaxLinks) return std::nullopt;
        if (target.starts_with("/")) {
            std::optional<std::vector<std::string>> names = underRoot(root, target);
            if (!names) return std::nullopt;
            return follow(0, *names, true);
        }
        // Relative to the link's folder: ".." climbs the folders walked so far.
        std::vector<std::string> names = components(target);
        int at = folders.back();
        while (!names.empty() && names.front() == ".." && folders.size() > 1) {
            folders.pop_back();
            at = folders.back();
            names.erase(names.begin());
        }
        return follow(at, names, true);
    }
};

// A name's folder and the name itself.
struct Place {
    int folder = 0;
    std::string name;
};

std::optional<Place> placeOf(const Tree& tree, const std::string& root, const std::string& path) {
    std::optional<std::vector<std::string>> names = underRoot(root, path);
    if (!names || names->empty()) return std::nullopt;
    std::string name = names->back();
    names->pop_back();
    Walk walk{tree, root};
    std::optional<int> folder = walk.follow(0, *names, true);
    if (!folder || tree.nodes[static_cast<std::size_t>(*folder)].kind != Node::Kind::Folder)
        return std::nullopt;
    return Place{*folder, name};
}

void apply(Tree& tree, const Effect& effect) {
    Node& node = tree.nodes[static_cast<std::size_t>(effect.node)];
    switch (effect.kind) {
        case Effect::Kind::SetName:
            if (effect.child < 0) {
                node.entries.erase(effect.name);
            } else {
                node.entries[effect.name] = effect.child;
            }
            break;
        case Effect::Kind::Write: {
            auto end = static_cast<std::size_t>(effect.offset) + effect.bytes.size();
            if (node.bytes.size() < end) node.bytes.resize(end, '\0');
            node.bytes.replace(static_cast<std::size_t>(effect.offset), effect.bytes.size(),
                               effect.bytes);
            break;
        }
        case Effect::Kind::Truncate:
            node.bytes.resize(static_cast<std::size_t>(effect.offset), '\0');
            break;
        case Effect::Kind::SetMode:
            node.mode = static_cast<unsigned>(effect.offset) & 07777;
            break;
    }
}

void applyAll(Tree& tree, const Operation& operation) {
    for (const Effect& effect : operation.effects) apply(tree, effect);
}

std::string decoded(const std::string& text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            bytes += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            bytes += text[i];
        }
    }
    return bytes;
}

// Reads the log's lines one by one into operations over a tree that follows along.
struct Reader {
    const std::string& root;
    Recording recording;
    std::map<std::pair<std::string, std::string>, int> open;  // (pid, fd): node
    std::string error;

    int newNode(Node::Kind kind, std::string bytes, unsigned mode) {
        Node node;
        node.kind = kind;
        node.bytes = std::move(bytes);
        node.mode = mode;
        recording.initial.nodes.push_back(node);
        recording.final.nodes.push_back(node);
        return static_cast<int>(recording.final.nodes.size()) - 1;
    }

    std::optional<Place> place(const std::string& path) {
        std::optional<Place> found = placeOf(recording.final, root, decoded(path));
        if (!found) error = "no folder holds " + decoded(path);
        return found;
    }

    std::optional<int> named(const Place& at) {
        const Node& folder = recording.final.nodes[static_cast<std::size_t>(at.folder)];
        auto entry = folder.entries.find(at.name);
        if (entry != folder.entries.end()) return entry->second;
        error = "no such name: " + at.name;
        return std::nullopt;
    }

    std::optional<int> fileOf(const std::string& pid, const std::string& fd) {
        auto found = open.find({pid, fd});
        if (found != open.end()) return found->second;
        error = "descriptor " + fd + " of process " + pid + " not opened under " + root;
        return std::nullopt;
    }

    void addName(Operation& operation, const Place& at, int child) {
        operation.effects.push_back({Effect::Kind::SetName, at.folder, at.name, child, 0, {}});
        if (std::find(operation.syncedBy.begin(), operation.syncedBy.end(), at.folder) ==
            operation.syncedBy.end())
            operation.syncedBy.push_back(at.folder);
    }

    bool names(const std::vector<std::string>& words, Operation& operation);
    bool descriptors(const std::vector<std::string>& words, Operation& operation, bool* made);
    bool made(const std::vector<std::string>& words, Operation& operation);
    bool mode(const std::vector<std::string>& words, Operation& operation);
    bool line(const std::string& text, Operation& operation, bool* keep);
};

// Renames, exchanges, links and removals.
bool Reader::names(const std::vector<std::string>& words, Operation& operation) {
    const std::string& what = words[0];
    if ((what == "unlink" || what == "rmdir") && words.size() == 2) {
        std::optional<Place> at = place(words[1]);
        if (!at || !named(*at)) return false;
        addName(operation, *at, -1);
        return true;
    }
    if (words.size() != 3) return false;
    std::optional<Place> from = place(words[1]);
    std::optional<Place> to = place(words[2]);
    if (!from || !to) return false;
    std::optional<int> node = named(*from);
    if (!node) return false;
    if (what == "link") {
        addName(operation, *to, *node);
    } else if (what == "exchange") {
        std::optional<int> other = named(*to);
        if (!other) return false;
        addName(operation, *from, *other);
        addName(operation, *to, *node);
    } else if (from->folder != to->folder || from->name != to->name) {
        addName(operation, *to, *node);
        addName(operation, *from, -1);
    }
    return true;
}

// Creations: files (with their descriptor), folders and links.
bool Reader::made(const std::vector<std::string>& words, Operation& operation) {
    const std::string& what = words[0];
    bool create = what == "create" && words.size() == 5;
    if (!create && words.size() != 3) return false;
    std::optional<Place> at = place(create ? words[3] : what == "symlink" ? words[2] : words[1]);
    if (!at) return false;
    int node = 0;
    if (create) {
        node = newNode(Node::Kind::File, "", static_cast<unsigned>(std::stoul(words[4])));
        open[{words[1], words[2]}] = node;
    } else if (what == "mkdir") {
        node = newNode(Node::Kind::Folder, "", static_cast<unsigned>(std::stoul(words[2])));
    } else {
        node = newNode(Node::Kind::Link, decoded(words[1]), 0777);
    }
    addName(operation, *at, node);
    return true;
}

// A mode changed by path (the last name followed, as chmod does). Like one changed through a
// descriptor it is the node's metadata: durable once the node itself is synced.
bool Reader::mode(const std::vector<std::string>& words, Operation& operation) {
    if (words.size() != 3) return false;
    std::optional<std::vector<std::string>> names = underRoot(root, decoded(words[1]));
    Walk walk{recording.final, root};
    // A node's index, -1 for none: gcc 12 at -Os takes an optional read here for uninitialised.
    const int node = names ? walk.follow(0, *names, true).value_or(-1) : -1;
    if (node < 0) {
        error = "nothing at " + decoded(words[1]);
        return false;
    }
    operation.effects.push_back({Effect::Kind::SetMode, node, "", -1, std::stoll(words[2]), {}});
    operation.syncedBy = {node};
    return true;
}

// The operations on a descriptor; made is cleared for those that change nothing on their own.
bool Reader::descriptors(const std::vector<std::string>& words, Operation& operation, bool* made) {
    const std::string& what = words[0];
    if (words.size() < 3) return false;
    if (what == "open") {
        std::optional<std::vector<std::string>> names =
            words.size() == 4 ? underRoot(root, decoded(words[3])) : std::nullopt;
        Walk walk{recording.final, root};
        std::optional<int> node = names ? walk.follow(0, *names, true) : std::nullopt;
        if (!node) {
            error = "nothing to open";
            return false;
        }
        open[{words[1], words[2]}] = *node;
        *made = false;
        return true;
    }
    if (what == "close" || what == "dup") {
        if (what == "dup" && words.size() == 4) {
            std::optional<int> node = fileOf(words[1], words[2]);
            if (!node) return false;
            open[{words[1], words[3]}] = *node;
        } else {
            open.erase({words[1], words[2]});
        }
        *made = false;
        return true;
    }
    std::optional<int> node = fileOf(words[1], words[2]);
    if (!node) return false;
    if (what == "fsync" && words.size() == 3) {
        operation.syncs = *node;
        return true;
    }
    operation.syncedBy = {*node};
    if (what == "trunc" && words.size() == 4) {
        operation.effects.push_back(
            {Effect::Kind::Truncate, *node, "", -1, std::stoll(words[3]), {}});
        return true;
    }
    if (what == "fchmod" && words.size() == 4) {
        operation.effects.push_back(
            {Effect::Kind::SetMode, *node, "", -1, std::stoll(words[3]), {}});
        return true;
    }
    if (what == "write" && words.size() == 5) {
        operation.effects.push_back(
            {Effect::Kind::Write, *node, "", -1, std::stoll(words[3]), decoded(words[4])});
        return true;
    }
    return false;
}

bool Reader::line(const std::string& text, Operation& operation, bool* keep) {
    std::vector<std::string> words;
    std::stringstream stream(text);
    std::string word;
    while (stream >> word) words.push_back(word);
    *keep = true;
    if (words.empty()) return false;
    const std::string& what = words[0];
    if (what == "sync" && words.size() == 1) {
        operation.syncsAll = true;
        return true;
    }
    if (what == "unsupported") {
        error = "the recorder couldn't follow an operation";
        return false;
    }
    if (what == "create" || what == "mkdir" || what == "symlink") return made(words, operation);
    if (what == "rename" || what == "exchange" || what == "link" || what == "unlink" ||
        what == "rmdir")
        return names(words, operation);
    if (what == "chmod") return mode(words, operation);
    if (what == "open" || what == "close" || what == "dup" || what == "fsync" || what == "write" ||
        what == "trunc" || what == "fchmod")
        return descriptors(words, operation, keep);
    error = "unknown operation";
    return false;
}

// Whether operation index is durable by cut.
bool durableBy(const Recording& recording, std::size_t index, std::size_t cut) {
    const Operation& operation = recording.operations[index];
    for (int node : operation.syncedBy) {
        bool synced = false;
        for (std::size_t later = index + 1; later < cut && !synced; ++later) {
            const Operation& sync = recording.operations[later];
            synced = sync.syncsAll || sync.syncs == node;
        }
        if (!synced) return false;
    }
    return true;
}

std::string octal(unsigned mode) {
    char text[16];
    std::snprintf(text, sizeof text, "%04o", mode & 07777);
    return text;
}

void describe(const Tree& tree, int at, const std::string& path, std::set<int>& seen,
              std::string& text) {
    const Node& node = tree.nodes[static_cast<std::size_t>(at)];
    if (!seen.insert(at).second) {
        text += path + " hard link\n";
        return;
    }
    if (node.kind == Node::Kind::Folder) {
        text += path + "/ folder " + octal(node.mode) + "\n";
        for (const auto& [name, child] : node.entries)
            describe(tree, child, path + "/" + name, seen, text);
    } else if (node.kind == Node::Kind::Link) {
        text += path + " link -> " + node.bytes + "\n";
    } else {
        text += path + " file " + octal(node.mode) + " " + std::to_string(node.bytes.size()) + " " +
                node.bytes + "\n";
    }
}

}  // namespace

std::optional<Recording> readRecording(const Tree& initial, const std::string& root,
                                       const std::string& log, std::string* error) {
    Reader reader{root, {initial, {}, initial}, {}, {}};
    std::stringstream stream(log);
    std::string text;
    for (std::size_t number = 1; std::getline(stream, text); ++number) {
        Operation operation;
        operation.line = number;
        operation.text = text.size() > 72 ? text.substr(0, 69) + "..." : text;
        bool keep = true;
        if (!reader.line(text, operation, &keep)) {
            if (reader.error.empty()) reader.error = "malformed operation";
            *error = "line " + std::to_string(number) + ": " + reader.error + ": " + operation.text;
            return std::nullopt;
        }
        if (!keep) continue;
        applyAll(reader.recording.final, operation);
        reader.recording.operations.push_back(std::move(operation));
    }
    return std::move(reader.recording);
}

std::vector<std::size_t> pendingAt(const Recording& recording, std::size_t cut) {
    cut = std::min(cut, recording.operations.size());
    std::vector<std::size_t> pending;
    for (std::size_t index = 0; index < cut; ++index) {
        const Operation& operation = recording.operations[index];
        if (!operation.effects.empty() && !durableBy(recording, index, cut))
            pending.push_back(index);
    }
    return pending;
}

std::vector<CrashState> crashStates(const Recording& recording, std::size_t cut) {
    cut = std::min(cut, recording.operations.size());
    std::vector<std::size_t> pending = pendingAt(recording, cut);
    auto build = [&](std::string variant, auto kept) {
        CrashState state{std::move(variant), recording.initial};
        for (std::size_t index = 0; index < cut; ++index) {
            auto at = std::find(pending.begin(), pending.end(), index);
            if (at == pending.end() || kept(static_cast<std::size_t>(at - pending.begin())))
                applyAll(state.tree, recording.operations[index]);
        }
        return state;
    };
    std::vector<CrashState> states;
    std::set<std::string> seen;
    auto add = [&](CrashState state) {
        if (seen.insert(treeText(state.tree)).second) states.push_back(std::move(state));
    };
    add(build("all lost", [](std::size_t) { return false; }));
    add(build("none lost", [](std::size_t) { return true; }));
    for (std::size_t k = 1; k < pending.size(); ++k)
        add(build("first " + std::to_string(k) + " kept", [k](std::size_t i) { return i < k; }));
    for (std::size_t lost = 0; lost < pending.size(); ++lost) {
        std::string name = "op " + std::to_string(pending[lost] + 1) + " lost";
        add(build(name, [lost](std::size_t i) { return i != lost; }));
    }
    return states;
}

std::string treeText(const Tree& tree) {
    std::string text;
    std::set<int> seen;
    describe(tree, 0, "", seen, text);
    return text;
}

std::optional<int> lookUp(const Tree& tree, const std::string& root, const std::string& path,
                          bool followLast) {
    Walk walk{tree, root};
    return walk.follow(0, components(path), followLast);
}

}  // namespace powercut
