#include "update/key_set_folders.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "core/durable_file.h"
#include "core/error_codes.h"
#include "core/log.h"
#include "core/work_files.h"
#include "update/board_keys.h"

namespace {

constexpr const char* kLogName = "updateKeys";
// The names beside the link that only an unfinished change leaves: the new link before it is
// renamed over the old, and the folders of the exchange that came before links.
constexpr const char* kLeftoverSuffixes[] = {".link", ".new", ".old"};
constexpr std::uint32_t kHighestSetNumber = 999999999;
constexpr char kEnrolmentText[] = "This board has held update keys: it takes no image unsigned.\n";

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

std::string_view baseOf(const char* link) {
    const char* slash = std::strrchr(link, '/');
    return slash == nullptr ? link : slash + 1;
}

// link followed by suffix, in path; false when it doesn't fit.
bool besideLink(const char* link, const char* suffix, char* path, std::size_t size) {
    int written = std::snprintf(path, size, "%s%s", link, suffix);
    return written > 0 && static_cast<std::size_t>(written) < size;
}

// The numbers of the versioned names beside link, whatever stands at them; nothing when the
// folder that holds them can't be read.
std::optional<std::vector<std::uint32_t>> versionedNumbers(const char* link) {
    char parent[256];
    std::size_t parentLength = std::strlen(link) - baseOf(link).size();
    if (parentLength == 0 || parentLength >= sizeof parent) return std::nullopt;
    std::snprintf(parent, sizeof parent, "%.*s", static_cast<int>(parentLength), link);
    std::unique_ptr<DIR, DirCloser> dir(opendir(parent));
    if (!dir) return std::nullopt;
    std::vector<std::uint32_t> numbers;
    while (const dirent* entry = readdir(dir.get()))
        if (auto number = keySetNumber(entry->d_name, baseOf(link))) numbers.push_back(*number);
    return numbers;
}

bool syncBeside(const char* link) {
    if (syncFolderOf(link)) return true;
    UPDATE_ERR_AS(kLogName, LogLevel::Critical, kErrorWriteOrEvent,
                  "couldn't sync the folder of %s errno = %d %m \n", link, errno);
    return false;
}

// Puts a link naming set number at link's name: a new link, synced, renamed over what stands
// there (a link, or nothing), the rename synced.
bool placeLink(const char* link, std::uint32_t number) {
    char temporary[256];
    char target[64];
    if (!besideLink(link, ".link", temporary, sizeof temporary) ||
        std::snprintf(target, sizeof target, "%.*s.%u", static_cast<int>(baseOf(link).size()),
                      baseOf(link).data(),
                      static_cast<unsigned>(number)) >= static_cast<int>(sizeof target))
        return false;
    if (!removeWhateverStands(kLogName, temporary)) return false;
    if (symlink(target, temporary) != 0) {
        UPDATE_ERR_AS(kLogName, LogLevel::Critical, kErrorWriteOrEvent,
                      "couldn't make link %s errno = %d %m \n", temporary, errno);
        return false;
    }
    if (!syncBeside(link)) return false;
    if (rename(temporary, link) != 0) {
        UPDATE_ERR_AS(kLogName, LogLevel::Critical, kErrorWriteOrEvent,
                      "couldn't put link %s in place of %s errno = %d %m \n", temporary, link,
                      errno);
        removeWhateverStands(kLogName, temporary);
        return false;
    }
    return syncBeside(link);
}

// Removes every versioned name beside link but keep's (none: every one), and the names of
// unfinished links; what can't be removed is logged and stays, harmless: only the link names
// a set.
void removeLeftovers(const char* link, std::optional<std::uint32_t> keep) {
    std::vector<std::uint32_t> numbers =
        versionedNumbers(link).value_or(std::vector<std::uint32_t>{});
    char path[256];
    for (std::uint32_t number : numbers) {
        if (keep && number == *keep) continue;
        if (keySetPath(link, number, path, sizeof path)) {
            UPDATE_LOG_AS(kLogName, LogLevel::Warning, "left-over key set %s removed\n", path);
            removeWhateverStands(kLogName, path);
        }
    }
    for (const char* suffix : kLeftoverSuffixes)
        if (besideLink(link, suffix, path, sizeof path)) removeWhateverStands(kLogName, path);
    syncBeside(link);
}

// Copies the key files of the open folder source into the new folder staging; the count of
// keys, or -1 (logged).
int copyKeySet(int sourceFd, const char* source, const char* staging) {
    std::unique_ptr<DIR, DirCloser> dir(fdopendir(sourceFd));
    if (!dir) {
        close(sourceFd);
        UPDATE_ERR_AS(kLogName, LogLevel::Critical, kErrorOperationFailed,
                      "couldn't read folder %s errno = %d %m \n", source, errno);
        return -1;
    }
    int keys = 0;
    char text[kKeyFileMaxSize];
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir.get());
        if (entry == nullptr) {
            if (errno == 0) break;
            UPDATE_ERR_AS(kLogName, LogLevel::Critical, kErrorOperationFailed,
                          "couldn't read folder %s errno = %d %m \n", source, errno);
            return -1;
        }
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        if (!isKeyFileName(name)) {
            UPDATE_ERR_AS(kLogName, LogLevel::Critical, kErrorOperationFailed,
                          "%s/%s is not named *.key; not installed\n", source, name);
            continue;
        }
        long length = readKeyFileText(dirfd(dir.get()), name, text);
        RsaPublicKey key{};
        UpdateKeyId id{};
        if (length < 0 || !parseUpdateKey({text, static_cast<std::size_t>(length)}, &key, &id)) {
            UPDATE_ERR_AS(kLogName, LogLevel::Critical, kErrorOperationFailed,
                          "update key file %s/%s unreadable or not a key\n", source, name);
            return -1;
        }
        if (++keys > kMaxUpdateKeys) {
            UPDATE_ERR_AS(kLogName, LogLevel::Critical, kErrorOperationFailed,
                          "%s holds more than %d keys\n", source, kMaxUpdateKeys);
            return -1;
        }
        char path[320];
        std::snprintf(path, sizeof path, "%s/%s", staging, name);
        if (!writeNewSyncedFile(path, text, static_cast<std::size_t>(length), 0644)) {
            UPDATE_ERR_AS(kLogName, LogLevel::Critical, kErrorWriteOrEvent,
                          "file %s write error %d %m \n", path, errno);
            return -1;
        }
        UPDATE_LOG_AS(kLogName, LogLevel::Warning, "update key %s (%s) to be installed\n",
                      updateKeyIdText(id).data(), name);
    }
    if (keys == 0) {
        UPDATE_ERR_AS(kLogName, LogLevel::Critical, kErrorOperationFailed,
                      "%s holds no readable key\n", source);
        return -1;
    }
    return keys;
}

}  // namespace

