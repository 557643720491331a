#include "core/log.h"

#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/clock.h"
#include "core/file_util.h"

namespace {

int reportAppendSuppressed = 0;

// The minute of repeatable entries that the report is in: when it began, how many of its
// entries reached the report and how many were held back since the last count.
struct RepeatableMinute {
    bool open = false;
    std::int64_t startMs = 0;
    int reported = 0;
    int held = 0;
};
RepeatableMinute minute;

bool minuteOver(std::int64_t nowMs) {
    constexpr std::int64_t kMinuteMs = 60'000;
    return !minute.open || nowMs - minute.startMs >= kMinuteMs;
}

// The whole entry, prefix and message, goes out in one write: the DFU child logs to the same
// standard error, and an entry cut in two by another's would be two broken lines.
void writeLine(const char* kind, const char* file, const char* function, int line,
               const char* message) {
    char stamp[13];
    logTimestamp(stamp, sizeof stamp);
    char entry[kLogPrefixMax + kLogMessageMax + 1];
    int prefix = std::snprintf(entry, sizeof entry, "%s-%s %s: %s %s line: %d: ", kind,
                               kVersionText, stamp, file, function, line);
    if (prefix < 0) return;
    std::size_t length = std::min(static_cast<std::size_t>(prefix), kLogPrefixMax);
    std::size_t room = sizeof entry - length - 1;
    std::size_t text = strnlen(message, room);
    std::memcpy(entry + length, message, text);
    length += text;
    std::fflush(stderr);
    const char* next = entry;
    while (length > 0) {
        ssize_t written = write(STDERR_FILENO, next, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;  // failures to write standard error go unnoticed
        next += written;
        length -= static_cast<std::size_t>(written);
    }
}

void appendToReport(const char* message) {
    if (reportAppendSuppressed != 0) return;
    endRepeatedErrors();
    // A failure while appending this entry concerns the report itself: it goes to standard
    // error only.
    ReportAppendSuppressed guard;
    writeFile(kUpdateReportPath, "a", message, std::strlen(message));
}

// A repeatable entry reaches the report only while its minute has room left.
void appendRepeatable(const char* message) {
    std::int64_t now = monotonicMs();
    if (minuteOver(now)) {
        endRepeatedErrors();
        minute = RepeatableMinute{true, now, 0, 0};
    }
    if (minute.reported >= kReportedPerMinute) {
        ++minute.held;
        return;
    }
    ++minute.reported;
    appendToReport(message);
}

enum class EntryKind { Information, Error, RepeatableError };

// The one formatter of every entry. Formatting comes first, so that "%m" gives the text of
// the errno that the caller left; the entry's own writes leave the caller's errno as it was,
// so that a caller may still look at it after logging.
__attribute__((format(printf, 5, 0))) void writeEntry(EntryKind kind, const char* file,
                                                      const char* function, int line,
                                                      const char* format, va_list args) {
    int callersErrno = errno;
    char message[kLogMessageMax + 1];
    std::vsnprintf(message, sizeof message, format, args);
    writeLine(kind == EntryKind::Information ? "UPDATE_LOG" : "UPDATE_ERR", file, function, line,
              message);
    if (kind == EntryKind::Error) appendToReport(message);
    if (kind == EntryKind::RepeatableError) appendRepeatable(message);
    errno = callersErrno;
}

}  // namespace

ReportAppendSuppressed::ReportAppendSuppressed() { ++reportAppendSuppressed; }
ReportAppendSuppressed::~ReportAppendSuppressed() { --reportAppendSuppressed; }

void logTimestamp(char* buffer, std::size_t size) {
    timeval now{};
    gettimeofday(&now, nullptr);
    std::tm parts{};
    time_t seconds = now.tv_sec;
    gmtime_r(&seconds, &parts);
    // Each field in its range, so that the 12 characters always fit 13 bytes.
    unsigned hours = static_cast<unsigned>(parts.tm_hour) % 24;
    unsigned minutes = static_cast<unsigned>(parts.tm_min) % 60;
    unsigned secs = static_cast<unsigned>(parts.tm_sec) % 61;  // a leap second reads 60
    unsigned millis = static_cast<unsigned>(now.tv_usec / 1000) % 1000;
    std::snprintf(buffer, size, "%02u:%02u:%02u.%03u", hours, minutes, secs, millis);
}

void updateLog(LogLevel level, const char* file, const char* function, int line, const char* format,
               ...) {
    if (static_cast<int>(level) > kLogThreshold) return;
    va_list args;
    va_start(args, format);
    writeEntry(EntryKind::Information, file, function, line, format, args);
    va_end(args);
}

void updateErr(LogLevel, const char* file, const char* function, int line, int, const char* format,
               ...) {
    va_list args;
    va_start(args, format);
    writeEntry(EntryKind::Error, file, function, line, format, args);
    va_end(args);
}

void updateErrRepeatable(LogLevel, const char* file, const char* function, int line, int,
                         const char* format, ...) {
    va_list args;
    va_start(args, format);
    writeEntry(EntryKind::RepeatableError, file, function, line, format, args);
    va_end(args);
}

void endRepeatedErrors() {
    if (minute.held == 0) return;
    char line[64];
    std::snprintf(line, sizeof line, "%d datagram errors left out of the report\n", minute.held);
    minute.held = 0;
    appendToReport(line);
}
