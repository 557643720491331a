#include "update/update_reception.h"

#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>

#include "core/error_codes.h"
#include "core/file_util.h"
#include "core/guarded_read.h"
#include "core/log.h"
#include "core/shell_commands.h"
#include "core/work_files.h"
#include "image/image_header.h"
#include "image/image_signature.h"
#include "image/sha256.h"
#include "image/update_image.h"
#include "update/board_keys.h"
#include "update/operation_names.h"
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

// What the file open at fd holds matches digest.
bool holdsDigest(int fd, const Sha256Digest& digest) {
    Sha256Context context;
    sha256Init(context);
    std::uint8_t buffer[4096];
    off_t at = 0;
    ssize_t got = 0;
    while ((got = pread(fd, buffer, sizeof buffer, at)) > 0 || (got < 0 && errno == EINTR)) {
        if (got <= 0) continue;
        sha256Update(context, {buffer, static_cast<std::size_t>(got)});
        at += got;
    }
    return got == 0 && sha256Final(context) == digest;
}

void changeDirectory(const char* path) {
    if (chdir(path) != 0) {
        UPDATE_ERR_AS(kStartUpdate, LogLevel::Critical, kErrorOperationFailed,
                      "couldn't change to directory %s errno = %d %m \n", path, errno);
    }
}

void removeLeftover(const char* path) { removeWhateverStands(kStartUpdate, path); }

// The reception's words for a refused image file.
constexpr ImageFileMessages kMessages{kStartUpdate, ImageFileWording::Reception, true};

void reportUnreadableKey(const char* path) {
    UPDATE_ERR_AS(kStartUpdate, LogLevel::Critical, kErrorOperationFailed,
                  "update key file %s unreadable or not a key; ignored\n", path);
}

void reportOtherKeyFolderFile(void*, const char* path) {
    UPDATE_ERR_AS(kStartUpdate, LogLevel::Critical, kErrorOperationFailed,
                  "update key folder file %s is not named *.key; ignored\n", path);
}

// With keys installed on the board, only an image signed by one of them is taken, and none
// of a security version below the board's; the report says why another is refused, and who
// signed one that is taken. File 0's first bytes are copied out of the mapping under the
// guard, so that the key files are read with nothing of the mapping touched.
bool signatureAccepted(const CheckedImage& image, const Sha256Digest& signedDigest,
                       AcceptedImage* accepted) {
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
    KeyFolderRules rules;
    const char* keys = boardKeyFolder(&rules);
    SignatureCheck check = checkImageSignature({head.data(), headSize}, signedDigest, keys,
                                               readBoardSecurityVersion(kSecurityVersionPath),
                                               reportUnreadableKey, &others, rules);
    char reason[160];
    if (describeSignatureRefusal(check, keys, reason, sizeof reason)) {
        UPDATE_ERR_AS(kStartUpdate, LogLevel::Critical, kErrorOperationFailed,
                      "image file %s refused: %s\n", kImagePath, reason);
        return false;
    }
    accepted->securityVersion = check.securityVersion;
    accepted->trust =
        check.verdict == SignatureVerdict::Valid ? ImageTrust::Verified : ImageTrust::Unchecked;
    if (accepted->trust == ImageTrust::Verified) {
        char line[96];
        std::snprintf(line, sizeof line, "%s%s, security version %u\n", kSignedByReportText.data(),
                      updateKeyIdText(check.keyId).data(),
                      static_cast<unsigned>(check.securityVersion));
        UPDATE_LOG_AS(kStartUpdate, LogLevel::Warning, "%s", line);
        appendText(kUpdateReportPath, line);
    }
    return true;
}

enum class Reception {
    Refused,            // the image was refused (logged, or by checkHeader)
    ArchiveNotWritten,  // the image was accepted, but its archive couldn't be written (logged)
    ArchiveWritten,
};

