#include "tools/common/tar_archive.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace mkupdate {
namespace {

constexpr std::size_t kBlockSize = 512;
constexpr std::size_t kRecordSize = 20 * kBlockSize;
constexpr std::size_t kNameField = 100;
constexpr std::size_t kPrefixField = 155;
constexpr std::uint64_t kMaxMemberSize = 077777777777;  // 11 octal digits

using Block = std::array<std::uint8_t, kBlockSize>;

void putText(Block& block, std::size_t offset, const std::string& text) {
    std::memcpy(block.data() + offset, text.data(), text.size());
}

// An octal number of width - 1 digits and a terminating zero.
void putOctal(Block& block, std::size_t offset, std::size_t width, std::uint64_t value) {
    char field[16];
    std::snprintf(field, sizeof field, "%0*llo", static_cast<int>(width - 1),
                  static_cast<unsigned long long>(value));
    std::memcpy(block.data() + offset, field, width);
}

// Splits a long name at a "/" into the prefix and name fields of the header.
bool splitName(const std::string& name, std::string* prefix, std::string* rest) {
    if (name.size() <= kNameField) {
        prefix->clear();
        *rest = name;
        return true;
    }
    // The name field must take what follows the last "/" that keeps the prefix short enough.
    for (std::size_t slash = std::min(name.size() - 1, kPrefixField); slash > 0; --slash) {
        if (name[slash] != '/') continue;
        std::size_t restLength = name.size() - slash - 1;
        if (restLength == 0) continue;
        if (restLength > kNameField) return false;
        *prefix = name.substr(0, slash);
        *rest = name.substr(slash + 1);
        return true;
    }
    return false;
}

bool memberHeader(const TarMember& member, Block& block, std::string* error) {
    block.fill(0);
    std::string prefix;
    std::string name;
    if (member.name.empty() || !splitName(member.name, &prefix, &name)) {
        *error = "name \"" + member.name + "\" doesn't fit a tar header";
        return false;
    }
    if (member.content.size() > kMaxMemberSize) {
        *error = "file \"" + member.name + "\" is too big for a tar archive";
        return false;
    }
    putText(block, 0, name);
    putOctal(block, 100, 8, member.folder || member.executable ? 0755 : 0644);
    putOctal(block, 108, 8, 0);  // owner
    putOctal(block, 116, 8, 0);  // group
    putOctal(block, 124, 12, member.folder ? 0 : member.content.size());
    putOctal(block, 136, 12, 0);  // time
    block[156] = member.folder ? '5' : '0';
    putText(block, 257,
            std::string("ustar\0"
                        "00",
                        8));
    putText(block, 265, "root");
    putText(block, 297, "root");
    putOctal(block, 329, 8, 0);
    putOctal(block, 337, 8, 0);
    putText(block, 345, prefix);
    // The checksum is taken with its own field filled with blanks.
    std::memset(block.data() + 148, ' ', 8);
    unsigned sum = 0;
    for (std::uint8_t byte : block) sum += byte;
    char field[8];
    std::snprintf(field, sizeof field, "%06o", sum);
    std::memcpy(block.data() + 148, field, 7);  // six digits and a zero; the blank stays
    return true;
}

// A number field: octal digits after optional blanks, ended by a blank, a zero or the field's
// end; or, when its first byte has the high bit set, a big-endian binary number.
std::optional<std::uint64_t> readNumber(std::span<const std::uint8_t> field) {
    std::uint64_t value = 0;
    if ((field[0] & 0x80) != 0) {
        value = field[0] & 0x7F;
        for (std::size_t i = 1; i < field.size(); ++i) {
            if ((value >> 56) != 0) return std::nullopt;
            value = (value << 8) | field[i];
        }
        return value;
    }
    std::size_t at = 0;
    while (at < field.size() && field[at] == ' ') ++at;
    for (; at < field.size() && field[at] != ' ' && field[at] != 0; ++at) {
        if (field[at] < '0' || field[at] > '7' || value > (UINT64_MAX >> 3)) return std::nullopt;
        value = value * 8 + (field[at] - '0');
    }
    return value;
}

std::string readText(std::span<const std::uint8_t> field) {
    std::size_t length = 0;
    while (length < field.size() && field[length] != 0) ++length;
    return std::string(field.begin(), field.begin() + static_cast<long>(length));
}

// The "path" record of a pax header ("LENGTH path=VALUE" and a line feed), or "".
std::string paxPath(const std::vector<std::uint8_t>& content) {
    std::string text(content.begin(), content.end());
    for (std::size_t at = 0; at < text.size();) {
        std::size_t blank = text.find(' ', at);
        if (blank == std::string::npos) break;
        std::size_t length = std::strtoul(text.c_str() + at, nullptr, 10);
        if (length == 0 || at + length > text.size()) break;
        std::string record = text.substr(blank + 1, at + length - blank - 2);
        if (record.starts_with("path=")) return record.substr(5);
        at += length;
    }
    return "";
}

}  // namespace

