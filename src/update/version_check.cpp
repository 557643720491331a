#include "update/version_check.h"

#include <cstdio>
#include <cstring>

#include "btlink/pskey_files.h"
#include "core/file_util.h"
#include "core/log.h"
#include "core/update_paths.h"
#include "update/step_actions.h"
#include "update/update_state.h"

namespace {

constexpr const char* kInstalledVersionsPath = "/etc/data.txt";
// "&02a5" carries the firmware's build and version texts and the settings code, "&02a4" the
// settings mark.
constexpr const char* kFirmwareKeyPrefix = "&02a5 = ";
constexpr const char* kSettingsKeyPrefix = "&02a4 = ";
constexpr const char* kNotFound = "not found";
constexpr const char* kTableHeader =
    "OK\n     part:            |     old version      |      new version      |   update ?";

// Byte positions in the decoded "&02a5" value.
constexpr std::size_t kFirmwareVersionAt = 6;  // 6 characters
constexpr std::size_t kFirmwareBuildAt = 13;   // 4 characters
constexpr std::size_t kSettingsCodeAt = 18;    // 2 characters
// Position of the settings mark in the installed "CSRMODULINFO" value.
constexpr std::size_t kSettingsMarkAt = 41;
constexpr std::size_t kSettingsMarkLength = 4;

// A keyword line is read up to 1022 characters.
constexpr std::size_t kKeywordLineSize = 1023;

void appendRow(const ComponentVersion& component, const char* oldValue, const char* newValue) {
    char row[128];
    std::snprintf(row, sizeof row, "\n   %-19.19s %-23.23s %-22.22s %-20.20s", component.label,
                  oldValue, newValue, component.needsUpdate == 1 ? "    yes" : "    no");
    appendText(kUpdateReportPath, row);
}

}  // namespace

int getKeywordValue(const char* path, const char* keyword, std::span<char> value) {
    FileStream stream(openFileStream(path, "r"));
    if (!stream) return -1;
    std::size_t keywordLength = std::strlen(keyword);
    char line[kKeywordLineSize];
    while (std::fgets(line, sizeof line, stream.get()) != nullptr) {
        if (std::strncmp(line, keyword, keywordLength) != 0) continue;
        // After the keyword one separator character, and the line's last character (its
        // line end) is no part of the value.
        std::size_t length = std::strlen(line);
        std::size_t first = keywordLength + 1;
        std::size_t count = first + 1 < length ? length - 1 - first : 0;
        if (count > value.size() - 1) count = value.size() - 1;
        std::memcpy(value.data(), line + (count > 0 ? first : 0), count);
        value[count] = '\0';
        break;
    }
    return 1;
}

namespace {

// The decoded "&02a5" value of the update's keys; later the "&02a4" value is decoded over it.
struct UpdateKeyValue {
    std::uint8_t bytes[kPsKeyBytesSize + 1] = {};
    char text[kPsKeyTextSize] = {};

    const char* chars() const { return reinterpret_cast<const char*>(bytes); }
};

// The module reports its firmware by build number: the first four characters.
void compareFirmware(ComponentVersion& component, char* oldValue, char* newValue,
                     const UpdateKeyValue& key) {
    oldValue[4] = '\0';
    std::snprintf(newValue, kKeywordValueSize, "%.4s means %.6s", key.chars() + kFirmwareBuildAt,
                  key.chars() + kFirmwareVersionAt);
    if (std::strncmp(oldValue, newValue, 4) == 0) component.needsUpdate = 0;
}

// The installed lines end in CR LF on the boards we ship, but a file written by hand or by
// another tool may end its lines in LF alone: the CR goes only when it is there.
std::size_t lengthWithoutCr(const char* value) {
    std::size_t length = std::strlen(value);
    return length > 0 && value[length - 1] == '\r' ? length - 1 : length;
}

void compareLapSoftware(ComponentVersion& component, char* oldValue, char* newValue) {
    oldValue[lengthWithoutCr(oldValue)] = '\0';
    std::printf("old %s : new %s\n", oldValue, newValue);
    std::fflush(stdout);
    if (std::strcmp(oldValue, newValue) == 0) component.needsUpdate = 0;
}

// The settings are current when their code is the update's and the firmware is current, and
// their mark is the update's.
void compareSettings(ComponentVersion& component, bool firmwareCurrent, char* oldValue,
                     char* newValue, UpdateKeyValue& key) {
    // The installed value ends in the settings code (and the line's CR, when it has one); a
    // value too short to hold a code gives an empty one.
    std::size_t length = std::strlen(oldValue);
    std::size_t end = lengthWithoutCr(oldValue);
    char code[3] = {};
    if (end >= 2) std::memcpy(code, oldValue + end - 2, 2);
    char mark[kSettingsMarkLength + 1] = {};
    for (std::size_t i = 0; i < kSettingsMarkLength; ++i) {
        if (kSettingsMarkAt + i < length) mark[i] = oldValue[kSettingsMarkAt + i];
    }
    char newCode[3] = {key.chars()[kSettingsCodeAt], key.chars()[kSettingsCodeAt + 1], 0};
    if (std::memcmp(code, newCode, 2) == 0 && firmwareCurrent) component.needsUpdate = 0;

    findPSKeyInFile(kPsKeyUpdatePath, kSettingsKeyPrefix, std::span(key.text),
                    std::span(key.bytes, kPsKeyBytesSize));
    key.bytes[kSettingsMarkLength] = 0;
    if (std::memcmp(key.bytes, mark, kSettingsMarkLength) != 0) component.needsUpdate = 1;
    std::snprintf(oldValue, kKeywordValueSize, "%s %s", code, mark);
    std::snprintf(newValue, kKeywordValueSize, "%s %s", newCode, key.chars());
}

}  // namespace

int checkVersions() {
    UpdateKeyValue key;
    findPSKeyInFile(kPsKeyUpdatePath, kFirmwareKeyPrefix, std::span(key.text),
                    std::span(key.bytes, kPsKeyBytesSize));

    appendText(kUpdateReportPath, kTableHeader);

    for (std::size_t row = 0; row < componentTable.size(); ++row) {
        ComponentVersion& component = componentTable[row];
        if (component.keyword == nullptr) break;
        char oldValue[kKeywordValueSize];
        char newValue[kKeywordValueSize];
        std::snprintf(oldValue, sizeof oldValue, "%s", kNotFound);
        std::snprintf(newValue, sizeof newValue, "%s", kNotFound);
        getKeywordValue(kInstalledVersionsPath, component.keyword, std::span(oldValue));
        getKeywordValue(kUpdateVersionsPath, component.keyword, std::span(newValue));

        switch (component.kind) {
            case COMPONENT_FIRMWARE:
                compareFirmware(component, oldValue, newValue, key);
                break;
            case COMPONENT_LAP_SOFTWARE:
                compareLapSoftware(component, oldValue, newValue);
                break;
            case COMPONENT_PSKEYS:
                compareSettings(component, row > 0 && componentTable[row - 1].needsUpdate == 0,
                                oldValue, newValue, key);
                break;
            default:
                break;
        }
        appendRow(component, oldValue, newValue);
    }
    return 1;
}

void checkVersionsStep() {
    checkVersions();
    startNextStep("\n");
}