bool keySetPath(const char* link, std::uint32_t number, char* path, std::size_t size) {
    int written = std::snprintf(path, size, "%s.%u", link, static_cast<unsigned>(number));
    return written > 0 && static_cast<std::size_t>(written) < size;
}

KeySetPlace findKeySet(const char* link) {
    struct stat status {};
    if (lstat(link, &status) != 0) {
        // Another error than a missing name: the reader names it.
        if (errno != ENOENT) return {KeySetPlace::Form::Folder, 0};
        if (!keySetEnrolled(link)) return {};
        // A cut between the two renames that move a plain folder aside and the link in its
        // place, or a hand that removed the link: the set is the newest folder, which only a
        // committed set can be, since no set is staged on a board without its link.
        std::optional<std::uint32_t> highest;
        char path[256];
        for (std::uint32_t number : versionedNumbers(link).value_or(std::vector<std::uint32_t>{})) {
            struct stat folder {};
            if ((!highest || number > *highest) && keySetPath(link, number, path, sizeof path) &&
                lstat(path, &folder) == 0 && S_ISDIR(folder.st_mode))
                highest = number;
        }
        if (!highest) return {};
        return {KeySetPlace::Form::Unlinked, *highest};
    }
    if (!S_ISLNK(status.st_mode)) return {KeySetPlace::Form::Folder, 0};
    char target[64];
    ssize_t length = readlink(link, target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target)
        return {KeySetPlace::Form::Stray, 0};
    target[length] = '\0';
    std::optional<std::uint32_t> number = keySetNumber(target, baseOf(link));
    if (!number) return {KeySetPlace::Form::Stray, 0};
    return {KeySetPlace::Form::Link, *number};
}