std::optional<std::vector<ArchiveEntry>> readTarArchive(std::span<const std::uint8_t> archive,
                                                        std::string* error) {
    std::vector<ArchiveEntry> entries;
    std::string longName;
    for (std::size_t at = 0; at < archive.size();) {
        if (archive.size() - at < kBlockSize) {
            *error = "tar header at offset " + std::to_string(at) + " cut short";
            return std::nullopt;
        }
        auto header = archive.subspan(at, kBlockSize);
        if (std::all_of(header.begin(), header.end(), [](std::uint8_t b) { return b == 0; }))
            return entries;
        std::string where = "tar header at offset " + std::to_string(at);
        unsigned sum = 8 * ' ';
        for (std::size_t i = 0; i < kBlockSize; ++i) sum += i >= 148 && i < 156 ? 0 : header[i];
        auto checksum = readNumber(header.subspan(148, 8));
        auto size = readNumber(header.subspan(124, 12));
        auto mode = readNumber(header.subspan(100, 8));
        if (!checksum || *checksum != sum) {
            *error = where + ": bad checksum";
            return std::nullopt;
        }
        if (!size || !mode) {
            *error = where + ": bad number field";
            return std::nullopt;
        }
        ArchiveEntry entry;
        entry.name = readText(header.subspan(0, kNameField));
        if (std::memcmp(header.data() + 257, "ustar", 5) == 0) {
            std::string prefix = readText(header.subspan(345, kPrefixField));
            if (!prefix.empty()) entry.name = prefix + "/" + entry.name;
        }
        entry.type = header[156] == 0 ? '0' : static_cast<char>(header[156]);
        entry.mode = static_cast<std::uint32_t>(*mode & 07777);
        at += kBlockSize;
        if (*size > archive.size() - at) {
            *error = "tar entry \"" + entry.name + "\" cut short";
            return std::nullopt;
        }
        auto content = archive.subspan(at, static_cast<std::size_t>(*size));
        entry.content.assign(content.begin(), content.end());
        at += (content.size() + kBlockSize - 1) / kBlockSize * kBlockSize;
        // Long names travel in an entry of their own before the entry they name.
        if (entry.type == 'L' || entry.type == 'x') {
            longName = entry.type == 'L' ? readText(entry.content) : paxPath(entry.content);
            continue;
        }
        if (entry.type == 'g') continue;
        if (!longName.empty()) entry.name = std::move(longName);
        longName.clear();
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::optional<std::vector<std::uint8_t>> tarArchive(const std::vector<TarMember>& members,
                                                    std::string* error) {
    std::vector<std::uint8_t> archive;
    Block block;
    for (const TarMember& member : members) {
        if (!memberHeader(member, block, error)) return std::nullopt;
        archive.insert(archive.end(), block.begin(), block.end());
        if (member.folder) continue;
        archive.insert(archive.end(), member.content.begin(), member.content.end());
        archive.resize((archive.size() + kBlockSize - 1) / kBlockSize * kBlockSize, 0);
    }
    // Two empty blocks end the archive; the record is filled up with zeros.
    archive.resize(archive.size() + 2 * kBlockSize, 0);
    archive.resize((archive.size() + kRecordSize - 1) / kRecordSize * kRecordSize, 0);
    return archive;
}

}  // namespace mkupdate
