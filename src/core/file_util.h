// Whole-file operations over buffered streams, used for the update report, the to-do and
// version files, the PS-Key files and the DFU status file. Each opens and closes the file
// within the call and reports its failures through the log.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>

struct FileStreamCloser {
    void operator()(std::FILE* stream) const { std::fclose(stream); }
};
// Owning holder for a stream returned by openFileStream.
using FileStream = std::unique_ptr<std::FILE, FileStreamCloser>;

// Opens path with an fopen mode ("r", "w", "a", ...); nullptr (logged) on failure. A work file
// directly in /tmp is opened only when it is the daemon's own (never through a link), and when
// written to and absent made by the daemon, with its work file mode (work_files.h).
std::FILE* openFileStream(const char* path, const char* mode);

// Whether a write to the update report was refused since forgetReportRefusal: something other
// than the daemon's own file (a link, another user's file) stood at its name. Such an update
// doesn't end "OK", as its report is not what happened.
bool reportWasRefused();
void forgetReportRefusal();

// Reads the file into buffer, at most size bytes, no terminating zero added.
// 1 when read (whole or cut at size bytes), -1 when it can't be opened.
int readFileToBuffer(const char* path, std::size_t size, char* buffer);

// Replaces the last n bytes of the file, in place, with the n bytes at data.
// Returns n, or -1 when the file can't be opened or is shorter than n (nothing changes).
int changeLastBytesInFile(const char* path, const char* data, std::size_t n);

// Writes n bytes to the file opened with mode (callers use "a"). Returns the count written,
// or -1 when the file can't be opened.
int writeFile(const char* path, const char* mode, const void* buffer, std::size_t n);

// writeFile of a NUL-terminated text in append mode.
int appendText(const char* path, const char* text);