bool keySetEnrolled(const char* link) {
    char path[256];
    if (!besideLink(link, ".enrolled", path, sizeof path)) return true;
    struct stat status {};
    return lstat(path, &status) == 0 || errno != ENOENT;
}

bool recordEnrolment(const char* link) {
    char path[256] = "";
    if (besideLink(link, ".enrolled", path, sizeof path) &&
        replaceFileDurably(path, kEnrolmentText, sizeof kEnrolmentText - 1, 0644)) {
        UPDATE_LOG_AS(kLogName, LogLevel::Warning, "%s: the board has held keys\n", path);
        return true;
    }
    UPDATE_ERR_AS(kLogName, LogLevel::Critical, kErrorWriteOrEvent,
                  "couldn't record in %s that the board holds keys errno = %d %m \n", path, errno);
    return false;
}

bool moveFolderToLinkFormByRenames(const char* link) {
    // Between the renames nothing stands at the link's name: only an enrolled board reads its
    // set from the moved folder then.
    if (!keySetEnrolled(link) && !recordEnrolment(link)) return false;
    char temporary[256];
    char moved[256];
    if (!besideLink(link, ".link", temporary, sizeof temporary) ||
        !keySetPath(link, 0, moved, sizeof moved))
        return false;
    char target[64];
    std::snprintf(target, sizeof target, "%.*s.0", static_cast<int>(baseOf(link).size()),
                  baseOf(link).data());
    if (!removeWhateverStands(kLogName, temporary)) return false;
    if (symlink(target, temporary) != 0 || !syncBeside(link) || rename(link, moved) != 0) {
        UPDATE_ERR_AS(kLogName, LogLevel::Critical, kErrorWriteOrEvent,
                      "couldn't move key folder %s to %s errno = %d %m \n", link, moved, errno);
        removeWhateverStands(kLogName, temporary);
        return false;
    }
    if (!syncBeside(link)) return false;
    if (rename(temporary, link) != 0) {
        UPDATE_ERR_AS(kLogName, LogLevel::Critical, kErrorWriteOrEvent,
                      "couldn't put link %s in place of %s errno = %d %m \n", temporary, link,
                      errno);
        rename(moved, link);
        syncBeside(link);
        return false;
    }
    return syncBeside(link);
}

bool moveFolderToLinkForm(const char* link) {
    char moved[256];
    if (!keySetPath(link, 0, moved, sizeof moved)) return false;
    char target[64];
    std::snprintf(target, sizeof target, "%.*s.0", static_cast<int>(baseOf(link).size()),
                  baseOf(link).data());
    // A link at set 0's name that names itself, exchanged with the folder: the link's name
    // then names the folder under set 0's name, in one step.
    if (!removeWhateverStands(kLogName, moved)) return false;
    if (symlink(target, moved) != 0 || !syncBeside(link)) {
        UPDATE_ERR_AS(kLogName, LogLevel::Critical, kErrorWriteOrEvent,
                      "couldn't make link %s errno = %d %m \n", moved, errno);
        removeWhateverStands(kLogName, moved);
        return false;
    }
    if (renameat2(AT_FDCWD, moved, AT_FDCWD, link, RENAME_EXCHANGE) == 0) {
        UPDATE_LOG_AS(kLogName, LogLevel::Warning, "key folder %s moved to %s\n", link, moved);
        return syncBeside(link);
    }
    int error = errno;
    removeWhateverStands(kLogName, moved);
    if (error != EINVAL && error != ENOSYS && error != EOPNOTSUPP) {
        UPDATE_ERR_AS(kLogName, LogLevel::Critical, kErrorWriteOrEvent,
                      "couldn't move key folder %s to %s errno = %d %s \n", link, moved, error,
                      std::strerror(error));
        return false;
    }
    if (!moveFolderToLinkFormByRenames(link)) return false;
    UPDATE_LOG_AS(kLogName, LogLevel::Warning, "key folder %s moved to %s\n", link, moved);
    return true;
}

