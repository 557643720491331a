#include "tools/mkupdate/part_checks.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "btlink/pskey_line.h"
#include "image/flash.h"
#include "image/service_records.h"
#include "tools/common/image_builder.h"

namespace mkupdate {
namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kComment = "//";
constexpr std::string_view kFirmwareKeyPrefix = "&02a5 = ";
constexpr const char* kFirmwareKeyword = "BTFIRMWARE";
// The firmware's build: four characters at the start of the installed value, and bytes 13 to
// 16 of the value of key 0x02a5.
constexpr std::size_t kBuildLength = 4;
constexpr std::size_t kKeyBuildAt = 13;

std::string lineFault(std::size_t line, const std::string& what) {
    return "line " + std::to_string(line) + ": " + what;
}

std::string hexWord(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", static_cast<unsigned>(value));
    return text;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The value of the first line that begins with prefix, decoded as the version check decodes
// it: four hex digits per word, its low byte first, up to the line end or a word that isn't
// four hex digits.
std::vector<std::uint8_t> keyValueBytes(std::string_view content, std::string_view prefix) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t at = 0; at < content.size();) {
        std::size_t end = std::min(content.find('\n', at), content.size());
        std::string_view line = content.substr(at, end - at);
        at = end + 1;
        if (!line.starts_with(prefix)) continue;
        for (std::size_t word = prefix.size(); word + 4 <= line.size(); word += 5) {
            int digits[4];
            for (std::size_t i = 0; i < 4; ++i) digits[i] = hexDigit(line[word + i]);
            if (digits[0] < 0 || digits[1] < 0 || digits[2] < 0 || digits[3] < 0) break;
            bytes.push_back(static_cast<std::uint8_t>(digits[2] * 16 + digits[3]));
            bytes.push_back(static_cast<std::uint8_t>(digits[0] * 16 + digits[1]));
        }
        break;
    }
    return bytes;
}

}  // namespace

std::optional<std::string> psKeyFileFault(std::string_view content) {
    bool anyKey = false;
    std::uint16_t lastKey = 0;
    for (std::size_t number = 1; !content.empty(); ++number) {
        std::size_t end = content.find('\n');
        std::string_view line = content.substr(0, end == std::string_view::npos ? end : end + 1);
        content.remove_prefix(line.size());
        if (line.size() > kMaxPsKeyFileLine)
            return lineFault(number, "line longer than 1023 characters");
        if (!line.ends_with(kLineEnd)) return lineFault(number, "the line doesn't end in CR LF");
        // The line as the steps read it once comments are removed: a comment line is gone,
        // a trailing comment is cut off and the line end kept.
        if (line.starts_with(kComment)) continue;
        std::string prepared(line.substr(0, line.find(kComment)));
        if (prepared.size() < line.size()) prepared += kLineEnd;
        if (!prepared.starts_with('&')) continue;
        PsKey key;
        PsKeyLineError error = readPsKeyLine(prepared, PsKeyLineKind::FileLine, &key);
        if (error != PsKeyLineError::None) return lineFault(number, psKeyLineErrorText(error));
        if (anyKey && key.id <= lastKey) {
            return lineFault(number, "key " + hexWord(key.id) + " after key " + hexWord(lastKey) +
                                         ": the keys must ascend");
        }
        anyKey = true;
        lastKey = key.id;
    }
    return std::nullopt;
}

std::optional<std::string> serviceFileFault(std::string_view content) {
    NewServiceRecords records;
    std::optional<NewServiceFault> fault = loadNewServiceRecords(content, records);
    if (!fault) return std::nullopt;
    return lineFault(fault->line, fault->reason);
}

std::optional<std::string> versionFault(std::string_view keyword, std::string_view version,
                                        std::string_view psKeys) {
    if (version.empty()) return "the version is empty";
    for (char c : version) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return "the version holds a line break or another control character";
    }
    std::size_t longest = kMaxVersionLine - keyword.size() - 2;  // "=" and the line feed
    if (version.size() > longest)
        return "the version is longer than " + std::to_string(longest) + " characters";
    if (keyword != kFirmwareKeyword) return std::nullopt;
    if (version.size() < kBuildLength + 2 || version[kBuildLength] != ' ')
        return "the firmware version isn't \"BUILD VERSION\": a build of four characters, a "
               "blank, the version";
    std::vector<std::uint8_t> key = keyValueBytes(psKeys, kFirmwareKeyPrefix);
    if (key.size() < kKeyBuildAt + kBuildLength) return std::nullopt;
    std::string keyBuild(key.begin() + kKeyBuildAt, key.begin() + kKeyBuildAt + kBuildLength);
    keyBuild.resize(std::strlen(keyBuild.c_str()));  // the check reads it up to a byte 0
    if (version.substr(0, kBuildLength) != keyBuild) {
        return "build " + std::string(version.substr(0, kBuildLength)) +
               " isn't the build that key 0x02a5 of the PS-Key file carries, \"" + keyBuild + "\"";
    }
    return std::nullopt;
}

std::uint64_t lapImageSpace(std::uint64_t flashSize) {
    std::uint64_t reserved = std::uint64_t{imageAreaStart} + configSectorSize;
    return flashSize > reserved ? flashSize - reserved : 0;
}

std::optional<std::string> lapImageFault(std::span<const std::uint8_t> image,
                                         std::uint64_t flashSize) {
    ImageListing listing = inspectImage(image);
    if (!listing.valid()) return listing.failure;
    std::uint64_t space = lapImageSpace(flashSize);
    if (image.size() < space) return std::nullopt;
    return "the LAP software image of " + std::to_string(image.size()) +
           " bytes doesn't fit a flash of " + std::to_string(flashSize) +
           " bytes: it must be smaller than " + std::to_string(space) + " bytes";
}

}  // namespace mkupdate
