#include "tools/mkupdate/update_archive.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "tools/mkupdate/gzip_writer.h"
#include "tools/mkupdate/image_files.h"

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

bool collect(const std::filesystem::path& folder, const std::string& name,
             std::vector<TarMember>* members, std::string* error) {
    members->push_back({name + "/", true, false, {}});
    std::error_code failure;
    std::vector<std::filesystem::path> entries;
    for (std::filesystem::directory_iterator it(folder, failure), end; !failure && it != end;
         it.increment(failure)) {
        entries.push_back(it->path());
    }
    if (failure) {
        *error = "cannot read folder " + folder.string() + ": " + failure.message();
        return false;
    }
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return a.filename().string() < b.filename().string();
    });
    for (const auto& entry : entries) {
        std::string memberName = name + "/" + entry.filename().string();
        auto status = std::filesystem::status(entry, failure);
        if (failure) {
            *error = "cannot read " + entry.string() + ": " + failure.message();
            return false;
        }
        if (std::filesystem::is_directory(status)) {
            if (!collect(entry, memberName, members, error)) return false;
        } else if (std::filesystem::is_regular_file(status)) {
            TarMember member{memberName, false, false, {}};
            using std::filesystem::perms;
            member.executable = (status.permissions() & (perms::owner_exec | perms::group_exec |
                                                         perms::others_exec)) != perms::none;
            if (!readWholeFile(entry.string(), &member.content, error)) return false;
            members->push_back(std::move(member));
        } else {
            *error = entry.string() + " is neither a file nor a folder";
            return false;
        }
    }
    return true;
}

}  // namespace

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

std::optional<std::vector<TarMember>> collectUpdateFolder(const std::string& path,
                                                          std::string* error) {
    std::error_code failure;
    if (!std::filesystem::is_directory(path, failure)) {
        *error = path + " is not a folder";
        return std::nullopt;
    }
    std::vector<TarMember> members;
    if (!collect(path, kUpdateFolderName, &members, error)) return std::nullopt;
    return members;
}

std::optional<std::vector<std::uint8_t>> packUpdateFolder(const std::string& path,
                                                          std::string* error) {
    auto members = collectUpdateFolder(path, error);
    if (!members) return std::nullopt;
    auto archive = tarArchive(*members, error);
    if (!archive) return std::nullopt;
    return gzipCompress(*archive);
}

}  // namespace mkupdate
