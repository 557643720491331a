#include "image/sdp_check.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#include "core/durable_file.h"
#include "core/error_codes.h"
#include "core/file_util.h"
#include "core/log.h"
#include "core/shell_commands.h"
#include "core/work_files.h"

namespace {

// The helpers below report as the check they serve.
constexpr const char* kCheckSdpRecords = "checkSdpRecords";

constexpr const char* kTerminalPath = "/etc/terminal.txt";
constexpr const char* kMergedPath = "/tmp/sdp.txt";
constexpr const char* kTerminalBuildPath = "/tmp/tmp.txt";

// Lines are read into a 1024-byte buffer and the new records held in a 2000-byte store (both
// in service_records.h); the service list holds 2000 bytes with its terminator; a rewritten
// terminal entry is built in 1024 bytes; a command text in 160.
constexpr std::size_t kLineSize = kServiceLineSize;
constexpr std::size_t kServiceListSize = 2000;
constexpr std::size_t kEntrySize = 1024;
constexpr std::size_t kCommandSize = 160;
constexpr std::string_view kCopyCommand = " -cp ";
constexpr std::size_t kStagingSuffixLength = 4;  // ".new"

constexpr int kServiceField = kRecordServiceField;
constexpr int kKeyField = kRecordKeyField;
constexpr std::string_view kFieldSeparator = kRecordFieldSeparator;

// Why a check is abandoned: the file and what is wrong with it.
struct Refusal {
    const char* path;
    const char* reason;
};
using CheckResult = std::optional<Refusal>;

enum class LineStatus { Complete, End, TooLong, NoLineEnd, ReadError };

struct LineRead {
    LineStatus status;
    std::string_view text;  // with its line feed
};

// Reads one line, line feed included, into buffer (at most its size - 1 characters).
LineRead readLine(std::FILE* stream, std::span<char> buffer) {
    std::size_t stored = 0;
    int c;
    while ((c = std::fgetc(stream)) != EOF) {
        if (stored == buffer.size() - 1) return {LineStatus::TooLong, {}};
        buffer[stored++] = static_cast<char>(c);
        if (c == '\n') return {LineStatus::Complete, {buffer.data(), stored}};
    }
    // A file cut short by a read error must not pass for a complete one.
    if (std::ferror(stream)) return {LineStatus::ReadError, {}};
    if (stored == 0) return {LineStatus::End, {}};
    return {LineStatus::NoLineEnd, {buffer.data(), stored}};
}

// The next line of a service or terminal file; a refusal for a line that breaks the format.
CheckResult nextLine(std::FILE* stream, const char* path, std::span<char> buffer, LineRead& line) {
    line = readLine(stream, buffer);
    if (line.status == LineStatus::TooLong)
        return Refusal{path, "line longer than 1023 characters"};
    if (line.status == LineStatus::NoLineEnd) return Refusal{path, "last line without line feed"};
    if (line.status == LineStatus::ReadError) return Refusal{path, "read error"};
    return std::nullopt;
}

bool isComment(std::string_view line) { return line.starts_with('#'); }
bool isInactiveRecord(std::string_view line) { return line.starts_with("#$"); }

// The records of the new service file, each unclaimed until a current record takes it.
struct NewRecords {
    NewServiceRecords loaded;
    std::array<bool, kMaxNewRecords> claimed{};
};

// The service entries of the active records, each followed by ",".
struct ServiceList {
    std::array<char, kServiceListSize> text{};
    std::size_t length = 0;

    bool append(std::string_view service) {
        if (length + service.size() + 2 > text.size()) return false;  // "," and terminator
        std::memcpy(text.data() + length, service.data(), service.size());
        length += service.size();
        text[length++] = ',';
        text[length] = '\0';
        return true;
    }
    // The list as written into a terminal entry: without its final ",".
    std::string_view withoutFinalComma() const {
        return {text.data(), length > 0 ? length - 1 : 0};
    }
};

// Appends to a temporary file, or only follows along on the dry pass that checks the limits.
struct Output {
    const char* path;
    bool enabled;
    bool failed = false;

