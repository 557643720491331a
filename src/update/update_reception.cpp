#include "update/update_reception.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <span>

#include "core/ai_socket.h"
#include "core/error_codes.h"
#include "core/file_util.h"
#include "core/guarded_read.h"
#include "core/log.h"
#include "core/shell_commands.h"
#include "image/image_header.h"
#include "image/image_signature.h"
#include "image/sha256.h"
#include "image/update_image.h"
#include "update/step_actions.h"
#include "update/update_state.h"

namespace {

// File 1 of the update image, the compressed archive, is extracted under the image's name
// followed by "1.gz"; decompressing drops the ".gz".
constexpr const char* kArchiveSuffix = "1.gz";
constexpr std::size_t kCompressionSuffixLength = 3;
constexpr std::int32_t kArchiveFileIndex = 1;
// One piece of the to-do file: 1022 characters and the terminating zero.
constexpr std::size_t kTodoReadSize = 1023;

// 0 when all bytes were written, or the errno of the failed write.
int writeAll(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        ssize_t written = write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return written < 0 ? errno : ENOSPC;
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return 0;
}

// Writes file 1 of the checked image into the archive file. Made anew for every update, so
// that a longer archive of an earlier update leaves no tail behind. False (logged) when the
// archive couldn't be written whole; no part of it is left behind then, so that /tmp, which
// is the board's memory, has its room back before the failure is reported.
bool extractArchive(std::span<const std::uint8_t> image, const ImageFile& archive,
                    const char* path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        UPDATE_ERR_AS("startUpdate", LogLevel::Critical, kErrorOperationFailed,
                      "File opening error for file :%s!\n", path);
        return false;
    }
    int error = writeAll(fd, image.subspan(archive.offset, archive.size));
    if (close(fd) != 0 && error == 0) error = errno;
    if (error == 0) return true;
    unlink(path);
    UPDATE_ERR_AS("startUpdate", LogLevel::Critical, kErrorWriteOrEvent,
                  "file %s write error %d %s ret \n", path, error, std::strerror(error));
    return false;
}

void changeDirectory(const char* path) {
    if (chdir(path) != 0) {
        UPDATE_ERR_AS("startUpdate", LogLevel::Critical, kErrorOperationFailed,
                      "couldn't change to directory %s errno = %d %m \n", path, errno);
    }
}

void removeLeftover(const char* path) {
    if (unlink(path) != 0 && errno != ENOENT) {
        UPDATE_ERR_AS("startUpdate", LogLevel::Critical, kErrorOperationFailed,
                      "couldn't remove %s errno = %d %m \n", path, errno);
    }
}

// Removes everything under /tmp/update.d/ (a link is removed, never followed). A folder name
// that is no folder goes altogether.
void emptyUpdateFolder() {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path folder(kUpdateFolder);
    fs::file_status status = fs::symlink_status(folder, error);
    if (!fs::exists(status)) return;
    if (!fs::is_directory(status)) {
        removeLeftover(kUpdateFolder);
        return;
    }
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
        UPDATE_LOG_AS("startUpdate", LogLevel::Detail, "removing %s of an earlier update\n",
                      entry->path().c_str());
        std::error_code removal;
        fs::remove_all(entry->path(), removal);
        if (removal) {
            UPDATE_ERR_AS("startUpdate", LogLevel::Critical, kErrorOperationFailed,
                          "couldn't remove %s errno = %d %s \n", entry->path().c_str(),
                          removal.value(), removal.message().c_str());
        }
    }
    if (error) {
        UPDATE_ERR_AS("startUpdate", LogLevel::Critical, kErrorOperationFailed,
                      "couldn't read folder %s errno = %d %s \n", kUpdateFolder, error.value(),
                      error.message().c_str());
    }
}

// The reception's words for a refused image file.
constexpr ImageFileMessages kMessages{
    "startUpdate",
    "file %s to small (%d Bytes) !\n",
    "file %s too big (%llu Bytes) !\n",
    "couldn't map %s errno = %d %m \n",
    "file %s changed its size while read!\n",
    true,
};

// Whether the file at path holds exactly the bytes whose digest is given: the archive is
// written from the mapped image, which a writer of /tmp/image could change after its digest
// was taken.
bool fileHasDigest(const char* path, const Sha256Digest& digest) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    Sha256Context context;
    sha256Init(context);
    std::uint8_t buffer[4096];
    ssize_t got = 0;
    while ((got = read(fd, buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)) {
        if (got > 0) sha256Update(context, {buffer, static_cast<std::size_t>(got)});
    }
    close(fd);
    return got == 0 && sha256Final(context) == digest;
}

