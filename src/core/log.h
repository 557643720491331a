// Progress and error log of the update daemon.
//
// Every line on standard error reads
//   "UPDATE_LOG-0.1.0 hh:mm:ss.mmm: src/update_process <function> line: <n>: <message>"
// (or "UPDATE_ERR-..."). Error texts are also appended, bare, to the update report.
//
// A failed system call is logged with "%m" where its error text goes, and errno as the
// argument where its number goes: the text is that of the errno the call left, and logging
// leaves errno as it found it.
#pragma once

#include <cstddef>

enum class LogLevel : int { Warning = 1, Critical = 2, Detail = 3, Fatal = 4 };

inline constexpr char kVersionText[] = "0.1.0";
inline constexpr char kLogSourceFile[] = "src/update_process";
inline constexpr char kUpdateReportPath[] = "/tmp/update.log";
inline constexpr int kLogThreshold = 2;
// A formatted message keeps at most this many characters.
inline constexpr std::size_t kLogMessageMax = 1022;
// Room for an entry's prefix: kind, version, time, file, function and line.
inline constexpr std::size_t kLogPrefixMax = 160;

// Each entry names the daemon's source as kLogSourceFile, whatever object logs it: the
// formatter adds it, so that no call carries it.
void updateLog(LogLevel level, const char* function, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void updateErr(const char* function, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// UPDATE_LOG_AS(function, level, format, ...): information, written when level <= 2. An entry
// of a level above that is left out of the program, its text with it; its format is still
// checked.
#define UPDATE_LOG_AS(function, level, ...)                      \
    (static_cast<int>(level) <= kLogThreshold                    \
         ? updateLog((level), (function), __LINE__, __VA_ARGS__) \
         : void())
// UPDATE_ERR_AS(function, level, code, format, ...): always written, and appended to the update
// report. The level and the code tell the reader of the call how grave the failure is and
// which error it is; the entry shows neither, so neither goes into the call.
#define UPDATE_ERR_AS(function, level, code, ...) \
    ((void)(level), (void)(code), updateErr((function), __LINE__, __VA_ARGS__))
// The entry names function: the operation that logs. A helper that reports on behalf of the
// operation it serves names that one, which is what people grep the log for, through a
// constant where several calls name it; UPDATE_LOG and UPDATE_ERR name the calling function.
#define UPDATE_LOG(level, ...) UPDATE_LOG_AS(__func__, level, __VA_ARGS__)
#define UPDATE_ERR(level, code, ...) UPDATE_ERR_AS(__func__, level, code, __VA_ARGS__)

// Entries that anybody on the machine can bring on in floods: a junk datagram or a send that a
// flood made fail, a signal sent again and again, a SIGCHLD among them. Each kind gets at most
// kReportedPerMinute entries a minute, on standard error and in the update report alike, whatever
// their text; the others are counted, and one line "N <kind> left out of the report" stands for
// them, so that a flood can't fill /tmp, which is the board's memory, nor a disk that standard
// error goes to.
enum class Repeated : int { DatagramErrors, Signals, ChildSignals };
inline constexpr int kReportedPerMinute = 20;
// True when the entry of that kind is to be written; otherwise it is counted.
bool admitRepeated(Repeated kind);
// UPDATE_ERR_REPEATABLE(level, code, format, ...): a datagram's error.
#define UPDATE_ERR_REPEATABLE(level, code, ...)                                            \
    do {                                                                                   \
        if (admitRepeated(Repeated::DatagramErrors)) UPDATE_ERR(level, code, __VA_ARGS__); \
    } while (false)

// The counts of the repeated entries held back go out now, if there are any. Anything else
// that is appended to the report does this first, so that a count stands where the entries
// would have stood.
void endRepeatedErrors();

// Writes "hh:mm:ss.mmm" (UTC) into buffer, at most size bytes with the terminating zero.
void logTimestamp(char* buffer, std::size_t size);

// While a holder of this guard lives, UPDATE_ERR does not append to the update report.
// The file utilities take it when the failure they report concerns the report itself, so
// that a full /tmp cannot make the log chase its own tail.
class ReportAppendSuppressed {
public:
    ReportAppendSuppressed();
    ~ReportAppendSuppressed();
    ReportAppendSuppressed(const ReportAppendSuppressed&) = delete;
    ReportAppendSuppressed& operator=(const ReportAppendSuppressed&) = delete;
};
