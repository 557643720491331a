#include "tools/powercut/etc_checks.h"

#include <cstdint>
#include <optional>

namespace powercut {

namespace {

constexpr const char* kAbsent = "(missing)";
constexpr const char* kKeyLink = "update-keys";
constexpr std::size_t kMaxSetDigits = 9;

// N of a name "update-keys.N" (digits, no leading zero but in "0"), or -1.
std::int64_t setNumber(const std::string& name) {
    std::string head = std::string(kKeyLink) + ".";
    if (!name.starts_with(head)) return -1;
    std::string digits = name.substr(head.size());
    if (digits.empty() || digits.size() > kMaxSetDigits || (digits.size() > 1 && digits[0] == '0'))
        return -1;
    std::int64_t number = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return -1;
        number = number * 10 + (c - '0');
    }
    return number;
}

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
    {"the key set (update-keys)", &Watched::keys},
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

std::optional<int> boardKeySet(const Tree& tree, const std::string& root, std::string* why) {
    const Node& top = tree.nodes[0];
    auto named = [&](const std::string& name) -> const Node* {
        auto entry = top.entries.find(name);
        return entry == top.entries.end() ? nullptr
                                          : &tree.nodes[static_cast<std::size_t>(entry->second)];
    };
    const Node* link = named(kKeyLink);
    // A link counts only when it names a set beside it by its name alone: the daemon refuses
    // every image through any other.
    if (link != nullptr && link->kind == Node::Kind::Link && setNumber(link->bytes) < 0) {
        *why = "(a link, not to a key set beside it: " + link->bytes + ")";
        return std::nullopt;
    }
    std::optional<int> folder;
    if (link != nullptr) {
        folder = lookUp(tree, root, kKeyLink, true);
    } else if (named(std::string(kKeyLink) + ".enrolled") != nullptr) {
        // Between the two renames that move a plain folder aside and the link in its place,
        // or between the record and a first set's link: the newest set.
        std::int64_t newest = -1;
        for (const auto& [name, node] : top.entries) {
            std::int64_t number = setNumber(name);
            if (number > newest &&
                tree.nodes[static_cast<std::size_t>(node)].kind == Node::Kind::Folder) {
                newest = number;
                folder = node;
            }
        }
    }
    if (!folder) {
        *why = kAbsent;
    } else if (tree.nodes[static_cast<std::size_t>(*folder)].kind != Node::Kind::Folder) {
        *why = "(not a folder)";
        folder.reset();
    }
    return folder;
}

Watched watchedOf(const Tree& tree, const std::string& root) {
    Watched watched;
    std::optional<int> folder = boardKeySet(tree, root, &watched.keys);
    if (folder) {
        // Appended piece by piece: gcc 12 at -O3 takes a literal joined to a string here for
        // an overlapping copy (-Wrestrict) and refuses the board's Release build.
        std::string keys(1, '{');
        for (const auto& [name, node] : tree.nodes[static_cast<std::size_t>(*folder)].entries) {
            const Node& key = tree.nodes[static_cast<std::size_t>(node)];
            if (keys.size() > 1) keys.push_back(' ');
            keys.append(name);
            if (key.kind != Node::Kind::File) keys.append("(not a file)");
            if (key.kind == Node::Kind::File && key.bytes.empty()) keys.append("(empty)");
            keys.push_back('#');
            keys.append(std::to_string(std::hash<std::string>{}(key.bytes) % 1000000007));
            if (name.ends_with(".key")) watched.keyed = true;
        }
        keys.push_back('}');
        watched.keys = std::move(keys);
    }
    watched.enrolled = tree.nodes[0].entries.contains(std::string(kKeyLink) + ".enrolled");
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
