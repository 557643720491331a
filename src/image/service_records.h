// The records of the service files as the SDP record check reads them: the field splitter,
// and the records of a new service file with the limits that the merge applies to them. No
// file and no log here: the tool that makes updates applies the same rules.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

// Lines are read into a buffer of this size: at most 1023 characters, line feed included.
inline constexpr std::size_t kServiceLineSize = 1024;
// A record's fields are separated by ";"; field 3 is its service entry, field 4 its key.
inline constexpr std::string_view kRecordFieldSeparator = ";";
inline constexpr int kRecordServiceField = 3;
inline constexpr int kRecordKeyField = 4;

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
