#include "tools/common/archive_listing.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "tools/common/formatted.h"
#include "tools/common/gzip_reader.h"
#include "update/step_table.h"

namespace mkupdate {
namespace {

constexpr std::string_view kTodoPath = "update.d/updatetodo.txt";
constexpr std::string_view kVersionPath = "update.d/VERSION";
// The daemon reads the to-do file and VERSION at most 1022 characters at a time; a longer
// line comes in pieces, each taken as a line of its own.
constexpr std::size_t kLinePiece = 1022;

// The lines of a text as the daemon's reads give them, line feeds kept.
std::vector<std::string_view> readPieces(std::string_view text) {
    std::vector<std::string_view> pieces;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::size_t length =
            std::min(end == std::string_view::npos ? text.size() : end + 1, kLinePiece);
        pieces.push_back(text.substr(0, length));
        text.remove_prefix(length);
    }
    return pieces;
}

std::string modeText(const ArchiveEntry& entry) {
    char type = entry.type == '5' ? 'd' : entry.type == '2' ? 'l' : entry.type == '0' ? '-' : '?';
    std::string text(1, type);
    for (int shift = 6; shift >= 0; shift -= 3) {
        text += (entry.mode >> shift) & 4 ? 'r' : '-';
        text += (entry.mode >> shift) & 2 ? 'w' : '-';
        text += (entry.mode >> shift) & 1 ? 'x' : '-';
    }
    return text;
}

// The steps that the daemon selects, in order, and the lines it ignores.
std::string todoText(std::string_view todo, std::vector<std::string>* selectedSteps,
                     std::vector<std::string>* unknownLines) {
    std::string steps, ignored;
    std::size_t selected = 0;
    std::size_t number = 0;
    for (std::string_view line : readPieces(todo)) {
        ++number;
        if (line.starts_with('#')) continue;
        const UpdateStep* match = nullptr;
        for (const UpdateStep& step : stepTable) {
            if (step.keyword != nullptr && line.starts_with(step.keyword)) {
                match = &step;
                break;
            }
        }
        if (match == nullptr) {
            if (line.ends_with('\n')) line.remove_suffix(1);
            if (line.empty()) continue;
            unknownLines->push_back(formatted("line %zu ", number) + quotedText(line));
            ignored += "  ignored    " + unknownLines->back() + "\n";
            continue;
        }
        if (++selected > kMaxListedSteps) {
            steps += formatted("  dropped    line %zu %s (more than %zu steps)\n", number,
                               match->keyword, kMaxListedSteps);
            continue;
        }
        steps += formatted("  step %-5zu %s\n", selected, match->keyword);
        selectedSteps->push_back(match->keyword);
    }
    return formatted("to-do list   %zu steps\n", std::min(selected, kMaxListedSteps)) + steps +
           ignored;
}

// The value of each component's line, as the version check takes it.
std::string versionText(std::string_view versions,
                        std::array<std::optional<std::string>, 3>* values) {
    std::string text = "versions\n";
    std::vector<std::string_view> pieces = readPieces(versions);
    for (std::size_t i = 0; i < values->size(); ++i) {
        const ComponentVersion& component = kInitialComponentTable[i];
        std::string_view keyword = component.keyword;
        std::string value = "not found";
        for (std::string_view line : pieces) {
            if (!line.starts_with(keyword)) continue;
            std::size_t first = keyword.size() + 1;  // after the separator
            (*values)[i] =
                line.size() > first + 1 ? line.substr(first, line.size() - 1 - first) : "";
            value = quotedText(*(*values)[i]);
            break;
        }
        text += formatted("  %-14s", component.keyword) + value + "\n";
    }
    return text;
}

}  // namespace

std::string_view placedPath(std::string_view name) {
    while (name.starts_with("./")) name.remove_prefix(2);
    return name;
}

const ArchiveEntry* findArchiveFile(const std::vector<ArchiveEntry>& entries,
                                    std::string_view path) {
    const ArchiveEntry* found = nullptr;
    // The last member of a name is the one left on disk.
    for (const ArchiveEntry& entry : entries) {
        if (entry.type == '0' && placedPath(entry.name) == path) found = &entry;
    }
    return found;
}

std::string quotedText(std::string_view text) {
    std::string quoted = "\"";
    for (unsigned char c : text) {
        if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') {
            quoted += formatted("\\x%02X", static_cast<unsigned>(c));
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
}

ArchiveListing listUpdateArchive(std::span<const std::uint8_t> archive) {
    ArchiveListing listing;
    auto tar = gzipDecompress(archive, kMaxArchiveSize, &listing.failure);
    std::optional<std::vector<ArchiveEntry>> entries;
    if (tar) entries = readTarArchive(*tar, &listing.failure);
    if (!entries) {
        listing.text = "archive      BAD: " + listing.failure + "\n";
        listing.failure = "update archive: " + listing.failure;
        return listing;
    }
    listing.text = formatted("archive      gzip of a tar archive of %zu bytes, %zu members\n",
                             tar->size(), entries->size());
    for (const ArchiveEntry& entry : *entries) {
        listing.text += "  " + modeText(entry) + formatted(" %9zu ", entry.content.size()) +
                        quotedText(entry.name) + "\n";
    }
    ArchiveContents& contents = listing.contents;
    contents.tarSize = tar->size();
    const ArchiveEntry* todo = findArchiveFile(*entries, kTodoPath);
    const ArchiveEntry* versions = findArchiveFile(*entries, kVersionPath);
    contents.todoFound = todo != nullptr;
    contents.versionFound = versions != nullptr;
    auto text = [](const ArchiveEntry* entry) {
        return std::string_view(reinterpret_cast<const char*>(entry->content.data()),
                                entry->content.size());
    };
    listing.text += todo ? todoText(text(todo), &contents.steps, &contents.unknownLines)
                         : "to-do list   none (no update.d/updatetodo.txt)\n";
    listing.text += versions ? versionText(text(versions), &contents.versions)
                             : "versions     none (no update.d/VERSION)\n";
    contents.entries = std::move(*entries);
    return listing;
}

}  // namespace mkupdate
