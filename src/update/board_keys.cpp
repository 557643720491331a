#include "update/board_keys.h"

#include <cerrno>
#include <cstdio>

#include "core/durable_file.h"
#include "core/error_codes.h"
#include "core/file_util.h"
#include "core/log.h"
#include "image/key_set_statement.h"
#include "update/key_set_change.h"
#include "update/key_set_folders.h"
#include "update/update_state.h"

namespace {

// What the end of an update changed of the board's trust: on standard error and in the report.
void reportTrustChange(const char* line) {
    UPDATE_LOG_AS("finishUpdate", LogLevel::Warning, "%s", line);
    appendText(kUpdateReportPath, line);
}

// Writes version (what: "security version", "key-set version") durably into the record at
// path and reports it; false (logged) when it couldn't.
bool recordVersion(const char* path, const char* what, std::uint32_t version) {
    char text[16];
    int length = std::snprintf(text, sizeof text, "%u\n", static_cast<unsigned>(version));
    if (!replaceFileDurably(path, text, static_cast<std::size_t>(length), 0644)) {
        UPDATE_ERR_AS("finishUpdate", LogLevel::Critical, kErrorWriteOrEvent,
                      "%s %u not recorded in %s errno = %d %m \n", what,
                      static_cast<unsigned>(version), path, errno);
        return false;
    }
    char line[48];
    std::snprintf(line, sizeof line, "board's %s now %s", what, text);
    reportTrustChange(line);
    return true;
}

// The security version rises only with an image that a key of the board verified: an
// unchecked image's number is anybody's.
bool raiseBoardSecurityVersion() {
    if (update.trust != ImageTrust::Verified) return true;
    std::optional<std::uint32_t> board = readBoardSecurityVersion(kSecurityVersionPath);
    if (board && *board >= update.securityVersion) return true;
    return recordVersion(kSecurityVersionPath, "security version", update.securityVersion);
}

void dropStagedKeySet(std::uint32_t number) {
    char path[64];
    keySetPath(kUpdateKeyFolder, number, path, sizeof path);
    dropKeySet(kUpdateKeyFolder, number);
    UPDATE_ERR_AS("finishUpdate", LogLevel::Critical, kErrorOperationFailed,
                  "key set %s removed; the board's keys are kept\n", path);
}

}  // namespace

const char* boardKeyFolder(KeyFolderRules* rules) {
    static char unlinked[64];
    rules->versionedLink = true;
    rules->enrolled = keySetEnrolled(kUpdateKeyFolder);
    KeySetPlace place = findKeySet(kUpdateKeyFolder);
    if (place.form == KeySetPlace::Form::Unlinked &&
        keySetPath(kUpdateKeyFolder, place.number, unlinked, sizeof unlinked))
        return unlinked;
    return kUpdateKeyFolder;
}

void updateKeysStep() {
    if (update.stepState != STATE_ENTER) return;
    // A set that an earlier key step of this update staged is replaced by this one's.
    update.stagedKeySet.reset();
    bool staged = false;
    if (update.trust == ImageTrust::None) {
        UPDATE_ERR_AS("updateKeys", LogLevel::Critical, kErrorOperationFailed,
                      "the image was not verified by a key of the board; keys not installed\n");
    } else if (prepareKeySetChange(kUpdateKeyFolder, update.trust == ImageTrust::Verified)) {
        if (std::optional<StagedKeySet> set = stageKeySet(kUpdateKeysSource, kUpdateKeyFolder)) {
            // Checked where it is staged, which nobody else writes: what is checked is what
            // is put in.
            char path[64];
            keySetPath(kUpdateKeyFolder, set->number, path, sizeof path);
            staged = keySetChangeAllowed(kUpdateKeyFolder, path, &update.stagedKeySetVersion);
            if (staged) {
                update.stagedKeySet = set->number;
                update.stagedKeys = set->keys;
            } else {
                dropKeySet(kUpdateKeyFolder, set->number);
            }
        }
    }
    if (!staged) {
        UPDATE_ERR_AS("updateKeys", LogLevel::Critical, kErrorOperationFailed,
                      "the board's keys are kept\n");
    }
    endStep(staged);
}

bool finishBoardTrust(bool ok) {
    std::optional<std::uint32_t> staged = update.stagedKeySet;
    update.stagedKeySet.reset();
    // The version first: a cut before the keys follow leaves the old set with the new
    // version, which takes this update again, and no older image than it.
    ok = ok && raiseBoardSecurityVersion();
    // A board that held keys before it recorded so (a daemon before the record) records it
    // at its first verified update.
    if (ok && update.trust == ImageTrust::Verified && !keySetEnrolled(kUpdateKeyFolder))
        recordEnrolment(kUpdateKeyFolder);
    if (!staged) return ok;
    if (!ok || !commitKeySet(kUpdateKeyFolder, *staged)) {
        dropStagedKeySet(*staged);
        return false;
    }
    char line[96];
    std::snprintf(line, sizeof line, "board's update keys now %s.%u (keys: %d)\n", kUpdateKeyFolder,
                  static_cast<unsigned>(*staged), static_cast<int>(update.stagedKeys));
    reportTrustChange(line);
    // After the set: a cut between them leaves the new set, whose own statement carries the
    // version, and the board's key-set version is the higher of the two. So a failure to write
    // the record (logged) leaves the update OK.
    if (update.stagedKeySetVersion != 0)
        recordVersion(kKeySetVersionPath, "key-set version", update.stagedKeySetVersion);
    return true;
}
