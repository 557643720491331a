#include "sim/state_files.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "sim/sim_state.h"

namespace {

bool putStateFile(const char* name, std::string_view content, const char* mode) {
    std::FILE* file = std::fopen(simStatePath(name).c_str(), mode);
    if (file == nullptr) return false;
    bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    return std::fclose(file) == 0 && written;
}

}  // namespace

std::optional<std::string> readStateFile(const char* name) {
    std::FILE* file = std::fopen(simStatePath(name).c_str(), "rb");
    if (file == nullptr) return std::nullopt;
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        text.append(buffer, n);
    }
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) return std::nullopt;
    return text;
}

std::string stateFileText(const char* name) { return readStateFile(name).value_or(""); }

bool writeStateFile(const char* name, std::string_view content) {
    return putStateFile(name, content, "wb");
}

bool appendStateFile(const char* name, std::string_view content) {
    return putStateFile(name, content, "ab");
}

bool stateFileExists(const char* name) {
    struct stat info {};
    return stat(simStatePath(name).c_str(), &info) == 0;
}

bool faultStrikes(const char* faultFile, const char* kind) {
    std::string text = stateFileText(faultFile);
    char word[32] = {};
    long count = -1;
    if (std::sscanf(text.c_str(), "%31s %ld", word, &count) < 1) return false;
    if (std::strcmp(word, kind) != 0) return false;
    if (count <= 0) return true;
    writeStateFile(faultFile, std::string(kind) + " " + std::to_string(count - 1) + "\n");
    return false;
}

std::string timeOfDay(std::chrono::system_clock::time_point when) {
    auto micros = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count());
    auto seconds = static_cast<std::time_t>(micros / 1000000);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%06u", parts.tm_hour, parts.tm_min,
                  parts.tm_sec, static_cast<unsigned>(micros % 1000000));
    return text;
}