void reportUnreadableKey(const char* path) {
    UPDATE_ERR_AS("startUpdate", LogLevel::Critical, kErrorOperationFailed,
                  "update key file %s unreadable or not a key; ignored\n", path);
}

void reportOtherKeyFolderFile(void*, const char* path) {
    UPDATE_ERR_AS("startUpdate", LogLevel::Critical, kErrorOperationFailed,
                  "update key folder file %s is not named *.key; ignored\n", path);
}

// With keys installed on the board, only an image signed by one of them is taken, and none
// of a security version below the board's; the report says why another is refused, and who
// signed one that is taken. File 0's first bytes are copied out of the mapping under the
// guard, so that the key files are read with nothing of the mapping touched.
bool signatureAccepted(const CheckedImage& image, const Sha256Digest& signedDigest) {
    ImageFile file0{};
    std::array<std::uint8_t, kSecurityBlockHeaderSize + kRsaMaxBits / 8> head{};
    std::size_t headSize = 0;
    bool read = guardedRead([&] {
        if (!locateImageFile(image.bytes, 0, &file0)) return;
        headSize = std::min<std::size_t>(file0.size, head.size());
        std::copy_n(&image.bytes[file0.offset], headSize, head.begin());
    });
    if (!read) {
        reportImageChanged(kImagePath, kMessages);
        return false;
    }
    const OtherFileListener others{reportOtherKeyFolderFile, nullptr};
    SignatureCheck check = checkImageSignature(
        {head.data(), headSize}, signedDigest, kUpdateKeyFolder,
        readBoardSecurityVersion(kSecurityVersionPath), reportUnreadableKey, &others);
    char reason[160];
    if (describeSignatureRefusal(check, kUpdateKeyFolder, reason, sizeof reason)) {
        UPDATE_ERR_AS("startUpdate", LogLevel::Critical, kErrorOperationFailed,
                      "image file %s refused: %s\n", kImagePath, reason);
        return false;
    }
    update.securityVersion = check.securityVersion;
    update.trust =
        check.verdict == SignatureVerdict::Valid ? ImageTrust::Verified : ImageTrust::Unchecked;
    if (update.trust == ImageTrust::Verified) {
        char line[96];
        std::snprintf(line, sizeof line, "%s%s, security version %u\n", kSignedByReportText.data(),
                      updateKeyIdText(check.keyId).data(),
                      static_cast<unsigned>(check.securityVersion));
        UPDATE_LOG_AS("startUpdate", LogLevel::Warning, "%s", line);
        appendText(kUpdateReportPath, line);
    }
    return true;
}

enum class Reception {
    Refused,            // the image was refused (logged, or by checkHeader)
    ArchiveNotWritten,  // the image was accepted, but its archive couldn't be written (logged)
    ArchiveWritten,
};

// Maps and checks the image; on success writes its archive to archivePath.
Reception receiveImage(const char* archivePath, uid_t requester) {
    MappedFile file;
    CheckedImage image{};
    if (openCheckedImage(file, kImagePath, kMessages, &image, requester) != ImageFileCheck::Valid)
        return Reception::Refused;
    update.acceptedImage = image.identity;
    ImageFile archive{};
    ImageFilePlace place =
        image.fileCount <= kArchiveFileIndex
            ? ImageFilePlace::Missing
            : locateCheckedImageFile(image, kArchiveFileIndex, kImagePath, kMessages, &archive);
    if (place == ImageFilePlace::Vanished) return Reception::Refused;
    if (place == ImageFilePlace::Missing) {
        UPDATE_ERR_AS("startUpdate", LogLevel::Critical, kErrorOperationFailed,
                      "image file %s holds %d files; no update archive (file 1) in it!\n",
                      kImagePath, static_cast<int>(image.fileCount));
        return Reception::Refused;
    }
    // One read of files 1 to the last gives the digest that the signature covers and those
    // that the archive written and the flash must match: what was verified is what is used.
    ImageDigests digests{};
    bool inside = false;
    if (!guardedRead([&] { inside = digestImageFiles(image.bytes, image.fileCount, &digests); })) {
        reportImageChanged(kImagePath, kMessages);
        return Reception::Refused;
    }
    if (!inside) {
        UPDATE_ERR_AS("startUpdate", LogLevel::Critical, kErrorOperationFailed,
                      "image file %s: a file lies beyond the image's end!\n", kImagePath);
        return Reception::Refused;
    }
    update.acceptedSoftware = digests.software;
    if (!signatureAccepted(image, digests.signedDigest)) return Reception::Refused;
    if (!extractArchive(image.bytes, archive, archivePath)) return Reception::ArchiveNotWritten;
    if (!fileHasDigest(archivePath, digests.archive)) {
        removeLeftover(archivePath);
        UPDATE_ERR_AS("startUpdate", LogLevel::Critical, kErrorOperationFailed,
                      "image file %s changed while it was read; its archive is not unpacked!\n",
                      kImagePath);
        return Reception::Refused;
    }
    return Reception::ArchiveWritten;
}

