// A file opened read-only and mapped whole into memory, private: images are checked and
// written where they lie. Closes and unmaps on destruction.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>

class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Opens path read-only; false (errno set) when it can't be opened. A link is not followed
    // (ELOOP), and a FIFO doesn't hold the daemon up waiting for a writer.
    bool open(const char* path);
    // Whether the open file is a regular file, and its owner; false when it can't be told.
    bool regularFile(uid_t* owner) const;
    // The file's size; false when it can't be determined.
    bool size(std::size_t* size) const;
    // Maps the whole file; false (errno set) when it can't be mapped. An empty file maps to
    // an empty span.
    bool map();
    std::span<const std::uint8_t> bytes() const { return {data_, length_}; }
    // Reads into.size() bytes of the open file from offset into the caller's memory with read
    // calls, not through the mapping: once read, no writer of the file can change them. 0 when
    // all were read, ENODATA when the file ends first, or the errno of the failed read.
    int readAt(std::uint64_t offset, std::span<std::uint8_t> into) const;
    // Unmaps and closes now.
    void close();

private:
    int fd_ = -1;
    const std::uint8_t* data_ = nullptr;
    std::size_t length_ = 0;
};
