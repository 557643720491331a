#include "update/board_keys.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "core/durable_file.h"
#include "core/error_codes.h"
#include "core/log.h"
#include "image/image_signature.h"
#include "update/update_state.h"

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

// Removes a folder (or whatever stands at path) with everything in it; a link is removed,
// never followed. /etc is root's alone, so what stands beside the keys is the daemon's own.
void removeTree(const char* path) {
    std::error_code error;
    std::filesystem::remove_all(path, error);
    if (error) {
        UPDATE_ERR_AS("updateKeys", LogLevel::Critical, kErrorOperationFailed,
                      "couldn't remove %s errno = %d %s \n", path, error.value(),
                      error.message().c_str());
    }
}

// Copies the key files of the open folder source into the new folder staging; the count of
// keys, or -1 (logged).
int copyKeySet(int sourceFd, const char* source, const char* staging) {
    std::unique_ptr<DIR, DirCloser> dir(fdopendir(sourceFd));
    if (!dir) {
        close(sourceFd);
        UPDATE_ERR_AS("updateKeys", LogLevel::Critical, kErrorOperationFailed,
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
            UPDATE_ERR_AS("updateKeys", LogLevel::Critical, kErrorOperationFailed,
                          "couldn't read folder %s errno = %d %m \n", source, errno);
            return -1;
        }
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        if (!isKeyFileName(name)) {
            UPDATE_ERR_AS("updateKeys", LogLevel::Critical, kErrorOperationFailed,
                          "%s/%s is not named *.key; not installed\n", source, name);
            continue;
        }
        long length = readKeyFileText(dirfd(dir.get()), name, text);
        RsaPublicKey key{};
        UpdateKeyId id{};
        if (length < 0 || !parseUpdateKey({text, static_cast<std::size_t>(length)}, &key, &id)) {
            UPDATE_ERR_AS("updateKeys", LogLevel::Critical, kErrorOperationFailed,
                          "update key file %s/%s unreadable or not a key\n", source, name);
            return -1;
        }
        if (++keys > kMaxUpdateKeys) {
            UPDATE_ERR_AS("updateKeys", LogLevel::Critical, kErrorOperationFailed,
                          "%s holds more than %d keys\n", source, kMaxUpdateKeys);
            return -1;
        }
        char path[320];
        std::snprintf(path, sizeof path, "%s/%s", staging, name);
        if (!writeNewSyncedFile(path, text, static_cast<std::size_t>(length), 0644)) {
            UPDATE_ERR_AS("updateKeys", LogLevel::Critical, kErrorWriteOrEvent,
                          "file %s write error %d %m \n", path, errno);
            return -1;
        }
        UPDATE_LOG_AS("updateKeys", LogLevel::Warning, "update key %s (%s) to be installed\n",
                      updateKeyIdText(id).data(), name);
    }
    if (keys == 0) {
        UPDATE_ERR_AS("updateKeys", LogLevel::Critical, kErrorOperationFailed,
                      "%s holds no readable key\n", source);
        return -1;
    }
    return keys;
}

// Puts the filled folder staging in target's place. One exchange where the file system
// allows it; else two renames, between which the board has no key folder for a moment.
bool replaceFolder(const char* staging, const char* target, const char* old) {
    struct stat status {};
    if (lstat(target, &status) != 0) return rename(staging, target) == 0;
    if (renameat2(AT_FDCWD, staging, AT_FDCWD, target, RENAME_EXCHANGE) == 0) {
        removeTree(staging);  // now the old set
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) return false;
    removeTree(old);
    if (rename(target, old) != 0) return false;
    if (rename(staging, target) != 0) {
        rename(old, target);
        return false;
    }
    removeTree(old);
    return true;
}

}  // namespace

int installUpdateKeys(const char* source, const char* target) {
    char staging[128];
    char old[128];
    std::snprintf(staging, sizeof staging, "%s.new", target);
    std::snprintf(old, sizeof old, "%s.old", target);
    // /tmp is everybody's: the set is taken only from a real folder, each key file opened
    // without following a link.
    int sourceFd = open(source, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sourceFd < 0) {
        UPDATE_ERR_AS("updateKeys", LogLevel::Critical, kErrorOperationFailed,
                      "no key set in %s errno = %d %m \n", source, errno);
        return -1;
    }
    removeTree(staging);
    if (mkdir(staging, 0755) != 0) {
        close(sourceFd);
        UPDATE_ERR_AS("updateKeys", LogLevel::Critical, kErrorOperationFailed,
                      "couldn't make folder %s errno = %d %m \n", staging, errno);
        return -1;
    }
    int keys = copyKeySet(sourceFd, source, staging);
    if (keys > 0) syncFolder(staging);
    if (keys > 0 && !replaceFolder(staging, target, old)) {
        UPDATE_ERR_AS("updateKeys", LogLevel::Critical, kErrorOperationFailed,
                      "couldn't put %s in place of %s errno = %d %m \n", staging, target, errno);
        keys = -1;
    }
    if (keys < 0) {
        removeTree(staging);
        return -1;
    }
    char parent[128];
    std::snprintf(parent, sizeof parent, "%s", target);
    if (char* slash = std::strrchr(parent, '/')) slash[1] = '\0';
    syncFolder(parent);
    return keys;
}

void updateKeysStep() {
    if (update.stepState != STATE_ENTER) return;
    bool installed = false;
    if (update.trust == ImageTrust::None) {
        UPDATE_ERR_AS("updateKeys", LogLevel::Critical, kErrorOperationFailed,
                      "the image was not verified by a key of the board; keys not installed\n");
    } else {
        installed = installUpdateKeys(kUpdateKeysSource, kUpdateKeyFolder) > 0;
    }
    if (!installed) {
        UPDATE_ERR_AS("updateKeys", LogLevel::Critical, kErrorOperationFailed,
                      "the board's keys are kept\n");
    }
    endStep(installed);
}

bool raiseBoardSecurityVersion() {
    if (update.trust != ImageTrust::Verified) return true;
    std::optional<std::uint32_t> board = readBoardSecurityVersion(kSecurityVersionPath);
    if (board && *board >= update.securityVersion) return true;
    char text[16];
    int length =
        std::snprintf(text, sizeof text, "%u\n", static_cast<unsigned>(update.securityVersion));
    if (!replaceFileDurably(kSecurityVersionPath, text, static_cast<std::size_t>(length), 0644)) {
        UPDATE_ERR_AS("finishUpdate", LogLevel::Critical, kErrorWriteOrEvent,
                      "security version %u not recorded in %s errno = %d %m \n",
                      static_cast<unsigned>(update.securityVersion), kSecurityVersionPath, errno);
        return false;
    }
    UPDATE_LOG_AS("finishUpdate", LogLevel::Warning, "board's security version now %u\n",
                  static_cast<unsigned>(update.securityVersion));
    return true;
}
