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

int checkVersions() {
    // B: the decoded "&02a5" value; later the "&02a4" value (C) is decoded over it.
    std::uint8_t keyBytes[kPsKeyBytesSize + 1] = {};
    char keyText[kPsKeyTextSize] = {};
    findPSKeyInFile(kPsKeyUpdatePath, kFirmwareKeyPrefix, std::span(keyText),
                    std::span(keyBytes, kPsKeyBytesSize));
    const char* keyChars = reinterpret_cast<const char*>(keyBytes);

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
            case COMPONENT_FIRMWARE: {
                // The module reports its firmware by build number: the first four characters.
                oldValue[4] = '\0';
                std::snprintf(newValue, sizeof newValue, "%.4s means %.6s",
                              keyChars + kFirmwareBuildAt, keyChars + kFirmwareVersionAt);
                if (std::strncmp(oldValue, newValue, 4) == 0) component.needsUpdate = 0;
                break;
            }
            case COMPONENT_LAP_SOFTWARE: {
                std::size_t length = std::strlen(oldValue);
                if (length > 0) oldValue[length - 1] = '\0';  // the CR of the installed line
                std::printf("old %s : new %s\n", oldValue, newValue);
                std::fflush(stdout);
                if (std::strcmp(oldValue, newValue) == 0) component.needsUpdate = 0;
                break;
            }
            case COMPONENT_PSKEYS: {
                // The installed value ends in the settings code and the line's CR; a value
                // too short to hold a code gives an empty one.
                std::size_t length = std::strlen(oldValue);
                char code[3] = {};
                if (length >= 3) std::memcpy(code, oldValue + length - 3, 2);
                char mark[kSettingsMarkLength + 1] = {};
                for (std::size_t i = 0; i < kSettingsMarkLength; ++i) {
                    if (kSettingsMarkAt + i < length) mark[i] = oldValue[kSettingsMarkAt + i];
                }
                char newCode[3] = {keyChars[kSettingsCodeAt], keyChars[kSettingsCodeAt + 1], 0};
                bool firmwareCurrent = row > 0 && componentTable[row - 1].needsUpdate == 0;
                if (std::memcmp(code, newCode, 2) == 0 && firmwareCurrent)
                    component.needsUpdate = 0;

                findPSKeyInFile(kPsKeyUpdatePath, kSettingsKeyPrefix, std::span(keyText),
                                std::span(keyBytes, kPsKeyBytesSize));
                keyBytes[kSettingsMarkLength] = 0;
                if (std::memcmp(keyBytes, mark, kSettingsMarkLength) != 0)
                    component.needsUpdate = 1;
                std::snprintf(oldValue, sizeof oldValue, "%s %s", code, mark);
                std::snprintf(newValue, sizeof newValue, "%s %s", newCode, keyChars);
                break;
            }
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
