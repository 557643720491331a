#include "image/image_writer.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "core/byte_order.h"
#include "core/error_codes.h"
#include "core/log.h"
#include "core/report_progress.h"
#include "core/shell_commands.h"
#include "image/flash.h"
#include "image/image_header.h"
#include "image/update_image.h"

namespace {

// Every message of the image writing names writeImage, whichever of its parts reports it.
constexpr const char* kWriteImage = "writeImage";

constexpr ImageFileMessages kImageMessages{kWriteImage, ImageFileWording::Writing, false};

// The share of the image written before a pass, truncated: 0 for the first pass.
int percentWritten(std::uint32_t remaining, std::uint32_t length) {
    double share = static_cast<double>(remaining) / static_cast<double>(length);
    return static_cast<int>(100.0 - share * 100.0);
}

// Writes the image in pieces of one sector from imageAreaStart on, each into a freshly erased
// sector: programming flash only clears bits, so a sector left holding older data would
// end up with a mix of both. Stops at the first failure. 1, or -1.
int writePasses(const std::uint8_t* image, std::uint32_t length) {
    std::uint32_t remaining = length;
    std::uint32_t flashOffset = imageAreaStart;
    const std::uint8_t* source = image;
    while (flashOffset < flashLayout.configSectorStart) {
        int percent = percentWritten(remaining, length);
        UPDATE_LOG_AS(kWriteImage, LogLevel::Warning,
                      "writing sector %06X to flash; missing %08u Bytes; %3d%%\n",
                      static_cast<unsigned>(flashOffset), static_cast<unsigned>(remaining),
                      percent);
        showPercent(percent);
        std::uint32_t piece = remaining < configSectorSize ? remaining : configSectorSize;
        if (eraseFlash(flashOffset, sectorSize) < 0) return -1;
        if (writeFlash(flashOffset, source, piece) < 0) return -1;
        source += piece;
        remaining -= piece;
        if (remaining == 0) {
            showPercent(100);
            return 1;
        }
        flashOffset += sectorSize;
    }
    return -1;  // not reached: the image is smaller than the image area
}

// Makes the image area unbootable: its magic word programmed to zero, which NOR flash allows
// without an erase, or where the flash takes no write, its first sector erased. How it went,
// for the report.
const char* unbootImageArea() {
    constexpr std::array<std::uint8_t, 4> kNoMagic{};
    if (writeFlash(imageAreaStart, kNoMagic.data(), kNoMagic.size()) == 1)
        return "its magic cleared, it won't boot";
    if (eraseFlash(imageAreaStart, sectorSize) == 1)
        return "its first sector erased, it won't boot";
    return "its magic not cleared";
}

// Reads the length bytes written from imageAreaStart back, piece by piece, and compares their
// SHA-256 with the one taken at reception. A flash that lost bits would otherwise boot an
// image nobody made: what isn't the image received is made unbootable. True when the flash
// holds the image received.
bool flashHoldsTheImage(std::uint32_t length, const Sha256Digest& expected) {
    std::vector<std::uint8_t> piece(configSectorSize);
    Sha256Context context;
    sha256Init(context);
    bool read = true;
    for (std::uint32_t done = 0; read && done < length;) {
        std::uint32_t size = std::min<std::uint32_t>(length - done, configSectorSize);
        read = readFlash(imageAreaStart + done, piece.data(), size) == 1;
        sha256Update(context, std::span(piece.data(), size));
        done += size;
    }
    if (read && sha256Final(context) == expected) return true;
    const char* unbooted = unbootImageArea();
    UPDATE_ERR_AS(kWriteImage, LogLevel::Critical, kErrorOperationFailed,
                  "lap image in flash %s the image received; %s\n",
                  read ? "differs from" : "couldn't be read back to compare with", unbooted);
    return false;
}

// Whether the image area holds a whole image, its header's and its data's CRC-32 right, as
// the boot loader takes one: the old image where a pass failed before it changed anything.
// Its magic word goes to magic.
bool imageAreaIsWhole(std::uint32_t imageSpace, std::uint32_t* magic) {
    std::vector<std::uint8_t> piece(configSectorSize);
    std::uint8_t* header = piece.data();
    // A header that can't be read may be anything: it counts as the magic.
    *magic = kImageMagic;
    if (readFlash(imageAreaStart, header, kImageHeaderSize) != 1) return false;
    *magic = readBigEndian32(header + kMagicOffset);
    std::uint32_t headerCrc = readBigEndian32(header + kHeaderCrcOffset);
    std::uint32_t dataCrc = readBigEndian32(header + kDataCrcOffset);
    std::uint32_t size = readBigEndian32(header + kDataSizeOffset);
    writeBigEndian32(header + kHeaderCrcOffset, 0);
    if (calcCrc32(0, header, kImageHeaderSize) != headerCrc || size > imageSpace - kImageHeaderSize)
        return false;
    std::uint32_t crc = 0;
    for (std::uint32_t done = 0; done < size;) {
        std::uint32_t length = std::min<std::uint32_t>(size - done, configSectorSize);
        if (readFlash(imageAreaStart + kImageHeaderSize + done, piece.data(), length) != 1)
            return false;
        crc = calcCrc32(crc, piece.data(), length);
        done += length;
    }
    return crc == dataCrc && *magic == kImageMagic;
}

// After a pass failed: a header written by an earlier pass, or an old image that a pass
// erased in part, would have the board boot an image whose rest is missing or old. An image
// area that still holds a whole image (the old one, where the first erase failed) boots as it
// is; where it holds no magic (the first sector erased and not written), nothing boots it
// already. Nothing is said in either case.
void unbootPartlyWrittenImage(std::uint32_t imageSpace) {
    std::uint32_t magic = 0;
    if (imageAreaIsWhole(imageSpace, &magic) || magic != kImageMagic) return;
    UPDATE_ERR_AS(kWriteImage, LogLevel::Critical, kErrorOperationFailed,
                  "lap image written only in part; %s\n", unbootImageArea());
}

// The lap image, the last file of the image; nothing (logged) when it isn't there.
bool locateLapImage(const CheckedImage& image, ImageFile* lapFile) {
    std::int32_t fileCount = image.fileCount;
    if (fileCount <= 0) {
        UPDATE_ERR_AS(kWriteImage, LogLevel::Critical, kErrorOperationFailed,
                      "image file %s holds no files; no lap image to write!\n", kImagePath);
        return false;
    }
    switch (locateCheckedImageFile(image, fileCount - 1, kImagePath, kImageMessages, lapFile)) {
        case ImageFilePlace::Found:
            return true;
        case ImageFilePlace::Missing:
            UPDATE_ERR_AS(kWriteImage, LogLevel::Critical, kErrorOperationFailed,
                          "lap image (file %d) lies outside image file %s!\n",
                          static_cast<int>(fileCount - 1), kImagePath);
            return false;
        case ImageFilePlace::Vanished:
            break;
    }
    return false;
}

// The flash's room for an image: from the image area's start to the configuration sector.
// False (logged) when the flash size is unknown: with a guessed size the area could end in
// the configuration sector itself, or beyond the end of the flash.
bool flashImageSpace(std::uint32_t* imageSpace) {
    if (!recheckFlashConfig()) {
        UPDATE_ERR_AS(kWriteImage, LogLevel::Critical, kErrorOperationFailed,
                      "flash size unknown; lap image not written\n");
        return false;
    }
    *imageSpace = flashLayout.configSectorStart > imageAreaStart
                      ? flashLayout.configSectorStart - imageAreaStart
                      : 0;
    return true;
}

// Whether the lap image's own header is sound (logged where not); a name other than the lap
// software's is only noted.
bool lapHeaderIsSound(std::span<const std::uint8_t> lapImage) {
    if (lapImage.size() < kImageHeaderSize) {
        UPDATE_ERR_AS(kWriteImage, LogLevel::Critical, kErrorOperationFailed,
                      "lap image with %u Bytes is shorter than its header!\n",
                      static_cast<unsigned>(lapImage.size()));
        return false;
    }
    char lapName[kImageNameSize + 1];
    std::int32_t lapFileCount = 0;
    if (checkHeader(lapImage.data(), static_cast<std::uint32_t>(lapImage.size()), lapName,
                    &lapFileCount) < 0)
        return false;
    if (std::strncmp(lapName, kLapImageName, std::strlen(kLapImageName)) != 0) {
        UPDATE_LOG_AS(kWriteImage, LogLevel::Warning,
                      "lap image name \"%s\" doesn't begin with \"%s\"\n", lapName, kLapImageName);
    }
    return true;
}

// The lap image read out of the image file into the daemon's own memory, and held to the
// digest that the reception accepted (on a board with keys, one that the signature covers):
// whoever can write /tmp/image can change it under a mapping at any time, and keep its size
// and CRC-32s while doing so. The flash is erased only for bytes that nobody can change any
// more. Nothing (logged) when they can't be read or aren't the bytes received.
std::unique_ptr<std::uint8_t[]> holdAcceptedLapImage(const MappedFile& file,
                                                     const ImageFile& lapFile,
                                                     const Sha256Digest& software) {
    std::unique_ptr<std::uint8_t[]> held(new (std::nothrow) std::uint8_t[lapFile.size]);
    if (!held) {
        UPDATE_ERR_AS(kWriteImage, LogLevel::Critical, kErrorOperationFailed,
                      "no memory to hold lap image with %u Bytes; flash untouched\n",
                      static_cast<unsigned>(lapFile.size));
        return nullptr;
    }
    std::span<std::uint8_t> bytes(held.get(), lapFile.size);
    int error = file.readAt(lapFile.offset, bytes);
    if (error == ENODATA) {
        reportImageChanged(kImagePath, kImageMessages);
        return nullptr;
    }
    if (error != 0) {
        UPDATE_ERR_AS(kWriteImage, LogLevel::Critical, kErrorOperationFailed,
                      "couldn't read lap image from %s errno = %d %s; flash untouched\n",
                      kImagePath, error, std::strerror(error));
        return nullptr;
    }
    if (sha256(bytes) != software) {
        UPDATE_ERR_AS(kWriteImage, LogLevel::Critical, kErrorOperationFailed,
                      "lap image in %s differs from the image received; flash untouched\n",
                      kImagePath);
        return nullptr;
    }
    return held;
}

// Writes the last file of the checked update image, the LAP software image. 1, or -1 (logged).
int writeLapImage(const MappedFile& file, const CheckedImage& image, const Sha256Digest& software) {
    ImageFile lapFile{};
    std::uint32_t imageSpace = 0;
    if (!locateLapImage(image, &lapFile) || !flashImageSpace(&imageSpace)) return -1;
    UPDATE_LOG_AS(kWriteImage, LogLevel::Warning,
                  "write lap image with %u Bytes to %u Bytes flash\n",
                  static_cast<unsigned>(lapFile.size), static_cast<unsigned>(imageSpace));
    // Before the image is read into memory: one that can't go into the flash takes none.
    if (lapFile.size >= imageSpace) {
        UPDATE_ERR_AS(kWriteImage, LogLevel::Critical, kErrorOperationFailed,
                      "Not enough space (%u Bytes) in flash to write lap image with %u Bytes!\n",
                      static_cast<unsigned>(imageSpace), static_cast<unsigned>(lapFile.size));
        return -1;
    }
    std::unique_ptr<std::uint8_t[]> lapImage = holdAcceptedLapImage(file, lapFile, software);
    if (!lapImage || !lapHeaderIsSound({lapImage.get(), lapFile.size})) return -1;

    startPercent(0);
    if (writePasses(lapImage.get(), lapFile.size) == 1)
        return flashHoldsTheImage(lapFile.size, software) ? 1 : -1;
    unbootPartlyWrittenImage(imageSpace);
    return -1;
}

}  // namespace

int writeImage(const ImageIdentity& accepted, const Sha256Digest& software) {
    MappedFile file;
    CheckedImage image{};
    ImageFileCheck check = openCheckedImage(file, kImagePath, kImageMessages, &image);
    if (check == ImageFileCheck::NotOpened) return -1;
    // The steps before this one installed the accepted image's parts: another image's
    // software beside them would be a mixed install.
    if (check == ImageFileCheck::Valid && !(image.identity == accepted)) {
        UPDATE_ERR_AS(kWriteImage, LogLevel::Critical, kErrorOperationFailed,
                      "image file %s changed since it was received; flash untouched\n", kImagePath);
        check = ImageFileCheck::Refused;
    }
    int result = check == ImageFileCheck::Valid ? writeLapImage(file, image, software) : -1;
    file.close();
    shellRemove(kImagePath);
    return result;
}