// Maps and checks the image; once it is accepted, fills accepted and writes its archive to
// archivePath.
Reception receiveImage(const char* archivePath, uid_t requester, AcceptedImage* accepted) {
    MappedFile file;
    CheckedImage image{};
    if (openCheckedImage(file, kImagePath, kMessages, &image, requester) != ImageFileCheck::Valid)
        return Reception::Refused;
    accepted->identity = image.identity;
    ImageFile archive{};
    ImageFilePlace place =
        image.fileCount <= kArchiveFileIndex
            ? ImageFilePlace::Missing
            : locateCheckedImageFile(image, kArchiveFileIndex, kImagePath, kMessages, &archive);
    if (place == ImageFilePlace::Vanished) return Reception::Refused;
    if (place == ImageFilePlace::Missing) {
        UPDATE_ERR_AS(kStartUpdate, LogLevel::Critical, kErrorOperationFailed,
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
        UPDATE_ERR_AS(kStartUpdate, LogLevel::Critical, kErrorOperationFailed,
                      "image file %s: a file lies beyond the image's end!\n", kImagePath);
        return Reception::Refused;
    }
    accepted->software = digests.software;
    if (!signatureAccepted(image, digests.signedDigest, accepted)) return Reception::Refused;
    switch (writeArchive(image.bytes.subspan(archive.offset, archive.size), digests.archive,
                         archivePath)) {
        case ArchiveWrite::Written:
            return Reception::ArchiveWritten;
        case ArchiveWrite::NotWritten:
            return Reception::ArchiveNotWritten;
        case ArchiveWrite::Changed:
            break;
    }
    UPDATE_ERR_AS(kStartUpdate, LogLevel::Critical, kErrorOperationFailed,
                  "image file %s changed while it was read; its archive is not unpacked!\n",
                  kImagePath);
    return Reception::Refused;
}

// gunzip makes the decompressed archive itself, with the owner and mode of the compressed one
// (the daemon's, 0600) and never over a file that stands there: it is taken only when it is
// the daemon's own file.
bool decompressedIsOwn(const char* decompressed) {
    if (ownFileAt(decompressed)) return true;
    UPDATE_ERR_AS(kStartUpdate, LogLevel::Critical, kErrorOperationFailed,
                  "%s refused: not the update daemon's own file\n", decompressed);
    return false;
}

// The unpack folders are made from this template; a kill while unpacking leaves one behind.
constexpr char kStagingTemplate[] = "/tmp/update.d.XXXXXX";

// Removes the unpack folders that a killed run left: the daemon's own folders at names made
// from the template. Anything of another user's at such a name stays.
void removeStaleStagingFolders() {
    glob_t found{};
    if (glob("/tmp/update.d.??????", GLOB_NOSORT, nullptr, &found) == 0) {
        for (std::size_t i = 0; i < found.gl_pathc; ++i) {
            struct stat info {};
            if (lstat(found.gl_pathv[i], &info) == 0 && S_ISDIR(info.st_mode) &&
                info.st_uid == geteuid())
                removeLeftover(found.gl_pathv[i]);
        }
    }
    globfree(&found);
}

// A folder of /tmp that only the daemon can reach, removed with everything in it at the end.
class StagingFolder {
public:
    StagingFolder() {
        std::memcpy(path_, kStagingTemplate, sizeof path_);
        if (mkdtemp(path_) == nullptr) {
            UPDATE_ERR_AS(kStartUpdate, LogLevel::Critical, kErrorOperationFailed,
                          "couldn't make a folder %s errno = %d %m \n", path_, errno);
            path_[0] = '\0';
        }
    }
    ~StagingFolder() {
        if (made()) removeLeftover(path_);
    }
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;
    bool made() const { return path_[0] != '\0'; }
    const char* path() const { return path_; }

private:
    char path_[sizeof kStagingTemplate] = {};
};

// tar, run as root, gives the members the owners and modes of the archive, which are the
// makers' build machine's: unpacked where only the daemon can reach them, they are made the
// daemon's before they are moved under the update's name. The archive's own folder entry
// ("./") may change tar's working folder, never the staging folder around it.
bool unpackPrivately(const char* decompressed, int* failedStatus) {
    StagingFolder staging;
    if (!staging.made()) return false;
    char unpackIn[48];
    std::snprintf(unpackIn, sizeof unpackIn, "%s/unpack", staging.path());
    if (mkdir(unpackIn, 0700) != 0) {
        UPDATE_ERR_AS(kStartUpdate, LogLevel::Critical, kErrorOperationFailed,
                      "couldn't make a folder %s errno = %d %m \n", unpackIn, errno);
        return false;
    }
    changeDirectory(unpackIn);
    *failedStatus = shellTarExtract(decompressed);
    changeDirectory("/");
    if (*failedStatus != 0) return false;
    char unpacked[sizeof unpackIn + 16];
    std::snprintf(unpacked, sizeof unpacked, "%s/update.d", unpackIn);
    if (!takeOverTree(kStartUpdate, unpacked, "update.d")) return false;
    // A folder that somebody made at the name since it was cleared is replaced when it is
    // empty; anything else stays, and the update doesn't run.
    if (!removeWhateverStands(kStartUpdate, kUpdateFolder) ||
        rename(unpacked, kUpdateFolder) != 0) {
        UPDATE_ERR_AS(kStartUpdate, LogLevel::Critical, kErrorOperationFailed,
                      "couldn't make folder %s errno = %d %m \n", kUpdateFolder, errno);
        return false;
    }
    return true;
}

// Decompresses the archive and unpacks it into /tmp/update.d. False (logged) when a command
// failed or a file wasn't the daemon's: then nothing of the archive is left, neither a part of
// update.d nor the archive's files.
bool unpackArchive(const char* archive, const char* decompressed) {
    int failedStatus = shellGunzip(archive);
    if (failedStatus == 0 && decompressedIsOwn(decompressed) &&
        unpackPrivately(decompressed, &failedStatus)) {
        shellRemove(decompressed);
        return true;
    }
    // /tmp, the board's memory, gets its room back first, so that the report takes the failure.
    removeLeftover(archive);
    removeLeftover(decompressed);
    removeLeftover(kUpdateFolder);
    if (failedStatus != 0) commandSucceeded(kStartUpdate, failedStatus);
    return false;
}

// An update whose steps can't run: nothing of an earlier update's to-do list runs either,
// and the update ends with the final report "NOK".
void runNoSteps() {
    update.stepList[0] = STEP_NONE;
    update.stepListNext = 0;
    update.updateResult = 0;
}

}  // namespace

