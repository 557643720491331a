#include "tools/common/image_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/common/input_file.h"

namespace mkupdate {

bool readWholeFile(const std::string& path, Bytes* content, std::string* error) {
    std::string text;
    if (!readInputFile(path, &text, error)) return false;
    content->assign(text.begin(), text.end());
    return true;
}

namespace {

bool writeAll(int fd, const Bytes& content) {
    for (std::size_t done = 0; done < content.size();) {
        ssize_t count = write(fd, content.data() + done, content.size() - done);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return false;
        done += static_cast<std::size_t>(count);
    }
    return true;
}

// Why path may not be replaced, or "" when it may. The rename would put a regular file in
// the place of a device or a link (on a build host run as root: /dev/null, /dev/stdout), and
// an input named as the output would be gone before a second look at it.
std::string replacementRefusal(const std::string& path, const std::vector<std::string>& inputs) {
    struct stat output {};
    if (lstat(path.c_str(), &output) != 0) return "";
    if (S_ISLNK(output.st_mode))
        return path + ": a symbolic link, not replaced (name the file it points to)";
    if (!S_ISREG(output.st_mode))
        return path + ": not a regular file, not replaced (- writes to standard output)";
    for (const std::string& input : inputs) {
        struct stat read {};
        if (stat(input.c_str(), &read) == 0 && read.st_dev == output.st_dev &&
            read.st_ino == output.st_ino)
            return path + ": the input " + input + ", not replaced";
    }
    return "";
}

}  // namespace

bool writeOutput(const std::string& path, const Bytes& content,
                 const std::vector<std::string>& inputs, std::string* error) {
    if (path == kStandardOutput) {
        if (writeAll(STDOUT_FILENO, content)) return true;
        *error = std::string("cannot write standard output: ") + std::strerror(errno);
        return false;
    }
    if (std::string refusal = replacementRefusal(path, inputs); !refusal.empty()) {
        *error = refusal;
        return false;
    }
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
    bool written = fchmod(fd, 0666 & ~mask) == 0 && writeAll(fd, content);
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
