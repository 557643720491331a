// A file opened read-only and mapped whole into memory, private: images are checked and
// written where they lie. Closes and unmaps on destruction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Opens path read-only; false (errno set) when it can't be opened.
    bool open(const char* path);
    // The file's size; false when it can't be determined.
    bool size(std::size_t* size) const;
    // Maps the whole file; false (errno set) when it can't be mapped. An empty file maps to
    // an empty span.
    bool map();
    std::span<const std::uint8_t> bytes() const { return {data_, length_}; }
    // Unmaps and closes now.
    void close();

private:
    int fd_ = -1;
    const std::uint8_t* data_ = nullptr;
    std::size_t length_ = 0;
};
