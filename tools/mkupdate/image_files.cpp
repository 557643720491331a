#include "tools/mkupdate/image_files.h"

#include <cerrno>
#include <cstdio>
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
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    bool written = std::fwrite(content.data(), 1, content.size(), out) == content.size();
    int writeError = errno;
    if (std::fclose(out) != 0 && written) {
        written = false;
        writeError = errno;
    }
    if (!written) {
        std::remove(path.c_str());
        *error = "cannot write " + path + ": " + std::strerror(writeError);
        return false;
    }
    return true;
}

}  // namespace mkupdate
