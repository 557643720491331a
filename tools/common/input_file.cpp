#include "tools/common/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

namespace {

bool readAll(int fd, const std::string& name, std::size_t limit, std::string* content,
             std::string* error) {
    content->clear();
    char buffer[65536];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            *error = "cannot read " + name + ": " + std::strerror(errno);
            return false;
        }
        if (got == 0) return true;
        if (content->size() + static_cast<std::size_t>(got) > limit) {
            *error = name + ": larger than " + std::to_string(limit) + " bytes";
            return false;
        }
        content->append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace

bool readInputFile(const std::string& path, std::string* content, std::string* error,
                   std::size_t limit) {
    if (path == "-") return readAll(STDIN_FILENO, "standard input", limit, content, error);
    // Opened without waiting: opening a FIFO for reading would wait for a writer.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat status {};
    bool read = false;
    if (fstat(fd, &status) != 0) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
    } else if (!S_ISREG(status.st_mode)) {
        *error = path + ": not a regular file";
    } else {
        read = readAll(fd, path, limit, content, error);
    }
    close(fd);
    return read;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.ends_with('\r')) line.pop_back();
        lines.push_back(line);
    }
    return lines;
}
