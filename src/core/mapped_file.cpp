#include "core/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

MappedFile::~MappedFile() { close(); }

bool MappedFile::open(const char* path) {
    close();
    fd_ = ::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    return fd_ >= 0;
}

bool MappedFile::regularFile(uid_t* owner) const {
    struct stat info {};
    if (fd_ < 0 || fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) return false;
    *owner = info.st_uid;
    return true;
}

bool MappedFile::size(std::size_t* size) const {
    struct stat info {};
    if (fd_ < 0 || fstat(fd_, &info) != 0 || info.st_size < 0) return false;
    *size = static_cast<std::size_t>(info.st_size);
    return true;
}

bool MappedFile::map() {
    std::size_t length = 0;
    if (!size(&length)) return false;
    if (length == 0) return true;
    void* data = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd_, 0);
    if (data == MAP_FAILED) return false;
    data_ = static_cast<const std::uint8_t*>(data);
    length_ = length;
    return true;
}

int MappedFile::readAt(std::uint64_t offset, std::span<std::uint8_t> into) const {
    if (fd_ < 0) return EBADF;
    // A 32-bit board's off_t ends at 2 GiB.
    constexpr auto kLastOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
    if (offset > kLastOffset || into.size() > kLastOffset - offset) return EOVERFLOW;
    while (!into.empty()) {
        ssize_t got = pread(fd_, into.data(), into.size(), static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return errno;
        if (got == 0) return ENODATA;
        into = into.subspan(static_cast<std::size_t>(got));
        offset += static_cast<std::uint64_t>(got);
    }
    return 0;
}

void MappedFile::close() {
    if (data_ != nullptr) munmap(const_cast<std::uint8_t*>(data_), length_);
    data_ = nullptr;
    length_ = 0;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}
