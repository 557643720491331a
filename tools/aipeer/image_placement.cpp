#include "tools/aipeer/image_placement.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool identify(int fd, PlacedImage* placed) {
    struct stat info {};
    if (fstat(fd, &info) != 0) return false;
    placed->device = info.st_dev;
    placed->inode = info.st_ino;
    return true;
}

// Copies source to a temporary file beside destination and renames it into place. The errno
// of the failure, 0 on success; the temporary file doesn't outlive a failure.
int copyIntoPlace(int source, const char* destination, PlacedImage* placed) {
    std::string temporary = std::string(destination) + ".XXXXXX";
    int fd = mkstemp(temporary.data());
    if (fd < 0) return errno;
    bool copied = lseek(source, 0, SEEK_SET) == 0 && fchmod(fd, 0644) == 0;
    char buffer[65536];
    for (ssize_t got; copied && (got = read(source, buffer, sizeof buffer)) != 0;) {
        if (got < 0 && errno == EINTR) continue;
        copied = got > 0;
        for (ssize_t done = 0; copied && done < got;) {
            ssize_t put = write(fd, buffer + done, static_cast<std::size_t>(got - done));
            if (put < 0 && errno == EINTR) continue;
            copied = put > 0;
            done += put;
        }
    }
    int error = copied ? 0 : errno;
    if (copied && !identify(fd, placed)) error = errno;
    if (close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && rename(temporary.c_str(), destination) != 0) error = errno;
    if (error != 0) unlink(temporary.c_str());
    return error;
}

}  // namespace

std::optional<PlacedImage> placeImage(int source, const std::string& path,
                                      const char* destination) {
    PlacedImage placed{path};
    // On the same file system the image itself goes into place: a copy would need its size
    // in /tmp twice.
    if (rename(path.c_str(), destination) == 0) {
        placed.renamed = true;
        identify(source, &placed);
        return placed;
    }
    if (int error = copyIntoPlace(source, destination, &placed); error != 0) {
        std::fprintf(stderr, "aipeer: can't place %s at %s: %s\n", path.c_str(), destination,
                     std::strerror(error));
        return std::nullopt;
    }
    return placed;
}

void withdrawImage(const PlacedImage& placed, const char* destination) {
    struct stat info {};
    if (lstat(destination, &info) != 0 || info.st_dev != placed.device ||
        info.st_ino != placed.inode)
        return;
    if (placed.renamed) {
        if (placed.from != destination) rename(destination, placed.from.c_str());
    } else {
        unlink(destination);
    }
}
