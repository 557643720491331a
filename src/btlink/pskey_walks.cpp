#include "btlink/pskey_walks.h"

#include <cstring>

#include "btlink/module_commands.h"
#include "btlink/module_link.h"
#include "core/error_codes.h"
#include "core/log.h"

static_assert(kMaxPsKeyWords == kMaxBccmdValueWords, "a key line holds what a request carries");

namespace {

// A line of the file walk is read up to 1022 characters at a time.
constexpr std::size_t kWalkLineSize = 1023;

// Walk state; each walk at its start: no stream, 0, 0, 0. The file walk is under way while its
// stream is open (apart: a stream is closed at the exit, the plain state needs nothing then).
FileStream psKeyFile;
struct WalkState {
    // The keys the file walk has sent.
    std::int32_t psKeyLine = 0;
    std::int32_t presetIndex = 0;
    // The reading walk's next key id; kReadKeyIdEnd once every id has been asked for.
    std::uint16_t nextReadKeyId = 0;
    // The file walk's file, named in its refusals, and where in it the walk stands.
    char psKeyFilePath[256] = "";
    std::int32_t psKeyFileLineNumber = 0;  // of the last line read, from 1
    bool psKeyFileInLongLine = false;      // the next read goes on with the rest of a long line
    std::int32_t refusedLines = 0;
};
WalkState walks;

int sendSetRequest(const PsKey& key) {
    std::uint8_t bytes[2 * kMaxPsKeyWords];
    psKeyValueBytes(key, bytes);
    return setPSKeyReq(static_cast<std::uint8_t>(key.id >> 8),
                       static_cast<std::uint8_t>(key.id & 0xFF), key.wordCount, bytes);
}

}  // namespace

std::optional<std::uint16_t> nextReadRequest() {
    if (walks.nextReadKeyId >= kReadKeyIdEnd) {
        walks.nextReadKeyId = 0;
        return std::nullopt;
    }
    return walks.nextReadKeyId++;
}

std::optional<PsKey> nextPresetRequest(std::int32_t transport) {
    const auto& list =
        transport == TL_HCI || transport == TL_HCI_AT_START ? presetKeysHci : presetKeysBcsp;
    std::size_t index = static_cast<std::size_t>(walks.presetIndex);
    if (walks.presetIndex < 0 || index >= list.size() || list[index].empty()) {
        walks.presetIndex = 0;
        return std::nullopt;
    }
    ++walks.presetIndex;
    // The built-in lines keep the format; their test reads every one of them.
    PsKey key;
    readPsKeyLine(list[index], PsKeyLineKind::Preset, &key);
    return key;
}

std::optional<PsKey> nextFileRequest() {
    char line[kWalkLineSize];
    while (std::fgets(line, sizeof line, psKeyFile.get()) != nullptr) {
        std::size_t length = std::strlen(line);
        bool lineStart = !walks.psKeyFileInLongLine;
        walks.psKeyFileInLongLine = length == 0 || line[length - 1] != '\n';
        // The rest of a line longer than one read belongs to a line already refused.
        if (!lineStart) continue;
        ++walks.psKeyFileLineNumber;
        // Blank lines and what the comment removal leaves carry no key.
        if (line[0] != '&') continue;
        PsKey key;
        PsKeyLineError error =
            readPsKeyLine(std::string_view(line, length), PsKeyLineKind::FileLine, &key);
        if (error == PsKeyLineError::None) return key;
        ++walks.refusedLines;
        // Reported in the name of the walk.
        UPDATE_ERR_AS("writeAllPSKeys", LogLevel::Critical, kErrorOperationFailed,
                      "PS-Key file %s line %d refused: %s\n", walks.psKeyFilePath,
                      walks.psKeyFileLineNumber, psKeyLineErrorText(error));
    }
    return std::nullopt;
}

PsKeyWalkResult readAllPSKeys() {
    std::optional<std::uint16_t> keyId = nextReadRequest();
    if (!keyId) return WALK_LIST_END;
    getPSKeyReq(static_cast<std::uint8_t>(*keyId >> 8), static_cast<std::uint8_t>(*keyId & 0xFF),
                static_cast<std::uint8_t>(kGetRequestStores >> 8),
                static_cast<std::uint8_t>(kGetRequestStores & 0xFF));
    return WALK_REQUEST_SENT;
}

PsKeyWalkResult writeAllPSKeys(const char* path) {
    if (!psKeyFile) {
        psKeyFile.reset(openFileStream(path, "r"));
        if (!psKeyFile) return WALK_FILE_NOT_OPENED;
        std::snprintf(walks.psKeyFilePath, sizeof walks.psKeyFilePath, "%s", path);
        walks.psKeyFileLineNumber = 0;
        walks.psKeyFileInLongLine = false;
        walks.psKeyLine = 0;
        walks.refusedLines = 0;
    }
    std::optional<PsKey> key = nextFileRequest();
    if (!key) {
        psKeyFile.reset();
        walks.psKeyLine = 0;
        return WALK_LIST_END;
    }
    sendSetRequest(*key);
    UPDATE_LOG(LogLevel::Detail, "line %d: PS-Key 0x%02x%02x  length:%d %02x\n", walks.psKeyLine,
               key->id >> 8, key->id & 0xFF, key->wordCount,
               key->wordCount > 0 ? key->words[0] & 0xFF : 0);
    ++walks.psKeyLine;
    return WALK_REQUEST_SENT;
}

PsKeyWalkResult writePresetPSKeys(std::int32_t restart) {
    if (restart == 1) {
        walks.presetIndex = 0;
        return WALK_RESTARTED;
    }
    std::optional<PsKey> key = nextPresetRequest(tlInterface);
    if (!key) return WALK_PRESETS_DONE;
    sendSetRequest(*key);
    return WALK_REQUEST_SENT;
}

std::int32_t refusedPsKeyLines() { return walks.refusedLines; }

void resetPsKeyWalks() {
    psKeyFile.reset();
    walks.psKeyLine = 0;
    walks.psKeyFilePath[0] = '\0';
    walks.psKeyFileLineNumber = 0;
    walks.psKeyFileInLongLine = false;
    walks.refusedLines = 0;
    walks.presetIndex = 0;
    walks.nextReadKeyId = 0;
}