// Decompresses the archive and unpacks it under /tmp. False (logged) when a command failed:
// then nothing of the archive is left, neither a part of update.d nor the archive's files.
bool unpackArchive(const char* archive, const char* decompressed) {
    int status = shellGunzip(archive);
    if (status == 0) {
        changeDirectory("/tmp");
        status = shellTarExtract(decompressed);
        changeDirectory("/");
    }
    if (status == 0) {
        shellRemove(decompressed);
        return true;
    }
    // /tmp, the board's memory, gets its room back first, so that the report takes the failure.
    removeLeftover(archive);
    removeLeftover(decompressed);
    emptyUpdateFolder();
    return commandSucceeded("startUpdate", status);
}

// An update whose steps can't run: nothing of an earlier update's to-do list runs either,
// and the update ends with the final report "NOK".
void runNoSteps() {
    stepList[0] = STEP_NONE;
    stepListNext = 0;
    update.updateResult = 0;
}

}  // namespace

int startUpdate(uid_t requester) {
    // Nothing that an earlier update left for its steps is read again: each step finds only
    // what this update's steps made. (The last dump stays readable until now.)
    forgetEarlierPsKeyWork();
    forgetEarlierDfuReports();

    char archive[64];
    std::snprintf(archive, sizeof archive, "%s%s", kImagePath, kArchiveSuffix);
    char decompressed[sizeof archive];
    std::snprintf(decompressed, sizeof decompressed, "%.*s",
                  static_cast<int>(std::strlen(archive) - kCompressionSuffixLength), archive);

    Reception reception = receiveImage(archive, requester);
    if (reception == Reception::Refused) {
        sendReply(1, "OK", 3);
        runNoSteps();
        return -1;
    }

    // What is unpacked must come from this update's archive: no file of an earlier update (its
    // to-do list, VERSION, PS-Keys, service records, DFU program) may stand in for one this
    // update doesn't carry, and a decompressed archive left behind would make the
    // decompression fail and the earlier archive be unpacked instead.
    emptyUpdateFolder();
    removeLeftover(decompressed);
    // An accepted image whose archive can't be unpacked (not written for a full /tmp, not
    // gzip, not a tar, no room to unpack) runs no step: a missing file would otherwise show
    // up only as a step that finds nothing to do, and the update would end "OK".
    if (reception == Reception::ArchiveNotWritten || !unpackArchive(archive, decompressed)) {
        runNoSteps();
        return -1;
    }

    readStepList(kTodoPath);
    return 1;
}

int readStepList(const char* path) {
    stepListNext = 0;
    FileStream todo(openFileStream(path, "r"));
    if (!todo) {
        stepList[0] = STEP_NONE;
        return -1;
    }
    std::size_t selected = 0;
    char line[kTodoReadSize];
    while (std::fgets(line, sizeof line, todo.get()) != nullptr) {
        if (line[0] == '#') continue;
        for (const UpdateStep& step : stepTable) {
            if (step.keyword == nullptr) break;
            if (std::strncmp(line, step.keyword, std::strlen(step.keyword)) != 0) continue;
            if (selected < kMaxListedSteps) {
                std::printf("state %d   %s", static_cast<int>(step.id), line);
                stepList[stepListNext++] = step.id;
            } else {
                stepList[stepListNext] = STEP_NONE;
            }
            ++selected;
            break;
        }
    }
    stepList[stepListNext] = STEP_NONE;
    stepListNext = 0;
    std::fflush(stdout);
    return 1;
}
