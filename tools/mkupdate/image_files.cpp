#include "tools/mkupdate/image_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace mkupdate {

bool readWholeFile(const std::string& path, Bytes* content, std::string* error) {
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (in == nullptr) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    content->clear();
    std::uint8_t buffer[65536];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
        content->insert(content->end(), buffer, buffer + got);
    }
    bool failed = std::ferror(in) != 0;
    int readError = errno;
    std::fclose(in);
    if (failed) {
        *error = "cannot read " + path + ": " + std::strerror(readError);
        return false;
    }
    return true;
}

bool writeWholeFile(const std::string& path, const Bytes& content, std::string* error) {
    // Written beside the output and renamed over it: a failure leaves no partial file, and a
    // file that was there stays as it was.
    std::string temporary = path + ".XXXXXX";
    int fd = mkstemp(temporary.data());
    if (fd < 0) {
        *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    mode_t mask = umask(0);
    umask(mask);
    bool written = fchmod(fd, 0666 & ~mask) == 0;
    for (std::size_t done = 0; written && done < content.size();) {
        ssize_t count = write(fd, content.data() + done, content.size() - done);
        if (count < 0 && errno == EINTR) continue;
        written = count > 0;
        if (written) done += static_cast<std::size_t>(count);
    }
    int writeError = errno;
    if (close(fd) != 0 && written) {
        written = false;
        writeError = errno;
    }
    if (written && std::rename(temporary.c_str(), path.c_str()) != 0) {
        written = false;
        writeError = errno;
    }
    if (!written) {
        unlink(temporary.c_str());
        *error = "cannot write " + path + ": " + std::strerror(writeError);
        return false;
    }
    return true;
}

}  // namespace mkupdate
