// The SDP record check over its three files: the access point's service records
// "/etc/service.txt", the update's "/tmp/update.d/service.txt" and the terminal entries
// "/etc/terminal.txt", merged by checkSdpRecords with the board's copy and remove commands.
//
// Input: the three files in that order, separated by the line "@@@@". A file that the input
// doesn't reach (fewer separators) is not there at all.
//
// Promises checked: no temporary file is left in /tmp; a check that refuses its files (they
// break the format or a limit, or a service file is missing) leaves both files of /etc as they
// were; otherwise the merged service file keeps the current file's comments in order, holds
// only lines of the current file and records of the new one, carries every key of the new
// file, and the terminal entries' fields 3 and 4 both name exactly the services of the merged
// file's active records, in order, with the other lines' comments kept.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/log.h"
#include "fuzz/fuzz_support.h"
#include "image/sdp_check.h"
#include "image/service_records.h"
#include "update/update_reception.h"

namespace {

constexpr const char* kCurrentPath = "/etc/service.txt";
constexpr const char* kNewPath = "/tmp/update.d/service.txt";
constexpr const char* kTerminalPath = "/etc/terminal.txt";

bool isComment(std::string_view line) { return line.starts_with('#'); }
bool isInactive(std::string_view line) { return line.starts_with("#$"); }
bool isPureComment(std::string_view line) { return isComment(line) && !isInactive(line); }

std::vector<std::string_view> pureComments(std::string_view text) {
    std::vector<std::string_view> comments;
    for (std::string_view line : splitLines(text))
        if (isPureComment(line)) comments.push_back(line);
    return comments;
}

bool contains(const std::vector<std::string_view>& lines, std::string_view line) {
    for (std::string_view candidate : lines)
        if (candidate == line) return true;
    return false;
}

void placeFile(const char* path, const std::optional<std::string_view>& content) {
    if (content) {
        writeWholeFile(path, *content);
    } else {
        removeFile(path);
    }
}

// The merged service file, and the service list that its active records make.
std::string checkMerged(std::string_view current, std::string_view update,
                        std::string_view merged) {
    std::vector<std::string_view> currentLines = splitLines(current);
    std::vector<std::string_view> updateLines = splitLines(update);
    std::vector<std::string_view> mergedLines = splitLines(merged);
    FUZZ_ASSERT(pureComments(merged) == pureComments(current),
                "the current file's comments keep their order, no other comment comes in");
    std::string services;
    for (std::string_view line : mergedLines) {
        FUZZ_ASSERT(line.ends_with('\n'), "every merged line ends with its line feed");
        if (isPureComment(line)) continue;
        FUZZ_ASSERT(
            contains(currentLines, line) || (!isComment(line) && contains(updateLines, line)),
            "a merged record is a current line or a record of the update");
        FUZZ_ASSERT(getField(line, ";", 4).has_value(), "a merged record has four fields");
        if (!isInactive(line)) {
            services += *getField(line, ";", 3);
            services += ',';
        }
    }
    for (std::string_view record : updateLines) {
        if (isComment(record)) continue;
        bool carried = false;
        for (std::string_view line : mergedLines) {
            if (!isPureComment(line) && getField(line, ";", 4) == getField(record, ";", 4))
                carried = true;
        }
        FUZZ_ASSERT(carried, "every key of the update is carried by the merged file");
    }
    if (!services.empty()) services.pop_back();
    return services;
}

void checkTerminal(std::string_view before, std::string_view after, const std::string& services) {
    std::vector<std::string_view> comments;
    for (std::string_view line : splitLines(before))
        if (isComment(line)) comments.push_back(line);
    std::vector<std::string_view> kept;
    for (std::string_view line : splitLines(after)) {
        FUZZ_ASSERT(line.ends_with('\n'), "every terminal line ends with its line feed");
        if (isComment(line)) {
            kept.push_back(line);
            continue;
        }
        FUZZ_ASSERT(getField(line, ";", 3) == services && getField(line, ";", 4) == services,
                    "a terminal entry's fields 3 and 4 name exactly the active services");
    }
    FUZZ_ASSERT(kept == comments, "the terminal file's comments keep their places");
    FUZZ_ASSERT(splitLines(after).size() <= splitLines(before).size(),
                "the terminal file gets no new lines");
}

}  // namespace

void setUpHarness() { makeFolder(kUpdateFolder); }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::optional<std::string_view>> files(3);
    std::optional<std::string_view> rest(std::in_place, reinterpret_cast<const char*>(data), size);
    for (std::optional<std::string_view>& file : files) {
        if (!rest) break;
        std::size_t end = rest->find(kFileSeparator);
        file = rest->substr(0, end);
        rest = end == std::string_view::npos
                   ? std::nullopt
                   : std::optional(rest->substr(end + kFileSeparator.size()));
    }
    placeFile(kCurrentPath, files[0]);
    placeFile(kNewPath, files[1]);
    placeFile(kTerminalPath, files[2]);
    removeFile(kUpdateReportPath);

    checkSdpRecords(kCurrentPath, kNewPath);

    FUZZ_ASSERT(!fileExists("/tmp/sdp.txt") && !fileExists("/tmp/tmp.txt"),
                "no temporary file is left");
    std::optional<std::string> current = readWholeFile(kCurrentPath);
    std::optional<std::string> terminal = readWholeFile(kTerminalPath);
    std::string report = readWholeFile(kUpdateReportPath).value_or("");
    // Without both service files there is nothing to merge; a refusal is logged.
    bool refused =
        !files[0] || !files[1] || report.find("SDP records not merged") != std::string::npos;
    if (refused) {
        FUZZ_ASSERT(current == files[0], "a refused check leaves the service file alone");
        FUZZ_ASSERT(terminal == files[2], "a refused check leaves the terminal file alone");
        return 0;
    }
    FUZZ_ASSERT(current.has_value(), "the merged service file is in place");
    std::string services = checkMerged(*files[0], *files[1], *current);
    FUZZ_ASSERT(terminal.has_value() == files[2].has_value(),
                "the terminal file is there exactly when it was");
    if (terminal) checkTerminal(*files[2], *terminal, services);
    return 0;
}
