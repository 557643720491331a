#include "fuzz/fuzz_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
// The harness's own reports: libFuzzer closes standard error for the daemon's log lines
// (-close_fd_mask), so they go to a copy taken before.
int reportFd = STDERR_FILENO;

void requireSimulatedBoard(const char* harness) {
    int copy = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (copy >= 0) reportFd = copy;
    struct stat info {};
    if (stat("/sim/state", &info) == 0 && S_ISDIR(info.st_mode)) return;
    std::fprintf(stderr,
                 "%s writes /tmp and /etc and binds sockets at /: it runs only on the simulated "
                 "board.\nRun it with scripts/fuzz.sh, or as sim/board-run -- %s [libFuzzer "
                 "options].\n",
                 harness, harness);
    std::_Exit(2);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
    requireSimulatedBoard((*argv)[0]);
    if (setUpHarness) setUpHarness();
    return 0;
}

void fuzzFailure(const char* file, int line, const char* condition, const char* message) {
    dprintf(reportFd, "%s:%d: broken promise: %s\n  (%s)\n", file, line, message, condition);
    std::abort();
}

std::vector<std::string_view> splitFiles(std::span<const std::uint8_t> input, std::size_t count) {
    std::string_view rest(reinterpret_cast<const char*>(input.data()), input.size());
    std::vector<std::string_view> files;
    while (files.size() < count) {
        std::size_t end = rest.find(kFileSeparator);
        if (end == std::string_view::npos) {
            files.push_back(rest);
            rest = {};
        } else {
            files.push_back(rest.substr(0, end));
            rest.remove_prefix(end + kFileSeparator.size());
        }
    }
    return files;
}

std::string joinFiles(const std::vector<std::string>& files) {
    std::string joined;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (i > 0) joined += kFileSeparator;
        joined += files[i];
    }
    return joined;
}

void writeWholeFile(const char* path, std::string_view content) {
    std::FILE* stream = std::fopen(path, "wb");
    FUZZ_ASSERT(stream != nullptr, "the harness can write its input files");
    if (!content.empty()) std::fwrite(content.data(), 1, content.size(), stream);
    FUZZ_ASSERT(std::fclose(stream) == 0, "the harness can write its input files");
}

std::optional<std::string> readWholeFile(const char* path) {
    std::FILE* stream = std::fopen(path, "rb");
    if (stream == nullptr) return std::nullopt;
    std::string content;
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, stream)) > 0) content.append(buffer, got);
    std::fclose(stream);
    return content;
}

bool fileExists(const char* path) {
    struct stat info {};
    return lstat(path, &info) == 0;
}

void removeFile(const char* path) {
    FUZZ_ASSERT(unlink(path) == 0 || errno == ENOENT, "the harness can remove its files");
}

void makeFolder(const char* path) {
    FUZZ_ASSERT(mkdir(path, 0755) == 0 || errno == EEXIST, "the harness can make its folders");
}

std::vector<std::string> readPieces(const char* path, std::size_t pieceSize) {
    std::vector<std::string> pieces;
    std::FILE* stream = std::fopen(path, "rb");
    if (stream == nullptr) return pieces;
    std::vector<char> buffer(pieceSize);
    while (std::fgets(buffer.data(), static_cast<int>(buffer.size()), stream) != nullptr)
        pieces.emplace_back(buffer.data());
    std::fclose(stream);
    return pieces;
}

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::size_t length = end == std::string_view::npos ? text.size() : end + 1;
        lines.push_back(text.substr(0, length));
        text.remove_prefix(length);
    }
    return lines;
}
