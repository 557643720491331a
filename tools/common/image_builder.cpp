#include "tools/common/image_builder.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/byte_order.h"
#include "image/image_header.h"
#include "tools/common/formatted.h"

namespace mkupdate {
namespace {

constexpr std::uint64_t kMaxDataSize = UINT32_MAX - kImageHeaderSize;

std::uint64_t roundUp4(std::uint64_t size) { return (size + 3) & ~std::uint64_t{3}; }

}  // namespace

std::optional<Bytes> imageHeader(std::span<const std::uint8_t> data, std::string_view name,
                                 std::uint8_t type, std::string* error) {
    if (name.size() > kImageNameSize) {
        *error = formatted("image name of %zu bytes is longer than %zu bytes", name.size(),
                           kImageNameSize);
        return std::nullopt;
    }
    if (data.size() > kMaxDataSize) {
        *error = formatted("image data of %zu bytes is too big for the image format", data.size());
        return std::nullopt;
    }
    Bytes header(kImageHeaderSize, 0);
    writeBigEndian32(header.data() + kMagicOffset, kImageMagic);
    writeBigEndian32(header.data() + kDataSizeOffset, static_cast<std::uint32_t>(data.size()));
    writeBigEndian32(header.data() + kDataCrcOffset, calcCrc32(0, data.data(), data.size()));
    header[kImageTypeOffset] = type;
    std::memcpy(header.data() + kImageNameOffset, name.data(), name.size());
    writeBigEndian32(header.data() + kHeaderCrcOffset, calcCrc32(0, header.data(), header.size()));
    return header;
}

std::optional<Bytes> wrapImage(std::span<const std::uint8_t> payload, std::string_view name,
                               std::uint8_t type, std::string* error) {
    if (type == kMultiFileImageType) {
        *error = "type 4 marks a multi-file image; build it with \"multi\"";
        return std::nullopt;
    }
    auto image = imageHeader(payload, name, type, error);
    if (!image) return std::nullopt;
    image->insert(image->end(), payload.begin(), payload.end());
    return image;
}

std::optional<Bytes> buildMultiImage(const std::vector<Bytes>& files, std::string_view name,
                                     std::string* error) {
    if (files.size() < 2) {
        *error = "an update image needs at least two files (file 0 and the update archive)";
        return std::nullopt;
    }
    std::uint64_t dataSize = 4 * (files.size() + 1);
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (files[i].empty()) {
            *error = formatted("file %zu is empty; a multi-file image can't hold empty files", i);
            return std::nullopt;
        }
        dataSize += i + 1 < files.size() ? roundUp4(files[i].size()) : files[i].size();
        if (dataSize > kMaxDataSize) {
            *error = "the files are too big for one image";
            return std::nullopt;
        }
    }
    Bytes data(4 * (files.size() + 1), 0);
    for (std::size_t i = 0; i < files.size(); ++i) {
        writeBigEndian32(data.data() + 4 * i, static_cast<std::uint32_t>(files[i].size()));
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        data.insert(data.end(), files[i].begin(), files[i].end());
        // Within kMaxDataSize, checked above: it fits a 32-bit size.
        if (i + 1 < files.size()) data.resize(static_cast<std::size_t>(roundUp4(data.size())), 0);
    }
    auto image = imageHeader(data, name, kMultiFileImageType, error);
    if (!image) return std::nullopt;
    image->insert(image->end(), data.begin(), data.end());
    return image;
}

ImageListing inspectImage(std::span<const std::uint8_t> image) {
    ImageListing listing;
    listing.fileLength = image.size();
    if (image.size() < kImageHeaderSize) {
        listing.failure = formatted("file of %zu bytes is shorter than the %zu-byte header",
                                    image.size(), kImageHeaderSize);
        return listing;
    }
    listing.headerPresent = true;
    std::uint8_t header[kImageHeaderSize];
    std::memcpy(header, image.data(), sizeof header);
    listing.magic = readBigEndian32(header + kMagicOffset);
    listing.headerCrc = readBigEndian32(header + kHeaderCrcOffset);
    writeBigEndian32(header + kHeaderCrcOffset, 0);
    listing.computedHeaderCrc = calcCrc32(0, header, sizeof header);
    listing.dataSize = readBigEndian32(header + kDataSizeOffset);
    listing.dataCrc = readBigEndian32(header + kDataCrcOffset);
    auto data = image.subspan(kImageHeaderSize);
    listing.computedDataCrc = calcCrc32(0, data.data(), data.size());
    listing.type = header[kImageTypeOffset];
    const char* name = reinterpret_cast<const char*>(header + kImageNameOffset);
    listing.name.assign(name, strnlen(name, kImageNameSize));

    auto fail = [&](std::string reason) {
        if (listing.failure.empty()) listing.failure = std::move(reason);
    };
    if (listing.magic != kImageMagic) fail(formatted("bad magic number 0x%08X", listing.magic));
    if (listing.computedHeaderCrc != listing.headerCrc) fail("bad header checksum");
    if (listing.dataSize != data.size()) {
        fail(formatted("file holds %zu data bytes, header says %u", data.size(), listing.dataSize));
    }
    if (listing.computedDataCrc != listing.dataCrc) fail("bad data checksum");

    listing.multiFile = listing.type == kMultiFileImageType;
    if (!listing.multiFile) return listing;
    std::uint64_t at = kImageHeaderSize;
    std::vector<std::uint32_t> sizes;
    for (; at + 4 <= image.size(); at += 4) {
        std::uint32_t size = readBigEndian32(image.data() + at);
        if (size == 0) {
            listing.sizeListEnded = true;
            break;
        }
        sizes.push_back(size);
    }
    if (!listing.sizeListEnded) {
        fail("list of file sizes not ended by 0 within the data");
        return listing;
    }
    std::uint64_t offset = at + 4;
    for (std::uint32_t size : sizes) {
        bool inside = offset + size <= image.size();
        listing.files.push_back({offset, size, inside});
        if (!inside) fail(formatted("file %zu reaches beyond the data", listing.files.size() - 1));
        offset += roundUp4(size);
    }
    return listing;
}

}  // namespace mkupdate
