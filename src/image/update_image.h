// The update image that the peer places at /tmp/image: opened, mapped whole and checked where
// it lies, once by the reception of an update and once more by the software image writing.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>

#include "core/mapped_file.h"
#include "image/image_header.h"

inline constexpr char kImagePath[] = "/tmp/image";

// Whose words refuse the image file: the reception's, or the software image writing's. The
// formats stand here, at the calls, where the compiler checks their arguments.
enum class ImageFileWording { Reception, Writing };
// How an operation refuses the image file. Lines name function.
struct ImageFileMessages {
    const char* function;
    ImageFileWording wording;
    bool logSize;  // log "<path> size = <n> Bytes" once mapped
};

enum class ImageFileCheck {
    Valid,
    NotOpened,  // the file couldn't be opened (logged); nothing else happened
    Refused,    // opened, but refused (logged, or by checkHeader)
};

// What tells one image's bytes from another's: its size and the two CRC-32s of its header.
// A byte-identical copy has the same.
struct ImageIdentity {
    std::uint64_t size = 0;
    std::uint32_t headerCrc = 0;
    std::uint32_t dataCrc = 0;
    bool operator==(const ImageIdentity&) const = default;
};

struct CheckedImage {
    std::span<const std::uint8_t> bytes;  // the whole file, mapped
    char name[kImageNameSize + 1];
    std::int32_t fileCount;
    ImageIdentity identity;  // of the bytes that passed the check
};

// Opens path into file, takes its size, maps it and checks its header with checkHeader. The
// mapping's own length counts: the file may have changed since its size was taken. A file
// cut short while its checksums run is refused with messages.changed.
// With requester, the file must be owned by root or by that uid: an image that somebody else
// placed is not the requester's. Whatever the requester, it must be a regular file (a link is
// not opened at all).
ImageFileCheck openCheckedImage(MappedFile& file, const char* path,
                                const ImageFileMessages& messages, CheckedImage* image,
                                std::optional<uid_t> requester = std::nullopt);

// Where file index of the checked image lies (locateImageFile, its size list read under the
// guard of core/guarded_read.h). A file cut short under the read counts as Vanished, logged
// with messages.changed.
enum class ImageFilePlace { Found, Missing, Vanished };
ImageFilePlace locateCheckedImageFile(const CheckedImage& image, std::int32_t index,
                                      const char* path, const ImageFileMessages& messages,
                                      ImageFile* file);

// Logs that the image file was cut short while it was read, with messages.changed.
void reportImageChanged(const char* path, const ImageFileMessages& messages);
