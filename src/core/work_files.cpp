#include "core/work_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/dir_stream.h"
#include "core/error_codes.h"
#include "core/log.h"
#include "core/update_paths.h"

namespace {

constexpr mode_t kWriteByOthers = S_IWGRP | S_IWOTH;

// "(owner 65534, mode 0666, 1 names)" for the report of a refused file.
void refuseFile(const char* function, const char* path, const struct stat& info) {
    UPDATE_ERR_AS(function, LogLevel::Critical, kErrorOperationFailed,
                  "%s refused: not the update daemon's own file (owner %u, mode 0%o, %u names)\n",
                  path, static_cast<unsigned>(info.st_uid),
                  static_cast<unsigned>(info.st_mode & 07777),
                  static_cast<unsigned>(info.st_nlink));
}

// Removes the entry name of the folder open at parent: a folder's contents first, each folder
// opened without following a link. errno of the first failure, or 0.
int removeAt(int parent, const char* name) {
    if (unlinkat(parent, name, 0) == 0 || errno == ENOENT) return 0;
    if (errno != EISDIR && errno != EPERM) return errno;
    int folder = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0) return errno == ENOENT ? 0 : errno;
    DirStream entries(fdopendir(folder));
    if (!entries) {
        int error = errno;
        close(folder);
        return error;
    }
    while (dirent* entry = readdir(entries.get())) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        int error = removeAt(dirfd(entries.get()), entry->d_name);
        if (error != 0) return error;
    }
    entries.reset();  // closed before the folder itself goes
    if (unlinkat(parent, name, AT_REMOVEDIR) == 0 || errno == ENOENT) return 0;
    return errno;
}

// Walks the folder open at folder (shown as shown), taking over every entry; false (logged)
// at the first that can't be taken.
bool takeOverEntries(const char* function, int folder, const char* shown) {
    DirStream entries(fdopendir(folder));
    if (!entries) {
        close(folder);
        UPDATE_ERR_AS(function, LogLevel::Critical, kErrorOperationFailed,
                      "couldn't read folder %s errno = %d %m \n", shown, errno);
        return false;
    }
    bool taken = true;
    while (dirent* entry = readdir(entries.get())) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        // A name too long for the report is shown cut, ending in "...".
        char path[256];
        if (std::snprintf(path, sizeof path, "%s/%s", shown, entry->d_name) >=
            static_cast<int>(sizeof path))
            std::memcpy(path + sizeof path - 4, "...", 4);
        struct stat info {};
        int at = dirfd(entries.get());
        const char* refusal = nullptr;
        if (fstatat(at, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            refusal = "can't be examined";
        } else if (S_ISLNK(info.st_mode)) {
            refusal = "a link";
        } else if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
            refusal = "neither a file nor a folder";
        } else if (S_ISREG(info.st_mode) && info.st_nlink != 1) {
            refusal = "a file with more than one name";
        } else if (fchownat(at, entry->d_name, geteuid(), getegid(), AT_SYMLINK_NOFOLLOW) != 0 ||
                   fchmodat(at, entry->d_name, info.st_mode & 0777 & ~kWriteByOthers, 0) != 0) {
            refusal = "can't be made the daemon's";
        } else if (S_ISDIR(info.st_mode)) {
            int inner = openat(at, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (inner < 0 || !takeOverEntries(function, inner, path)) {
                if (inner < 0)
                    refusal = "can't be opened";
                else
                    taken = false;
            }
        }
        if (refusal != nullptr) {
            UPDATE_ERR_AS(function, LogLevel::Critical, kErrorOperationFailed,
                          "archive member %s refused: %s\n", path, refusal);
            taken = false;
        }
        if (!taken) break;
    }
    return taken;
}

}  // namespace

mode_t workFileMode(const char* path) {
    for (const char* readable : {kUpdateReportPath, kPsKeyDumpPath, kDfuStatusPath, kDfuErrorPath})
        if (std::strcmp(path, readable) == 0) return 0644;
    return 0600;
}

bool isOwnFile(const struct stat& info) {
    return S_ISREG(info.st_mode) && info.st_uid == geteuid() && info.st_nlink == 1 &&
           (info.st_mode & kWriteByOthers) == 0;
}

bool removeWhateverStands(const char* function, const char* path) {
    int error = removeAt(AT_FDCWD, path);
    if (error == 0) return true;
    UPDATE_ERR_AS(function, LogLevel::Critical, kErrorOperationFailed,
                  "couldn't remove %s errno = %d %s \n", path, error, std::strerror(error));
    return false;
}

int makeFreshFile(const char* function, const char* path, mode_t mode) {
    if (!removeWhateverStands(function, path)) return -1;
    int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    // Exactly mode, whatever the umask.
    if (fd >= 0 && fchmod(fd, mode) == 0) return fd;
    UPDATE_ERR_AS(function, LogLevel::Critical, kErrorOperationFailed,
                  "couldn't make %s errno = %d %m \n", path, errno);
    if (fd >= 0) {
        close(fd);
        unlink(path);
    }
    return -1;
}

int openOwnFile(const char* function, const char* path, int flags) {
    int fd = open(path, flags | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || function == nullptr) return -1;
        UPDATE_ERR_AS(function, LogLevel::Critical, kErrorSystem, "open error file %s: 0x%02x %m",
                      path, errno);
        return -1;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !isOwnFile(info)) {
        if (function != nullptr) refuseFile(function, path, info);
        close(fd);
        errno = EPERM;
        return -1;
    }
    // Reads and writes wait as usual; O_NONBLOCK only kept a pipe at the name from blocking
    // the open.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

int openOwnFileForAppend(const char* function, const char* path) {
    int fd = openOwnFile(function, path, O_WRONLY | O_APPEND);
    if (fd >= 0 || errno != ENOENT) return fd;
    mode_t mode = workFileMode(path);
    fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0 && fchmod(fd, mode) == 0) return fd;
    if (fd >= 0) close(fd);
    // Something was made there meanwhile: it is taken only if it is the daemon's own.
    if (errno == EEXIST) return openOwnFile(function, path, O_WRONLY | O_APPEND);
    UPDATE_ERR_AS(function, LogLevel::Critical, kErrorOperationFailed,
                  "couldn't make %s errno = %d %m \n", path, errno);
    return -1;
}

bool ownFileAt(const char* path) {
    struct stat info {};
    return lstat(path, &info) == 0 && isOwnFile(info);
}

bool takeOverTree(const char* function, const char* folder, const char* shownAs) {
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        UPDATE_ERR_AS(function, LogLevel::Critical, kErrorOperationFailed,
                      "archive member %s refused: not a folder errno = %d %m \n", shownAs, errno);
        return false;
    }
    if (fchown(fd, geteuid(), getegid()) != 0 || fchmod(fd, 0755) != 0) {
        UPDATE_ERR_AS(function, LogLevel::Critical, kErrorOperationFailed,
                      "archive member %s refused: can't be made the daemon's\n", shownAs);
        close(fd);
        return false;
    }
    return takeOverEntries(function, fd, shownAs);
}
