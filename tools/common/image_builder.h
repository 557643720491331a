// Update images as the update daemon reads them: single images (header and payload) and
// multi-file images (type 4), built reproducibly, and the check of an image's header and files.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mkupdate {

using Bytes = std::vector<std::uint8_t>;

// The header that wraps data: magic, header CRC, data size, data CRC, type and name; every
// other header byte 0. Nothing, with a message in error, when the name is longer than 32
// bytes or the data too big for the format.
std::optional<Bytes> imageHeader(std::span<const std::uint8_t> data, std::string_view name,
                                 std::uint8_t type, std::string* error);

// A single image: the header and payload. Type 4 is refused (that is a multi-file image).
std::optional<Bytes> wrapImage(std::span<const std::uint8_t> payload, std::string_view name,
                               std::uint8_t type, std::string* error);

// A multi-file image (type 4) of the files in order: the size list ended by 0, then each
// file on a 4-byte boundary; the last file is not padded. An update image holds at least
// two files (file 1 is the update archive) and no file can be empty.
std::optional<Bytes> buildMultiImage(const std::vector<Bytes>& files, std::string_view name,
                                     std::string* error);

// The place of a file inside an image, in bytes from the image's start.
struct ListedFile {
    std::uint64_t offset = 0;
    std::uint32_t size = 0;
    bool inside = false;  // lies wholly within the image data
};

// What a check of an image found, field by field.
struct ImageListing {
    std::uint64_t fileLength = 0;
    bool headerPresent = false;  // at least 64 bytes
    std::uint32_t magic = 0;
    std::uint32_t headerCrc = 0;
    std::uint32_t computedHeaderCrc = 0;
    std::uint32_t dataSize = 0;
    std::uint32_t dataCrc = 0;
    std::uint32_t computedDataCrc = 0;  // over the data bytes the file holds
    std::uint8_t type = 0;
    std::string name;  // up to the first NUL, at most 32 bytes
    bool multiFile = false;
    bool sizeListEnded = false;
    std::vector<ListedFile> files;
    // The first failure in the order the daemon checks, or empty for a valid image.
    std::string failure;
    bool valid() const { return failure.empty(); }
};

// Checks an image as the daemon does (magic, header CRC, data size, data CRC, and for a
// multi-file image that its size list and files lie within the data), without stopping at
// the first failure.
ImageListing inspectImage(std::span<const std::uint8_t> image);

}  // namespace mkupdate
