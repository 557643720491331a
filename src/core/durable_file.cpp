#include "core/durable_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

bool writeNewSyncedFile(const char* path, const void* bytes, std::size_t size, int mode) {
    int fd =
        open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, static_cast<mode_t>(mode));
    if (fd < 0) return false;
    const auto* next = static_cast<const char*>(bytes);
    std::size_t done = 0;
    while (done < size) {
        ssize_t written = write(fd, next + done, size - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (written == 0) errno = EIO;
            break;
        }
        done += static_cast<std::size_t>(written);
    }
    bool good = done == size && fsync(fd) == 0;
    int saved = errno;
    if (close(fd) != 0 && good) {
        good = false;
        saved = errno;
    }
    errno = saved;
    return good;
}

bool syncFolder(const char* path) {
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool good = fsync(fd) == 0;
    int saved = errno;
    close(fd);
    errno = saved;
    return good;
}

bool syncFolderOf(const char* path) {
    char folder[256];
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) return syncFolder(".");
    std::size_t length = slash == path ? 1 : static_cast<std::size_t>(slash - path);
    if (length >= sizeof folder) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(folder, path, length);
    folder[length] = '\0';
    return syncFolder(folder);
}

bool replaceFileDurably(const char* path, const void* bytes, std::size_t size, int mode) {
    char staging[256];
    if (std::snprintf(staging, sizeof staging, "%s.new", path) >=
        static_cast<int>(sizeof staging)) {
        errno = ENAMETOOLONG;
        return false;
    }
    // A staging file left by a cut is only ever a part of a write that was never committed.
    unlink(staging);
    if (!writeNewSyncedFile(staging, bytes, size, mode) || rename(staging, path) != 0) {
        int saved = errno;
        unlink(staging);
        errno = saved;
        return false;
    }
    return syncFolderOf(path);
}
