#include "image/update_image.h"

#include <cerrno>

#include "core/byte_order.h"
#include "core/error_codes.h"
#include "core/guarded_read.h"
#include "core/log.h"

ImageFileCheck openCheckedImage(MappedFile& file, const char* path,
                                const ImageFileMessages& messages, CheckedImage* image,
                                std::optional<uid_t> requester) {
    const char* function = messages.function;
    const bool byReception = messages.wording == ImageFileWording::Reception;
    if (!file.open(path)) {
        UPDATE_ERR_AS(function, LogLevel::Critical, kErrorOperationFailed,
                      "File opening error for file :%s errno = %d %m \n", path, errno);
        return ImageFileCheck::NotOpened;
    }
    uid_t owner = 0;
    if (!file.regularFile(&owner)) {
        UPDATE_ERR_AS(function, LogLevel::Critical, kErrorOperationFailed,
                      "image file %s is not a regular file!\n", path);
        return ImageFileCheck::Refused;
    }
    if (requester && owner != 0 && owner != *requester) {
        UPDATE_ERR_AS(function, LogLevel::Critical, kErrorOperationFailed,
                      "image file %s belongs to uid %u, not to the requester (uid %u) or root!\n",
                      path, static_cast<unsigned>(owner), static_cast<unsigned>(*requester));
        return ImageFileCheck::Refused;
    }
    std::size_t size = 0;
    if (!file.size(&size)) {
        UPDATE_ERR_AS(function, LogLevel::Critical, kErrorOperationFailed,
                      "couldn't determine size of %s!\n", path);
        return ImageFileCheck::Refused;
    }
    if (size < kImageHeaderSize) {
        UPDATE_ERR_AS(function, LogLevel::Critical, kErrorOperationFailed,
                      byReception ? "file %s to small (%d Bytes) !\n"
                                  : "image file %s to small (%d Bytes) !\n",
                      path, static_cast<int>(size));
        return ImageFileCheck::Refused;
    }
    if (size > UINT32_MAX) {
        UPDATE_ERR_AS(function, LogLevel::Critical, kErrorOperationFailed,
                      byReception ? "file %s too big (%llu Bytes) !\n"
                                  : "image file %s too large (%llu Bytes) !\n",
                      path, static_cast<unsigned long long>(size));
        return ImageFileCheck::Refused;
    }
    if (!file.map()) {
        UPDATE_ERR_AS(function, LogLevel::Critical, kErrorOperationFailed,
                      byReception ? "couldn't map %s errno = %d %m \n"
                                  : "couldn't map image file %s! errno: %d %m\n",
                      path, errno);
        return ImageFileCheck::Refused;
    }
    std::span<const std::uint8_t> bytes = file.bytes();
    if (bytes.size() < kImageHeaderSize || bytes.size() > UINT32_MAX) {
        reportImageChanged(path, messages);
        return ImageFileCheck::Refused;
    }
    if (messages.logSize) {
        UPDATE_LOG_AS(function, LogLevel::Warning, "%s size = %d Bytes \n", path,
                      static_cast<int>(bytes.size()));
    }
    image->bytes = bytes;
    image->fileCount = 0;
    int checked = -1;
    bool read = guardedRead([&] {
        checked = checkHeader(bytes.data(), static_cast<std::uint32_t>(bytes.size()), image->name,
                              &image->fileCount);
        image->identity = ImageIdentity{bytes.size(), readBigEndian32(&bytes[kHeaderCrcOffset]),
                                        readBigEndian32(&bytes[kDataCrcOffset])};
    });
    if (!read) {
        reportImageChanged(path, messages);
        return ImageFileCheck::Refused;
    }
    return checked == 1 ? ImageFileCheck::Valid : ImageFileCheck::Refused;
}

ImageFilePlace locateCheckedImageFile(const CheckedImage& image, std::int32_t index,
                                      const char* path, const ImageFileMessages& messages,
                                      ImageFile* file) {
    bool found = false;
    if (!guardedRead([&] { found = locateImageFile(image.bytes, index, file); })) {
        reportImageChanged(path, messages);
        return ImageFilePlace::Vanished;
    }
    return found ? ImageFilePlace::Found : ImageFilePlace::Missing;
}

void reportImageChanged(const char* path, const ImageFileMessages& messages) {
    UPDATE_ERR_AS(messages.function, LogLevel::Critical, kErrorOperationFailed,
                  messages.wording == ImageFileWording::Reception
                      ? "file %s changed its size while read!\n"
                      : "image file %s changed its size while read!\n",
                  path);
}
