#include "core/file_util.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "core/error_codes.h"
#include "core/log.h"
#include "core/work_files.h"

namespace {

// A failure that concerns the update report is not appended to the report itself.
struct ReportFailureGuard {
    explicit ReportFailureGuard(const char* path) {
        if (std::strcmp(path, kUpdateReportPath) == 0) guard.emplace();
    }
    std::optional<ReportAppendSuppressed> guard;
};

// A short write, reported by the operation that wrote (function).
void reportWriteError(const char* function, const char* path) {
    ReportFailureGuard guard(path);
    UPDATE_ERR_AS(function, LogLevel::Critical, kErrorWriteOrEvent, "write to %s error %d %m \n",
                  path, errno);
}

bool reportRefused = false;

// openOwnStream reports as the operation it serves.
constexpr const char* kOpenFileStream = "openFileStream";

// A work file directly in /tmp is opened only when it is the daemon's own, and made by the
// daemon (O_EXCL) when it is written to and absent; "w" empties it only once it is known to be
// the daemon's. nullptr (logged, naming the path) otherwise; errno ENOENT, not logged, when a
// file to read isn't there.
std::FILE* openOwnStream(const char* path, const char* mode) {
    ReportFailureGuard guard(path);
    const bool report = std::strcmp(path, kUpdateReportPath) == 0;
    int fd = -1;
    if (mode[0] == 'a') {
        fd = openOwnFileForAppend(kOpenFileStream, path);
    } else if (mode[0] == 'w') {
        fd = openOwnFileForAppend(kOpenFileStream, path);
        if (fd >= 0) {
            // Written from the start, as fopen's "w" does.
            int flags = fcntl(fd, F_GETFL);
            if (ftruncate(fd, 0) != 0 || fcntl(fd, F_SETFL, flags & ~O_APPEND) != 0) {
                close(fd);
                fd = -1;
            }
        }
    } else {
        fd = openOwnFile(kOpenFileStream, path, mode[1] == '+' ? O_RDWR : O_RDONLY);
    }
    if (fd < 0) {
        if (errno == ENOENT) {
            UPDATE_ERR_AS(kOpenFileStream, LogLevel::Critical, kErrorSystem,
                          "open error file %s: 0x%02x %m", path, errno);
        } else if (report) {
            reportRefused = true;
        }
        return nullptr;
    }
    std::FILE* stream = fdopen(fd, mode);
    if (stream == nullptr) close(fd);
    return stream;
}

}  // namespace

bool reportWasRefused() { return reportRefused; }
void forgetReportRefusal() { reportRefused = false; }

std::FILE* openFileStream(const char* path, const char* mode) {
    if (isSharedTmpName(path)) {
        std::FILE* stream = openOwnStream(path, mode);
        if (stream != nullptr) UPDATE_LOG(LogLevel::Detail, "file opened %s with fd \n", path);
        return stream;
    }
    // Close-on-exec ("e"): a child started meanwhile must not inherit the daemon's files.
    char modeText[8];
    std::snprintf(modeText, sizeof modeText, "%.6se", mode);
    std::FILE* stream = std::fopen(path, modeText);
    if (stream == nullptr) {
        ReportFailureGuard guard(path);
        UPDATE_ERR(LogLevel::Critical, kErrorSystem, "open error file %s: 0x%02x %m", path, errno);
        return nullptr;
    }
    UPDATE_LOG(LogLevel::Detail, "file opened %s with fd \n", path);
    return stream;
}

int readFileToBuffer(const char* path, std::size_t size, char* buffer) {
    FileStream stream(openFileStream(path, "r"));
    if (!stream) return -1;
    std::size_t stored = 0;
    int c;
    while ((c = std::fgetc(stream.get())) != EOF) {
        if (stored == size) {
            UPDATE_ERR(LogLevel::Critical, kErrorOperationFailed,
                       "No more place in read buffer !!\n");
            break;
        }
        buffer[stored++] = static_cast<char>(c);
    }
    return 1;
}

int changeLastBytesInFile(const char* path, const char* data, std::size_t n) {
    // Written in place: a reader of the report never finds it empty or half rewritten, and
    // a report of any length keeps everything before its last n bytes.
    FileStream stream(openFileStream(path, "r+"));
    if (!stream) return -1;
    std::setvbuf(stream.get(), nullptr, _IONBF, 0);
    std::fseek(stream.get(), 0, SEEK_END);
    long length = std::ftell(stream.get());
    if (length < 0 || static_cast<unsigned long>(length) < n) {
        ReportFailureGuard guard(path);
        UPDATE_ERR(LogLevel::Critical, kErrorOperationFailed,
                   "can't replace %u bytes of %s holding %ld bytes\n", static_cast<unsigned>(n),
                   path, length);
        return -1;
    }
    std::fseek(stream.get(), length - static_cast<long>(n), SEEK_SET);
    std::size_t written = std::fwrite(data, 1, n, stream.get());
    int flushed = std::fflush(stream.get());
    if (written < n || flushed != 0) reportWriteError("changeLastBytesInFile", path);
    return static_cast<int>(written);
}

int writeFile(const char* path, const char* mode, const void* buffer, std::size_t n) {
    // Whatever goes into the report ends a run of repeated errors: their count first.
    if (std::strcmp(path, kUpdateReportPath) == 0) endRepeatedErrors();
    FileStream stream(openFileStream(path, mode));
    if (!stream) return -1;
    // Unbuffered, so that the count returned is what reached the file.
    std::setvbuf(stream.get(), nullptr, _IONBF, 0);
    std::size_t written = std::fwrite(buffer, 1, n, stream.get());
    int flushed = std::fflush(stream.get());
    if (written < n || flushed != 0) reportWriteError("writeFile", path);
    return static_cast<int>(written);
}

int appendText(const char* path, const char* text) {
    return writeFile(path, "a", text, std::strlen(text));
}