ArchiveWrite writeArchive(std::span<const std::uint8_t> bytes, const Sha256Digest& digest,
                          const char* path) {
    int fd = makeFreshFile(kStartUpdate, path, 0600);
    if (fd < 0) {
        UPDATE_ERR_AS(kStartUpdate, LogLevel::Critical, kErrorOperationFailed,
                      "File opening error for file :%s!\n", path);
        return ArchiveWrite::NotWritten;
    }
    int error = writeAll(fd, bytes);
    // Read back from the file itself, which no one else can open: the archive is written from
    // the mapped image, which a writer of /tmp/image could change after its digest was taken.
    bool same = error == 0 && holdsDigest(fd, digest);
    if (close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && same) return ArchiveWrite::Written;
    unlink(path);
    if (error == 0) return ArchiveWrite::Changed;
    UPDATE_ERR_AS(kStartUpdate, LogLevel::Critical, kErrorWriteOrEvent,
                  "file %s write error %d %s ret \n", path, error, std::strerror(error));
    return ArchiveWrite::NotWritten;
}

namespace {

// Whether the report at its name is the daemon's own, or not there (to be made at its first
// entry). Anything else that stands there, a link or another user's file made since start-up,
// goes, and the report is made afresh; an update whose report would still be refused doesn't
// start.
bool reportIsOwn() {
    forgetReportRefusal();
    struct stat info {};
    if ((lstat(kUpdateReportPath, &info) != 0 && errno == ENOENT) || isOwnFile(info)) return true;
    ReportAppendSuppressed guard;
    if (removeWhateverStands(kStartUpdate, kUpdateReportPath)) {
        UPDATE_LOG_AS(kStartUpdate, LogLevel::Warning,
                      "%s removed: not the update daemon's own file\n", kUpdateReportPath);
        return true;
    }
    UPDATE_ERR_AS(kStartUpdate, LogLevel::Critical, kErrorOperationFailed,
                  "%s refused: not the update daemon's own file; the update doesn't run\n",
                  kUpdateReportPath);
    return false;
}

}  // namespace

