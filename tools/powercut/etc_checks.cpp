#include "tools/powercut/etc_checks.h"

#include <optional>

namespace powercut {

namespace {

constexpr const char* kAbsent = "(missing)";

std::string fileText(const Tree& tree, const std::string& root, const std::string& name,
                     bool follow) {
    std::optional<int> node = lookUp(tree, root, name, follow);
    if (!node) return kAbsent;
    const Node& found = tree.nodes[static_cast<std::size_t>(*node)];
    if (found.kind != Node::Kind::File) return "(not a file)";
    return found.bytes;
}

struct Piece {
    const char* name;
    std::string Watched::*text;
};

constexpr Piece kPieces[] = {
    {"the key folder update-keys", &Watched::keys},
    {"the security version update-security-version", &Watched::version},
    {"service.txt", &Watched::services},
    {"terminal.txt", &Watched::terminal},
};

// What a reader sees of a piece: the key set by its names, the others by their first line.
std::string shown(const Piece& piece, const std::string& text) {
    if (piece.text == &Watched::keys || text.starts_with("(")) return text;
    std::size_t end = text.find('\n');
    std::string first = text.substr(0, end == std::string::npos ? text.size() : end);
    return std::to_string(text.size()) + " bytes" + (first.empty() ? "" : ": " + first);
}

}  // namespace

Watched watchedOf(const Tree& tree, const std::string& root) {
    Watched watched;
    std::optional<int> folder = lookUp(tree, root, "update-keys", true);
    if (!folder) {
        watched.keys = kAbsent;
    } else if (tree.nodes[static_cast<std::size_t>(*folder)].kind != Node::Kind::Folder) {
        watched.keys = "(not a folder)";
    } else {
        watched.keys = "{";
        for (const auto& [name, node] : tree.nodes[static_cast<std::size_t>(*folder)].entries) {
            const Node& key = tree.nodes[static_cast<std::size_t>(node)];
            watched.keys += (watched.keys.size() > 1 ? " " : "") + name;
            if (key.kind != Node::Kind::File) watched.keys += "(not a file)";
            if (key.kind == Node::Kind::File && key.bytes.empty()) watched.keys += "(empty)";
            watched.keys += "#" + std::to_string(std::hash<std::string>{}(key.bytes) % 1000000007);
            if (name.ends_with(".key")) watched.keyed = true;
        }
        watched.keys += "}";
    }
    watched.version = fileText(tree, root, "update-security-version", false);
    watched.services = fileText(tree, root, "service.txt", false);
    watched.terminal = fileText(tree, root, "terminal.txt", false);
    return watched;
}

std::vector<std::string> brokenPieces(const Watched& state, const Watched& before,
                                      const Watched& after) {
    std::vector<std::string> broken;
    for (const Piece& piece : kPieces) {
        const std::string& text = state.*piece.text;
        if (text == before.*piece.text || text == after.*piece.text) continue;
        broken.push_back(std::string(piece.name) + " is neither the old nor the new one: " +
                         shown(piece, text) + " (old " + shown(piece, before.*piece.text) +
                         ", new " + shown(piece, after.*piece.text) + ")");
    }
    return broken;
}

std::vector<std::string> rolledBack(const Watched& state, const Watched& committed,
                                    const Watched& before, const Watched& after) {
    std::vector<std::string> lost;
    for (const Piece& piece : kPieces) {
        const std::string& now = after.*piece.text;
        if (now == before.*piece.text || committed.*piece.text != now) continue;
        if (state.*piece.text != now)
            lost.push_back(std::string(piece.name) + " was durably new and is old again");
    }
    return lost;
}

}  // namespace powercut
