#include "sim/module/pskey_store.h"

#include <cstdio>
#include <string>

#include "sim/state_files.h"

namespace {

// The project is visible at its own path on the simulated board. The build names the file:
// __FILE__ can be a relative path (a compiler launcher may rewrite paths so), which would not
// be found from the daemon's working folder.
constexpr const char* kDefaultStorePath = SIM_DEFAULT_STORE_PATH;

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads one hex number of one to four digits at text[at]; moves at past it.
std::optional<std::uint16_t> hexWord(std::string_view text, std::size_t& at) {
    unsigned value = 0;
    std::size_t digits = 0;
    for (; at < text.size() && hexValue(text[at]) >= 0; ++at, ++digits) {
        if (digits == 4) return std::nullopt;
        value = value * 16 + static_cast<unsigned>(hexValue(text[at]));
    }
    if (digits == 0) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

void skipBlanks(std::string_view text, std::size_t& at) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
}

void parseKeyLine(std::string_view line, PsKeyStore& store) {
    std::size_t at = 1;  // behind the "&"
    std::optional<std::uint16_t> key = hexWord(line, at);
    skipBlanks(line, at);
    if (!key || at >= line.size() || line[at] != '=') return;
    ++at;
    std::vector<std::uint16_t> words;
    for (;;) {
        skipBlanks(line, at);
        if (at >= line.size() || line.substr(at, 2) == "//") break;
        std::optional<std::uint16_t> word = hexWord(line, at);
        if (!word || (at < line.size() && line[at] != ' ' && line[at] != '\t')) break;
        if (words.size() < kPsKeyMaxWords) words.push_back(*word);
    }
    store[*key] = std::move(words);
}

}  // namespace

PsKeyStore parsePsKeys(std::string_view text) {
    PsKeyStore store;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty() && line.front() == '&') parseKeyLine(line, store);
    }
    return store;
}

std::string formatPsKeys(const PsKeyStore& store) {
    std::string text;
    char part[8];
    for (const auto& [key, words] : store) {
        std::snprintf(part, sizeof part, "&%04x =", key);
        text += part;
        for (std::uint16_t word : words) {
            std::snprintf(part, sizeof part, " %04x", word);
            text += part;
        }
        text += "\r\n";
    }
    return text;
}

std::optional<std::string> defaultStoreText() {
    std::FILE* file = std::fopen(kDefaultStorePath, "rb");
    if (file == nullptr) return std::nullopt;
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, n);
    std::fclose(file);
    return text;
}

PsKeyStore loadModuleStore() {
    if (std::optional<std::string> text = readStateFile(kModuleStoreFile)) {
        return parsePsKeys(*text);
    }
    PsKeyStore store = parsePsKeys(defaultStoreText().value_or(""));
    saveModuleStore(store);
    return store;
}

bool saveModuleStore(const PsKeyStore& store) {
    return writeStateFile(kModuleStoreFile, formatPsKeys(store));
}

bool moduleRefusesKey(std::uint16_t key) {
    const std::string text = stateFileText(kModuleRefusesFile);
    for (std::size_t at = text.find('&'); at != std::string::npos; at = text.find('&', at)) {
        ++at;
        std::optional<std::uint16_t> named = hexWord(text, at);
        if (named && *named == key) return true;
    }
    return false;
}

std::uint16_t moduleUnheldStatus(std::uint16_t fallback) {
    std::string text = stateFileText(kModuleUnheldFile);
    std::size_t at = text.starts_with("0x") || text.starts_with("0X") ? 2 : 0;
    return hexWord(text, at).value_or(fallback);
}
