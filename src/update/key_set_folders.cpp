#include "update/key_set_folders.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/dir_stream.h"
#include "core/durable_file.h"
#include "core/error_codes.h"
#include "core/log.h"
#include "core/work_files.h"
#include "image/key_set_statement.h"

namespace {

constexpr const char* kLogName = "updateKeys";
constexpr std::uint32_t kHighestSetNumber = 999999999;
constexpr char kEnrolmentText[] = "held keys\n";
// The names here are the link's (a constant of a few characters) and a short suffix.
constexpr std::size_t kPathSize = 96;

bool failed(const char* what, const char* path) {
    UPDATE_ERR_AS(kLogName, LogLevel::Critical, kErrorWriteOrEvent,
                  "couldn't %s %s errno = %d %m \n", what, path, errno);
    return false;
}

// link followed by suffix.
void besideLink(const char* link, const char* suffix, char* path) {
    std::snprintf(path, kPathSize, "%s%s", link, suffix);
}

bool syncBeside(const char* link) { return syncFolderOf(link) || failed("sync", link); }

// Walks the versioned names beside link. With clear, removes every one but keep's (-1: every
// one), whatever stands at it: what a cut left. Without, finds the highest number of a real
// folder among them. That number, or -1 when there is none.
std::int32_t scanSets(const char* link, bool clear, std::int32_t keep = -1) {
    char parent[kPathSize];
    std::snprintf(parent, sizeof parent, "%s", link);
    char* base = std::strrchr(parent, '/');
    std::int32_t highest = -1;
    if (base == nullptr) return highest;
    *base = '\0';
    DirStream dir(opendir(parent[0] == '\0' ? "/" : parent));
    if (!dir) return highest;
    while (const dirent* entry = readdir(dir.get())) {
        std::int32_t number = keySetNumber(entry->d_name, base + 1);
        char path[kPathSize];
        struct stat status {};
        if (number < 0 || !keySetPath(link, static_cast<std::uint32_t>(number), path, sizeof path))
            continue;
        if (clear) {
            if (number != keep) removeWhateverStands(kLogName, path);
        } else if (number > highest && lstat(path, &status) == 0 && S_ISDIR(status.st_mode)) {
            highest = number;
        }
    }
    return highest;
}

// Makes a new link naming set number at link followed by ".link" (temporary), synced, and
// renames it over what stands at link's name (a link, or nothing), the rename synced. With
// moveAside, the plain folder at link's name is first renamed to set number's name.
bool placeLink(const char* link, std::uint32_t number, bool moveAside = false) {
    char temporary[kPathSize];
    char target[kPathSize];
    char set[kPathSize];
    besideLink(link, ".link", temporary);
    std::snprintf(target, sizeof target, "%s.%u", std::strrchr(link, '/') + 1,
                  static_cast<unsigned>(number));
    keySetPath(link, number, set, sizeof set);
    if (!removeWhateverStands(kLogName, temporary)) return false;
    if (symlink(target, temporary) != 0) return failed("make link", temporary);
    if (!syncBeside(link)) return false;
    // Between these two renames nothing stands at the link's name: an enrolled board reads
    // its set from the moved folder then.
    if (moveAside && (rename(link, set) != 0 || !syncBeside(link))) {
        removeWhateverStands(kLogName, temporary);
        return failed("move aside", link);
    }
    if (rename(temporary, link) != 0) {
        removeWhateverStands(kLogName, temporary);
        return failed("put a link at", link);
    }
    return syncBeside(link);
}

// Removes every versioned name beside link but keep's, and the new link that a cut kept from
// being renamed; what can't be removed is logged and stays, harmless: only the link names a
// set.
void removeLeftovers(const char* link, std::int32_t keep) {
    scanSets(link, true, keep);
    char path[kPathSize];
    besideLink(link, ".link", path);
    removeWhateverStands(kLogName, path);
    syncBeside(link);
}

// The most that the set's file name may hold: a key file, the statement or its signatures;
// 0 for any other name.
std::size_t keySetFileMax(const char* name) {
    if (isKeyFileName(name)) return kKeyFileMaxSize;
    if (std::strcmp(name, kKeySetStatementName) == 0) return kKeySetStatementMaxSize;
    if (std::strcmp(name, kKeySetSignaturesName) == 0) return kKeySetSignaturesMaxSize;
    return 0;
}

// Copies the key files of the open folder source, and its statement and signatures, into the
// new folder staging; the count of keys, or -1 (logged).
int copyKeySet(int sourceFd, const char* source, const char* staging) {
    DirStream dir(fdopendir(sourceFd));
    if (!dir) {
        close(sourceFd);
        failed("read", source);
        return -1;
    }
    int keys = 0;
    char text[kKeySetSignaturesMaxSize];
    for (;;) {
        // A folder that can't be read to its end would stage a part of the set.
        errno = 0;
        const dirent* entry = readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0) keys = failed("read", source) ? keys : -1;
            break;
        }
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        std::size_t max = keySetFileMax(name);
        if (max == 0) {
            UPDATE_ERR_AS(kLogName, LogLevel::Critical, kErrorOperationFailed,
                          "%s/%s is not named *.key; not installed\n", source, name);
            continue;
        }
        long length = readSmallFile(dirfd(dir.get()), name, text, max);
        char path[kPathSize + 256];
        std::snprintf(path, sizeof path, "%s/%s", staging, name);
        // The statement and its signatures are checked against the keys once all are staged,
        // where nobody else writes.
        bool isKey = isKeyFileName(name);
        RsaPublicKey key{};
        UpdateKeyId id{};
        if (length < 0 ||
            (isKey && !parseUpdateKey({text, static_cast<std::size_t>(length)}, &key, &id))) {
            UPDATE_ERR_AS(kLogName, LogLevel::Critical, kErrorOperationFailed,
                          "update key file %s/%s unreadable or not a key\n", source, name);
            keys = -1;
        } else if (isKey && ++keys > kMaxUpdateKeys) {
            UPDATE_ERR_AS(kLogName, LogLevel::Critical, kErrorOperationFailed,
                          "%s holds more than %d keys\n", source, kMaxUpdateKeys);
            keys = -1;
        } else if (!writeNewSyncedFile(path, text, static_cast<std::size_t>(length), 0644)) {
            failed("write", path);
            keys = -1;
        }
        if (keys < 0) break;
        if (isKey) {
            UPDATE_LOG_AS(kLogName, LogLevel::Warning, "update key %s (%s) to be installed\n",
                          updateKeyIdText(id).data(), name);
        }
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
        // A cut between the two renames that move a plain folder aside and the link in its
        // place, or a hand that removed the link: the set is the newest folder, which only a
        // committed set can be, since no set is staged on a board without its link.
        std::int32_t newest = keySetEnrolled(link) ? scanSets(link, false) : -1;
        if (newest < 0) return {};
        return {KeySetPlace::Form::Unlinked, static_cast<std::uint32_t>(newest)};
    }
    if (!S_ISLNK(status.st_mode)) return {KeySetPlace::Form::Folder, 0};
    std::int32_t number = linkedKeySet(link);
    if (number < 0) return {KeySetPlace::Form::Stray, 0};
    return {KeySetPlace::Form::Link, static_cast<std::uint32_t>(number)};
}