StartOutcome startUpdate(uid_t requester) {
    if (!reportIsOwn()) {
        runNoSteps();
        return StartOutcome::NotUnpacked;
    }
    // Nothing that an earlier update left for its steps is read again: each step finds only
    // what this update's steps made. (The last dump stays readable until now.)
    forgetEarlierPsKeyWork();
    forgetEarlierDfuReports();
    removeStaleStagingFolders();

    char archive[64];
    std::snprintf(archive, sizeof archive, "%s%s", kImagePath, kArchiveSuffix);
    char decompressed[sizeof archive];
    std::snprintf(decompressed, sizeof decompressed, "%.*s",
                  static_cast<int>(std::strlen(archive) - kCompressionSuffixLength), archive);

    AcceptedImage accepted;
    Reception reception = receiveImage(archive, requester, &accepted);
    if (reception == Reception::Refused) {
        runNoSteps();
        return StartOutcome::Refused;
    }
    update.acceptedImage = accepted.identity;
    update.acceptedSoftware = accepted.software;
    update.trust = accepted.trust;
    update.securityVersion = accepted.securityVersion;

    // What is unpacked must come from this update's archive: no file of an earlier update (its
    // to-do list, VERSION, PS-Keys, service records, DFU program) may stand in for one this
    // update doesn't carry, and a decompressed archive left behind would make the
    // decompression fail and the earlier archive be unpacked instead.
    // Whatever stands at these names goes: gunzip refuses to write over a file, and the
    // unpacked folder takes the name only where nothing (or an empty folder) stands.
    if (reception == Reception::ArchiveWritten &&
        (!removeWhateverStands(kStartUpdate, kUpdateFolder) ||
         !removeWhateverStands(kStartUpdate, decompressed)))
        reception = Reception::ArchiveNotWritten;
    // An accepted image whose archive can't be unpacked (not written for a full /tmp, not
    // gzip, not a tar, no room to unpack) runs no step: a missing file would otherwise show
    // up only as a step that finds nothing to do, and the update would end "OK".
    if (reception == Reception::ArchiveNotWritten || !unpackArchive(archive, decompressed)) {
        runNoSteps();
        return StartOutcome::NotUnpacked;
    }

    readStepList(kTodoPath);
    return StartOutcome::Unpacked;
}

int readStepList(const char* path) {
    update.stepListNext = 0;
    FileStream todo(openFileStream(path, "r"));
    if (!todo) {
        update.stepList[0] = STEP_NONE;
        return -1;
    }
    std::size_t selected = 0;
    char line[kTodoReadSize];
    while (std::fgets(line, sizeof line, todo.get()) != nullptr) {
        if (line[0] == '#') continue;
        const UpdateStep* step = stepNamedAtStart(line);
        if (step == nullptr) continue;
        if (selected < kMaxListedSteps) {
            std::printf("state %d   %s", static_cast<int>(step->id), line);
            update.stepList[update.stepListNext++] = step->id;
        } else {
            update.stepList[update.stepListNext] = STEP_NONE;
        }
        ++selected;
    }
    update.stepList[update.stepListNext] = STEP_NONE;
    update.stepListNext = 0;
    std::fflush(stdout);
    return 1;
}
