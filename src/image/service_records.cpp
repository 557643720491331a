#include "image/service_records.h"

#include <cstring>

namespace {

bool isComment(std::string_view line) { return line.starts_with('#'); }

}  // namespace

std::optional<std::string_view> getField(std::string_view text, std::string_view separators,
                                         int n) {
    if (n < 1) return std::nullopt;
    std::size_t start = 0;
    for (int field = 1;; ++field) {
        std::size_t end = text.find_first_of(separators, start);
        if (field == n) {
            // start is within text (0, or just past a separator found in it): no range check
            // (nor its error text) is needed.
            std::string_view rest = text;
            rest.remove_prefix(start);
            return rest.substr(0, end == std::string_view::npos ? end : end - start);
        }
        if (end == std::string_view::npos) return std::nullopt;
        start = end + 1;
    }
}

std::optional<NewServiceFault> loadNewServiceRecords(std::string_view content,
                                                     NewServiceRecords& records) {
    records.used = 0;
    records.count = 0;
    for (std::size_t lineNumber = 1; !content.empty(); ++lineNumber) {
        // As the line reader sees it: at most 1023 characters, line feed included.
        std::size_t end = content.find('\n');
        std::size_t length = end == std::string_view::npos ? content.size() : end + 1;
        if (length > kServiceLineSize - 1)
            return NewServiceFault{lineNumber, "line longer than 1023 characters"};
        if (end == std::string_view::npos)
            return NewServiceFault{lineNumber, "last line without line feed"};
        std::string_view line = content.substr(0, length);
        content.remove_prefix(length);
        if (isComment(line)) continue;
        if (!getField(line, kRecordFieldSeparator, kRecordKeyField))
            return NewServiceFault{lineNumber, "record with fewer than four fields"};
        if (records.count == kMaxNewRecords)
            return NewServiceFault{lineNumber, "more than 40 new records"};
        if (records.used + line.size() + 1 > records.store.size())
            return NewServiceFault{lineNumber, "new records don't fit their store"};
        char* slot = records.store.data() + records.used;
        std::memcpy(slot, line.data(), line.size());
        slot[line.size()] = '\0';
        records.used += line.size() + 1;
        records.records[records.count++] = {slot, line.size()};
    }
    return std::nullopt;
}
