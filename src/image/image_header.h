// The update image format: a 64-byte big-endian header (magic number, header and data
// CRC-32, data size, type, name) followed by the data. A multi-file image (type 4) carries a
// list of file sizes ended by 0, then the files, each starting on a 4-byte boundary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr std::uint32_t kImageMagic = 0x11092001;
inline constexpr std::size_t kImageHeaderSize = 64;
inline constexpr std::size_t kImageNameSize = 32;
inline constexpr std::uint8_t kMultiFileImageType = 4;

// Offsets of the header fields (all words big-endian).
inline constexpr std::size_t kMagicOffset = 0;
inline constexpr std::size_t kHeaderCrcOffset = 4;
inline constexpr std::size_t kDataSizeOffset = 12;
inline constexpr std::size_t kDataCrcOffset = 24;
inline constexpr std::size_t kImageTypeOffset = 30;
inline constexpr std::size_t kImageNameOffset = 32;

// CRC-32 (IEEE 802.3, zlib's crc32) of length bytes, continuing from crc (0 to start).
// A null pointer yields 0.
std::uint32_t calcCrc32(std::uint32_t crc, const std::uint8_t* data, std::size_t length);

// 1 when the image (fileLength bytes, header included) is valid, -1 (logged) otherwise.
// On success name (33 bytes) holds the image name, NUL-terminated, and fileCount the number
// of files of a multi-file image (0 for other types).
int checkHeader(const std::uint8_t* image, std::uint32_t fileLength, char* name,
                std::int32_t* fileCount);

// Where file index (from 0) of a multi-file image lies, in bytes from the image's start.
struct ImageFile {
    std::uint32_t offset;
    std::uint32_t size;
};
// False when the image holds no such file or the file doesn't lie wholly inside it.
bool locateImageFile(std::span<const std::uint8_t> image, std::int32_t index, ImageFile* file);
