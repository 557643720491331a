#include "tools/mkupdate/update_archive.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "tools/common/gzip_writer.h"
#include "tools/common/image_files.h"

namespace mkupdate {
namespace {

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