bool prepareKeySetChange(const char* link, bool keyed) {
    if (keyed && !keySetEnrolled(link) && !recordEnrolment(link)) return false;
    KeySetPlace place = findKeySet(link);
    switch (place.form) {
        case KeySetPlace::Form::Stray:
            UPDATE_ERR_AS(kLogName, LogLevel::Critical, kErrorOperationFailed,
                          "key folder %s is a link, but not to a key set beside it\n", link);
            return false;
        case KeySetPlace::Form::None:
            removeLeftovers(link, std::nullopt);
            return true;
        case KeySetPlace::Form::Link:
            removeLeftovers(link, place.number);
            return true;
        case KeySetPlace::Form::Unlinked:
            removeLeftovers(link, place.number);
            return placeLink(link, place.number);
        case KeySetPlace::Form::Folder:
            break;
    }
    removeLeftovers(link, std::nullopt);
    // A folder without keys (a board that takes images unchecked) holds nothing to keep.
    if (!keyed) return removeWhateverStands(kLogName, link) && syncBeside(link);
    return moveFolderToLinkForm(link);
}

std::optional<StagedKeySet> stageKeySet(const char* source, const char* link) {
    // /tmp is everybody's: the set is taken only from a real folder, each key file opened
    // without following a link.
    int sourceFd = open(source, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sourceFd < 0) {
        UPDATE_ERR_AS(kLogName, LogLevel::Critical, kErrorOperationFailed,
                      "no key set in %s errno = %d %m \n", source, errno);
        return std::nullopt;
    }
    std::optional<std::vector<std::uint32_t>> numbers = versionedNumbers(link);
    std::uint32_t number = 1;
    for (std::uint32_t taken : numbers.value_or(std::vector<std::uint32_t>{}))
        if (taken >= number) number = taken + 1;
    char staging[256];
    if (!numbers || number > kHighestSetNumber ||
        !keySetPath(link, number, staging, sizeof staging) || mkdir(staging, 0755) != 0) {
        close(sourceFd);
        UPDATE_ERR_AS(kLogName, LogLevel::Critical, kErrorOperationFailed,
                      "couldn't make a folder for the key set beside %s errno = %d %m \n", link,
                      errno);
        return std::nullopt;
    }
    int keys = copyKeySet(sourceFd, source, staging);
    if (keys > 0 && (!syncFolder(staging) || !syncBeside(link))) {
        UPDATE_ERR_AS(kLogName, LogLevel::Critical, kErrorWriteOrEvent,
                      "couldn't sync key set %s errno = %d %m \n", staging, errno);
        keys = -1;
    }
    if (keys < 0) {
        dropKeySet(link, number);
        return std::nullopt;
    }
    return StagedKeySet{number, keys};
}

bool commitKeySet(const char* link, std::uint32_t number) {
    // A link is never put to a set that isn't there: the board would refuse every image.
    char path[256];
    struct stat staged {};
    if (!keySetPath(link, number, path, sizeof path) || lstat(path, &staged) != 0 ||
        !S_ISDIR(staged.st_mode)) {
        UPDATE_ERR_AS(kLogName, LogLevel::Critical, kErrorOperationFailed,
                      "key set %s.%u is gone; it is not put in\n", link,
                      static_cast<unsigned>(number));
        return false;
    }
    if (!keySetEnrolled(link) && !recordEnrolment(link)) return false;
    KeySetPlace before = findKeySet(link);
    if (before.form == KeySetPlace::Form::Folder || before.form == KeySetPlace::Form::Stray) {
        UPDATE_ERR_AS(kLogName, LogLevel::Critical, kErrorOperationFailed,
                      "key folder %s is not a link to a key set; the new set is not put in\n",
                      link);
        return false;
    }
    if (!placeLink(link, number)) return false;
    bool hadSet =
        before.form == KeySetPlace::Form::Link || before.form == KeySetPlace::Form::Unlinked;
    if (hadSet && before.number != number) dropKeySet(link, before.number);
    return true;
}

void dropKeySet(const char* link, std::uint32_t number) {
    char path[256];
    if (!keySetPath(link, number, path, sizeof path)) return;
    removeWhateverStands(kLogName, path);
    syncBeside(link);
}
