// The SDP record check of step CHECK_SDP: merges the access point's service records with
// those an update brings, and rewrites the service lists of the terminal entries.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

// Field n (counted from 1) of text, split at every character of separators, each separator
// ending one field; nothing when n < 1 or text has fewer than n fields. The result views
// text, which is not changed.
std::optional<std::string_view> getField(std::string_view text, std::string_view separators, int n);

// The new service file's records as the merge holds them: each line with its line feed and
// a terminator in a store of 2000 bytes, at most 40 of them.
inline constexpr std::size_t kNewRecordStoreSize = 2000;
inline constexpr std::size_t kMaxNewRecords = 40;
struct NewServiceRecords {
    std::array<char, kNewRecordStoreSize> store{};
    std::size_t used = 0;
    std::array<std::string_view, kMaxNewRecords> records{};  // view the store
    std::size_t count = 0;
};

// Why the merge refuses a new service file: the line (counted from 1) and what is wrong.
struct NewServiceFault {
    std::size_t line;
    const char* reason;  // "more than 40 new records", ...
};

// Takes the records of a new service file's content into records, skipping comments, and
// applies the limits of the merge: a line longer than 1023 characters, a last line without
// line feed, a record with fewer than four fields, more than 40 records, a full store. No
// file, no log: the tool that makes updates applies the same rules. Nothing when the merge
// takes the file, otherwise the first fault.
std::optional<NewServiceFault> loadNewServiceRecords(std::string_view content,
                                                     NewServiceRecords& records);

// Merges the new service file into the current one and rewrites "/etc/terminal.txt". Records
// whose key the new file still carries keep their text and place, the others are dropped,
// the new file's other records are added. Nothing changes when a file breaks the format or
// a limit; /etc/terminal.txt is left alone when it can't be opened.
void checkSdpRecords(const char* currentPath, const char* newPath);

// Copies the input file to the output file with the replacement written just after the first
// occurrence of search (over what follows; first the text up to stop is removed when stop is
// not 0 and occurs after it). Nothing is written when the input can't be opened or doesn't
// fit the buffer; the content of the input ends at its first byte 0xFF.
void replaceStringInFile(const char* inputPath, const char* outputPath, const char* search,
                         const char* replacement, char stop);
