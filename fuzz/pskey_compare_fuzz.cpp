// The comparison of the prepared .psr file "/tmp/pskeyprep.psr" (the keys the update wants)
// with the module's dump "/tmp/pskeydump.psr" by comparePSKeyFiles, which writes the report
// "/tmp/pskeycomp.psr" and the keys to set "/tmp/pskeytoset.psr".
//
// Input: one flags byte, then the two files separated by the line "@@@@". Flags bit 0 makes
// the files ordinary text first (no zero bytes, lines shorter than a read, a line feed at the
// end), where the line-by-line promises below can be checked; otherwise any bytes go in.
//
// Promises checked: both files are read (1); the files are only read. For ordinary files: the
// to-set file holds key lines of the prepared file, in its order, and every prepared key line
// that the dump lacks as it is; the report's ">>" lines are exactly the to-set lines and its
// "<<" lines are dump key lines; identical files in ascending key order give neither file.
#include <cstdint>
#include <string>
#include <vector>

#include "btlink/module_answers.h"
#include "btlink/pskey_files.h"
#include "btlink/pskey_line.h"
#include "core/log.h"
#include "fuzz/fuzz_support.h"

namespace {

// The files are read up to 1023 bytes at a time; ordinary lines stay well below.
constexpr std::size_t kOrdinaryLineLimit = 1000;

std::string ordinary(std::string_view text) {
    std::string result;
    std::size_t column = 0;
    for (char c : text) {
        if (c == '\0') c = ' ';
        if (column == kOrdinaryLineLimit && c != '\n') {
            result += '\n';
            column = 0;
        }
        result += c;
        column = c == '\n' ? 0 : column + 1;
    }
    if (!result.empty() && !result.ends_with('\n')) result += '\n';
    return result;
}

std::vector<std::string_view> keyLines(std::string_view text) {
    std::vector<std::string_view> keys;
    for (std::string_view line : splitLines(text))
        if (line.starts_with('&')) keys.push_back(line);
    return keys;
}

bool contains(const std::vector<std::string_view>& lines, std::string_view line) {
    for (std::string_view candidate : lines)
        if (candidate == line) return true;
    return false;
}

// Identical files in ascending key order, every key four hex digits.
bool ascending(std::string_view text) {
    bool first = true;
    std::uint16_t last = 0;
    for (std::string_view line : keyLines(text)) {
        std::uint16_t key = 0;
        if (!readHexWord(line, 1, &key) || (!first && key <= last)) return false;
        first = false;
        last = key;
    }
    return true;
}

void checkOrdinary(std::string_view prepared, std::string_view dump) {
    std::string toSet = readWholeFile(kPsKeyToSetPath).value_or("");
    std::string report = readWholeFile(kPsKeyReportPath).value_or("");
    std::vector<std::string_view> wanted = keyLines(prepared);
    std::vector<std::string_view> have = keyLines(dump);

    std::vector<std::string_view> setLines = splitLines(toSet);
    std::size_t at = 0;
    for (std::string_view line : setLines) {
        while (at < wanted.size() && wanted[at] != line) ++at;
        FUZZ_ASSERT(at < wanted.size(), "the to-set file holds prepared key lines in their order");
        ++at;
    }
    for (std::string_view line : wanted) {
        if (!contains(have, line))
            FUZZ_ASSERT(contains(setLines, line), "a key the module lacks as wanted is set");
    }
    std::vector<std::string_view> setReported;
    for (std::string_view line : splitLines(report)) {
        FUZZ_ASSERT(line.starts_with(">>") || line.starts_with("<<"),
                    "a report line is marked \">>\" or \"<<\"");
        if (line.starts_with(">>")) {
            setReported.push_back(line.substr(2));
        } else {
            FUZZ_ASSERT(contains(have, line.substr(2)), "a \"<<\" line is a dump key line");
        }
    }
    FUZZ_ASSERT(setReported == setLines, "the report's \">>\" lines are the to-set lines");
    if (prepared == dump && ascending(prepared)) {
        FUZZ_ASSERT(!fileExists(kPsKeyToSetPath) && !fileExists(kPsKeyReportPath),
                    "identical files give neither a report nor keys to set");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    bool makeOrdinary = (data[0] & 1) != 0;
    std::vector<std::string_view> files = splitFiles({data + 1, size - 1}, 2);
    std::string prepared(files[0]);
    std::string dump(files[1]);
    if (makeOrdinary) {
        prepared = ordinary(prepared);
        dump = ordinary(dump);
    }
    removeFile(kUpdateReportPath);
    removeFile(kPsKeyReportPath);
    removeFile(kPsKeyToSetPath);
    writeWholeFile(kPsKeyPreparedPath, prepared);
    writeWholeFile(kPsKeyDumpPath, dump);

    FUZZ_ASSERT(comparePSKeyFiles(kPsKeyPreparedPath, kPsKeyDumpPath) == 1,
                "two existing files are compared");
    FUZZ_ASSERT(
        readWholeFile(kPsKeyPreparedPath) == prepared && readWholeFile(kPsKeyDumpPath) == dump,
        "the compared files are only read");
    if (makeOrdinary) checkOrdinary(prepared, dump);

    removeFile(kPsKeyDumpPath);
    FUZZ_ASSERT(comparePSKeyFiles(kPsKeyPreparedPath, kPsKeyDumpPath) == 0,
                "a missing dump can't be compared");
    return 0;
}
