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
#include "core/error_codes.h"
#include "core/file_util.h"

namespace {

int reportAppendSuppressed = 0;

// The minute of each kind of repeated entries: when it began, how many of its entries were
// written and how many were held back since the last count.
struct RepeatedMinute {
    bool open = false;
    std::int64_t startMs = 0;
    int written = 0;
    int held = 0;
};
// In arrays rather than pointers, which would each cost the daemon a relocation.
constexpr char kRepeatedNames[][18] = {"datagram errors", "signals", "child end signals"};
constexpr int kRepeatedKinds = sizeof kRepeatedNames / sizeof kRepeatedNames[0];
RepeatedMinute repeatedMinutes[kRepeatedKinds];

// Standard error's writes that failed (a reader gone, a full disk): dropped, and counted on
// standard error once it takes writes again.
unsigned lostEntries = 0;

// The whole entry, prefix and message, goes out in one write: the DFU child logs to the same
// standard error, and an entry cut in two by another's would be two broken lines.
void writeLine(const char* kind, const char* function, int line, const char* message) {
    char stamp[13];
    logTimestamp(stamp, sizeof stamp);
    char entry[kLogPrefixMax + kLogMessageMax + 1];
    int prefix = std::snprintf(entry, sizeof entry, "%s-%s %s: %s %s line: %d: ", kind,
                               kVersionText, stamp, kLogSourceFile, function, line);
    if (prefix < 0) return;
    std::size_t length = std::min(static_cast<std::size_t>(prefix), kLogPrefixMax);
    std::size_t room = sizeof entry - length - 1;
    std::size_t text = strnlen(message, room);
    std::memcpy(entry + length, message, text);
    length += text;
    // A progress entry ends in a carriage return, so that on a terminal the next one writes
    // over it; in a file or a pipe the entries would run together on one line.
    if (length > 0 && entry[length - 1] == '\r' && isatty(STDERR_FILENO) == 0)
        entry[length - 1] = '\n';
    std::fflush(stderr);
    if (lostEntries != 0) {
        char lost[48];
        int n = std::snprintf(lost, sizeof lost, "%u log entries lost\n", lostEntries);
        if (write(STDERR_FILENO, lost, static_cast<std::size_t>(n)) == n) lostEntries = 0;
    }
    const char* next = entry;
    while (length > 0) {
        ssize_t written = write(STDERR_FILENO, next, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            ++lostEntries;
            return;
        }
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

enum class EntryKind { Information, Error };

// The one formatter of every entry. Formatting comes first, so that "%m" gives the text of
// the errno that the caller left; the entry's own writes leave the caller's errno as it was,
// so that a caller may still look at it after logging.
__attribute__((format(printf, 4, 0))) void writeEntry(EntryKind kind, const char* function,
                                                      int line, const char* format, va_list args) {
    int callersErrno = errno;
    char message[kLogMessageMax + 1];
    std::vsnprintf(message, sizeof message, format, args);
    writeLine(kind == EntryKind::Information ? "UPDATE_LOG" : "UPDATE_ERR", function, line,
              message);
    if (kind == EntryKind::Error) appendToReport(message);
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

void updateLog(LogLevel level, const char* function, int line, const char* format, ...) {
    if (static_cast<int>(level) > kLogThreshold) return;
    va_list args;
    va_start(args, format);
    writeEntry(EntryKind::Information, function, line, format, args);
    va_end(args);
}

void updateErr(const char* function, int line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    writeEntry(EntryKind::Error, function, line, format, args);
    va_end(args);
}

bool admitRepeated(Repeated kind) {
    RepeatedMinute& minute = repeatedMinutes[static_cast<int>(kind)];
    std::int64_t now = monotonicMs();
    if (!minute.open || now - minute.startMs >= 60'000) {
        endRepeatedErrors();
        minute = RepeatedMinute{true, now, 0, 0};
    }
    if (minute.written >= kReportedPerMinute) {
        ++minute.held;
        return false;
    }
    ++minute.written;
    return true;
}

void endRepeatedErrors() {
    for (int kind = 0; kind < kRepeatedKinds; ++kind) {
        int held = repeatedMinutes[kind].held;
        if (held == 0) continue;
        repeatedMinutes[kind].held = 0;
        UPDATE_ERR(LogLevel::Warning, kErrorWriteOrEvent, "%d %s left out of the report\n", held,
                   kRepeatedNames[kind]);
    }
}