    void put(std::string_view text) {
        if (!enabled || failed) return;
        int written = writeFile(path, "a", text.data(), text.size());
        if (written < 0 || static_cast<std::size_t>(written) != text.size()) failed = true;
    }
    // The file exists even when nothing goes into it: an empty result is a result too.
    void create() {
        if (enabled && writeFile(path, "a", "", 0) < 0) failed = true;
    }
};

// Reads the whole new file and takes its records by the rules that the update tool applies
// too.
CheckResult loadNewRecords(std::FILE* stream, const char* path, NewServiceRecords& records) {
    struct stat info {};
    if (fstat(fileno(stream), &info) != 0 || info.st_size < 0) return Refusal{path, "read error"};
    auto size = static_cast<std::size_t>(info.st_size);
    auto content = std::make_unique<char[]>(size + 1);
    std::size_t got = std::fread(content.get(), 1, size + 1, stream);
    if (std::ferror(stream) || got != size) return Refusal{path, "read error"};
    if (std::optional<NewServiceFault> fault =
            loadNewServiceRecords({content.get(), size}, records))
        return Refusal{path, fault->reason};
    return std::nullopt;
}

// One pass over the current service file: keeps the comments and the records whose key the
// new file still carries, then adds the new records that no current record claimed.
CheckResult mergeRecords(std::FILE* current, const char* path, NewRecords& records,
                         ServiceList& list, Output& merged) {
    records.claimed.fill(false);
    const NewServiceRecords& loaded = records.loaded;
    list = ServiceList{};
    char buffer[kLineSize];
    LineRead line;
    for (;;) {
        if (CheckResult refusal = nextLine(current, path, buffer, line)) return refusal;
        if (line.status == LineStatus::End) break;
        if (isComment(line.text) && !isInactiveRecord(line.text)) {
            merged.put(line.text);
            continue;
        }
        std::optional<std::string_view> service =
            getField(line.text, kFieldSeparator, kServiceField);
        std::optional<std::string_view> key = getField(line.text, kFieldSeparator, kKeyField);
        if (!service || !key) return Refusal{path, "record with fewer than four fields"};
        for (std::size_t i = 0; i < loaded.count; ++i) {
            if (records.claimed[i] ||
                getField(loaded.records[i], kFieldSeparator, kKeyField) != key)
                continue;
            merged.put(line.text);
            records.claimed[i] = true;
            if (!isInactiveRecord(line.text) && !list.append(*service))
                return Refusal{path, "service list full"};
            break;
        }
    }
    for (std::size_t i = 0; i < loaded.count; ++i) {
        if (records.claimed[i]) continue;
        merged.put(loaded.records[i]);
        if (!list.append(*getField(loaded.records[i], kFieldSeparator, kServiceField)))
            return Refusal{path, "service list full"};
    }
    return std::nullopt;
}

// Fields 3 and 4 of a terminal entry become the service list; the fields from 5 on stay.
// An entry without a fourth ";" gets both lists and its line feed.
CheckResult rewriteTerminal(std::FILE* terminal, std::string_view services, Output& rewritten) {
    char buffer[kLineSize];
    LineRead line;
    for (;;) {
        if (CheckResult refusal = nextLine(terminal, kTerminalPath, buffer, line)) return refusal;
        if (line.status == LineStatus::End) return std::nullopt;
        if (isComment(line.text)) {
            rewritten.put(line.text);
            continue;
        }
        std::size_t separators[4];
        std::size_t found = 0;
        for (std::size_t i = 0; i < line.text.size() && found < 4; ++i) {
            if (line.text[i] == ';') separators[found++] = i;
        }
        if (found < 2) continue;
        std::string_view head = line.text.substr(0, separators[1] + 1);
        // A separator lies within the line: no range check (nor its error text) is needed.
        std::string_view rest = "\n";
        if (found == 4) {
            rest = line.text;
            rest.remove_prefix(separators[3] + 1);
        }
        std::size_t length = head.size() + 2 * services.size() + 2 + rest.size();
        if (length > kEntrySize - 1) return Refusal{kTerminalPath, "rewritten entry too long"};
        // Put together byte by byte: a line may hold zero bytes, which end no field.
        char entry[kEntrySize];
        std::size_t used = 0;
        for (std::string_view piece :
             {head, services, kFieldSeparator, services, kFieldSeparator, rest}) {
            std::memcpy(entry + used, piece.data(), piece.size());
            used += piece.size();
        }
        rewritten.put({entry, used});
    }
}

// The copy goes to the installed file's name followed by ".new".
bool commandFits(const char* from, const char* to) {
    return kCopyCommand.size() + std::strlen(from) + 1 + std::strlen(to) + kStagingSuffixLength <
           kCommandSize;
}

// Appending to a file left by an earlier run would mix old lines into the new file.
// Whatever stands at the name goes (a link as a link): the file is then made by its first
// line, by the daemon alone, and what cp copies into /etc is what the merge wrote.
bool removeStale(const char* path) {
    if (removeWhateverStands(kCheckSdpRecords, path)) return true;
    UPDATE_ERR_AS(kCheckSdpRecords, LogLevel::Warning, kErrorOperationFailed,
                  "SDP records not merged, can't remove %s\n", path);
    return false;
}

void reportRefusal(const Refusal& refusal) {
    UPDATE_ERR_AS(kCheckSdpRecords, LogLevel::Warning, kErrorOperationFailed,
                  "SDP records not merged, %s: %s\n", refusal.path, refusal.reason);
}

// Writes the merged service file and the rewritten terminal file (where there is one) to their
// temporary paths. False (logged where the files are at fault) when there is nothing to merge
// or a file breaks the format or a limit: then no temporary file is left.
bool writeMergedFiles(const char* currentPath, const char* newPath, bool* terminalRewritten) {
    FileStream current(openFileStream(currentPath, "r"));
    FileStream update(openFileStream(newPath, "r"));
    // Without both service files there is nothing to merge; the installed files stay.
    if (!current || !update) return false;
    FileStream terminal(openFileStream(kTerminalPath, "r"));

    auto records = std::make_unique<NewRecords>();
    auto list = std::make_unique<ServiceList>();
    // A dry pass first: a file that breaks the format or a limit leaves everything as it
    // was, before any temporary file exists.
    Output merged{kMergedPath, false};
    Output rewritten{kTerminalBuildPath, false};
    CheckResult refusal = loadNewRecords(update.get(), newPath, records->loaded);
    if (!refusal) refusal = mergeRecords(current.get(), currentPath, *records, *list, merged);
    if (!refusal && terminal)
        refusal = rewriteTerminal(terminal.get(), list->withoutFinalComma(), rewritten);
    if (refusal) {
        reportRefusal(*refusal);
        return false;
    }

    merged.enabled = true;
    std::rewind(current.get());
    merged.create();
    refusal = mergeRecords(current.get(), currentPath, *records, *list, merged);
    if (!refusal && terminal) {
        rewritten.enabled = true;
        std::rewind(terminal.get());
        rewritten.create();
        refusal = rewriteTerminal(terminal.get(), list->withoutFinalComma(), rewritten);
    }
    // A file that changed under the check, or a full /tmp: no partial file goes to /etc.
    if (refusal || merged.failed || rewritten.failed) {
        if (refusal) reportRefusal(*refusal);
        if (!refusal) reportRefusal({kMergedPath, "temporary files not completely written"});
        std::remove(kMergedPath);
        std::remove(kTerminalBuildPath);
        return false;
    }
    *terminalRewritten = rewritten.enabled;
    return true;
}

// Puts the temporary file from in place of the file at path as a whole: the board's cp copies
// it to path followed by ".new" (whatever stood there, a cut copy of an earlier run among
// them, goes first), which takes the old file's mode, is synced, and is renamed over path;
// then the folder is synced. A power cut at any moment leaves at path the old file or the new
// one, never a part of either. Where path is a link (/etc kept on another partition), the file
// it names is replaced, as cp over it did. False (logged) when it isn't installed.
bool installDurably(const char* from, const char* path) {
    char real[PATH_MAX];
    if (realpath(path, real) != nullptr) path = real;
    char staging[kCommandSize];
    bool fits =
        std::snprintf(staging, sizeof staging, "%s.new", path) < static_cast<int>(sizeof staging);
    if (!fits) {
        reportRefusal({path, "path too long for the copy command"});
        return false;
    }
    if (!removeStale(staging)) return false;
    if (commandSucceeded(kCheckSdpRecords, shellCopy(from, staging))) {
        struct stat old {};
        if (stat(path, &old) != 0) old.st_mode = 0644;
        int fd = open(staging, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        bool synced = fd >= 0 && fchmod(fd, old.st_mode & 0777) == 0 && fsync(fd) == 0;
        if (fd >= 0) close(fd);
        if (synced && rename(staging, path) == 0 && syncFolderOf(path)) return true;
        UPDATE_ERR_AS(kCheckSdpRecords, LogLevel::Critical, kErrorOperationFailed,
                      "couldn't install %s errno = %d %m \n", path, errno);
    }
    // A copy cut short stays nowhere.
    unlink(staging);
    return false;
}

// Installs the temporary files, the terminal entries first, and removes them. An install that
// fails leaves the merge uninstalled, or the terminal entries alone installed.
bool installMergedFiles(const char* currentPath, bool terminalRewritten) {
    bool installed = true;
    if (terminalRewritten) {
        installed = installDurably(kTerminalBuildPath, kTerminalPath);
        shellRemove(kTerminalBuildPath);
    }
    if (installed) installed = installDurably(kMergedPath, currentPath);
    shellRemove(kMergedPath);
    return installed;
}

}  // namespace

int checkSdpRecords(const char* currentPath, const char* newPath) {
    if (!removeStale(kMergedPath) || !removeStale(kTerminalBuildPath)) return -1;
    if (!commandFits(kMergedPath, currentPath)) {
        reportRefusal({currentPath, "path too long for the copy command"});
        return -1;
    }
    bool terminalRewritten = false;
    if (!writeMergedFiles(currentPath, newPath, &terminalRewritten)) return -1;
    return installMergedFiles(currentPath, terminalRewritten) ? 1 : -1;
}

void replaceStringInFile(const char* inputPath, const char* outputPath, const char* search,
                         const char* replacement, char stop) {
    // The content ends at the first byte 0xFF, the buffer's end mark, so it takes one byte
    // less than the buffer.
    constexpr std::size_t kReadBufferSize = 10000;
    constexpr int kEndMark = 0xFF;
    auto buffer = std::make_unique<char[]>(kReadBufferSize);
    std::size_t length = 0;
    {
        FileStream input(openFileStream(inputPath, "r"));
        if (!input) return;
        int c;
        while ((c = std::fgetc(input.get())) != EOF && c != kEndMark) {
            if (length == kReadBufferSize - 1) {
                UPDATE_ERR(LogLevel::Critical, kErrorOperationFailed,
                           "No more place in read buffer !!\n");
                return;
            }
            buffer[length++] = static_cast<char>(c);
        }
    }
    std::string_view content(buffer.get(), length);
    std::size_t at = content.find(search);
    if (at != std::string_view::npos) {
        std::size_t end = at + std::strlen(search);
        UPDATE_LOG(LogLevel::Detail, "%.6s found in %s: %d\n", search, inputPath,
                   static_cast<int>(end));
        std::size_t stopAt = stop != 0 ? content.find(stop, end) : std::string_view::npos;
        if (stopAt != std::string_view::npos) {
            std::memmove(buffer.get() + end, buffer.get() + stopAt, length - stopAt);
            length -= stopAt - end;
        }
        std::size_t replacementLength = std::strlen(replacement);
        if (end + replacementLength > kReadBufferSize - 1) {
            UPDATE_ERR(LogLevel::Critical, kErrorOperationFailed,
                       "No more place in read buffer !!\n");
            return;
        }
        std::memcpy(buffer.get() + end, replacement, replacementLength);
        if (end + replacementLength > length) length = end + replacementLength;
    }
    FileStream output(openFileStream(outputPath, "w"));
    if (!output) return;
    std::size_t written = std::fwrite(buffer.get(), 1, length, output.get());
    if (std::fflush(output.get()) != 0 || written < length) {
        UPDATE_ERR(LogLevel::Critical, kErrorWriteOrEvent, "write to %s error %d %m \n", outputPath,
                   errno);
    }
}