bool keySetEnrolled(const char* link) {
    char path[kPathSize];
    besideLink(link, ".enrolled", path);
    struct stat status {};
    return lstat(path, &status) == 0 || errno != ENOENT;
}

bool recordEnrolment(const char* link) {
    char path[kPathSize];
    besideLink(link, ".enrolled", path);
    return replaceFileDurably(path, kEnrolmentText, sizeof kEnrolmentText - 1, 0644) ||
           failed("write", path);
}

bool moveFolderToLinkForm(const char* link) {
    // Between its two renames only an enrolled board reads its set from the moved folder.
    return (keySetEnrolled(link) || recordEnrolment(link)) && placeLink(link, 0, true);
}

bool prepareKeySetChange(const char* link, bool keyed) {
    if (keyed && !keySetEnrolled(link) && !recordEnrolment(link)) return false;
    KeySetPlace place = findKeySet(link);
    using Form = KeySetPlace::Form;
    bool held = place.form == Form::Link || place.form == Form::Unlinked;
    // The reception refuses every image on a board whose link is stray: a hand made it since.
    if (place.form == Form::Stray) return false;
    removeLeftovers(link, held ? static_cast<std::int32_t>(place.number) : -1);
    // An enrolled board without its link gets it back first: a set staged beside a board
    // that reads its newest set would be read before it is committed.
    if (place.form == Form::Unlinked) return placeLink(link, place.number);
    if (place.form != Form::Folder) return true;
    // A folder without keys (a board that takes images unchecked) holds nothing to keep.
    if (!keyed) return removeWhateverStands(kLogName, link) && syncBeside(link);
    return moveFolderToLinkForm(link);
}

std::optional<StagedKeySet> stageKeySet(const char* source, const char* link) {
    // /tmp is everybody's: the set is taken only from a real folder, each key file opened
    // without following a link.
    int sourceFd = open(source, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sourceFd < 0) {
        failed("read", source);
        return std::nullopt;
    }
    std::uint32_t number =
        static_cast<std::uint32_t>(std::max<std::int32_t>(scanSets(link, false), 0) + 1);
    char staging[kPathSize];
    keySetPath(link, number, staging, sizeof staging);
    if (number > kHighestSetNumber || mkdir(staging, 0755) != 0) {
        close(sourceFd);
        failed("make", staging);
        return std::nullopt;
    }
    int keys = copyKeySet(sourceFd, source, staging);
    if (keys > 0 && (!syncFolder(staging) || !syncBeside(link))) {
        failed("sync", staging);
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
    char path[kPathSize];
    struct stat staged {};
    keySetPath(link, number, path, sizeof path);
    if (lstat(path, &staged) != 0 || !S_ISDIR(staged.st_mode)) return failed("find", path);
    if (!keySetEnrolled(link) && !recordEnrolment(link)) return false;
    // The key step left the link form: a plain folder here refuses the rename.
    KeySetPlace before = findKeySet(link);
    if (!placeLink(link, number)) return false;
    bool held =
        before.form == KeySetPlace::Form::Link || before.form == KeySetPlace::Form::Unlinked;
    if (held && before.number != number) dropKeySet(link, before.number);
    return true;
}

void dropKeySet(const char* link, std::uint32_t number) {
    char path[kPathSize];
    keySetPath(link, number, path, sizeof path);
    removeWhateverStands(kLogName, path);
    syncBeside(link);
}
