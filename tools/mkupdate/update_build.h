// An update described by its parts, as "mkupdate build" takes them: every part checked as the
// daemon will read it, the to-do file and VERSION written from the description, and the
// update image built reproducibly.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/common/image_builder.h"
#include "update/step_table.h"

namespace mkupdate {

// A file given for a part: its path (for messages), its bytes, whether it may be executed.
struct PartFile {
    std::string path;
    Bytes content;
    bool executable = false;
};

// The files that travel in update.d, each given by an option of its own.
enum UpdateFileKind : std::size_t {
    FILE_PSKEYS,
    FILE_DFU,
    FILE_STACK,
    FILE_BCSP_UART,
    FILE_BCSP,
    FILE_BCSP_UPCHAN,
    FILE_SERVICES,
    kUpdateFileKinds,
};
struct UpdateFileRole {
    const char* option;
    const char* member;  // its name in update.d
};
inline constexpr std::array<UpdateFileRole, kUpdateFileKinds> kUpdateFileRoles{{
    {"--pskeys", "pskeyorig.psr"},
    {"--dfu", "dfu"},
    {"--stack", "stack.dfu"},
    {"--bcsp-uart", "linabcsp_uart.o"},
    {"--bcsp", "bcsp.o"},
    {"--bcsp-upchan", "linabcsp_upChan.o"},
    {"--services", "service.txt"},
}};
// The files of the firmware step: the DFU program, the firmware and the BCSP modules.
inline constexpr std::array<UpdateFileKind, 5> kFirmwareFiles{FILE_DFU, FILE_STACK, FILE_BCSP_UART,
                                                              FILE_BCSP, FILE_BCSP_UPCHAN};

// The options of the three versions, in the order of the component table: firmware
// ("BTFIRMWARE"), PS-Keys ("CSRMODULINFO"), LAP software ("LAP_VERSION").
inline constexpr std::size_t kVersionCount = 3;
inline constexpr std::array<const char*, kVersionCount> kVersionOptions{
    "--firmware-version", "--pskeys-version", "--lap-version"};

inline constexpr const char* kDefaultUpdateName = "BT-LAP update";
inline constexpr std::uint64_t kDefaultFlashSize = 0x200000;

struct UpdateDescription {
    std::string name = kDefaultUpdateName;
    std::optional<PartFile> note;        // file 0; a line of the tool's own when not given
    std::optional<PartFile> lapImage;    // the LAP software image, or
    std::optional<PartFile> lapPayload;  // its payload, wrapped under lapName
    std::string lapName;
    std::array<std::optional<PartFile>, kUpdateFileKinds> files;
    std::array<std::optional<std::string>, kVersionCount> versions;
    std::optional<std::vector<std::string>> steps;  // as given; without, those of the parts
    // The board's next key set (--install-keys DIR, update.d/update-keys/ in the image): its
    // files, each a key file (*.key) that the daemon reads.
    std::optional<std::vector<PartFile>> installKeys;
    // Beside its key files, the set's statement and its root keys' signatures
    // (update-keys/keyset and keyset.sig): a set with root keys travels with them.
    std::optional<PartFile> keySetStatement;
    std::optional<PartFile> keySetSignatures;
    std::uint64_t flashSize = kDefaultFlashSize;
    // Read back from an image (mkupdate check): a missing part is named as the image would
    // carry it (update.d/service.txt, the last file) rather than by the option that gives it.
    bool fromImage = false;
};

// The parts of an update that only some steps read. Packed without one of those steps in the
// to-do list, a part travels to the board for nothing: the update ends OK and has not done
// what the part was there for (a key set never installed, an old key never retired).
enum UpdatePart : std::size_t {
    PART_LAP,
    PART_PSKEYS,
    PART_FIRMWARE,
    PART_SERVICES,
    PART_VERSIONS,
    PART_KEYS,
    kUpdateParts,
};
struct PartReaders {
    const char* unread;  // what the part is, and what becomes of it without its steps
    std::array<std::int32_t, 3> steps;  // the steps that read it; STEP_NONE fills the rest
};
inline constexpr std::array<PartReaders, kUpdateParts> kPartReaders{{
    {"LAP software image packed but not written", {STEP_LAP_SOFTWARE}},
    // The version check reads the module's versions from the PS-Key file.
    {"PS-Keys packed but not read",
     {STEP_CHECK_VERSIONS, STEP_BT_MOD_SET_COMP, STEP_BT_MOD_SET_ALL_WRITE}},
    {"firmware packed but not loaded", {STEP_BT_MOD_SET_FIRM_STACK}},
    {"service records packed but not merged", {STEP_CHECK_SDP}},
    {"versions packed but not checked", {STEP_CHECK_VERSIONS}},
    {"key set packed but not installed", {STEP_UPDATE_KEYS}},
}};

// The parts that the update carries and that no step of its to-do list reads.
std::vector<UpdatePart> unreadParts(const std::array<bool, kUpdateParts>& carried,
                                    const std::vector<std::string>& steps);
// Which parts the update carries.
std::array<bool, kUpdateParts> carriedParts(const UpdateDescription& update);
// "key set packed but not installed, as LIST names no UPDATE_KEYS" (or "no A, B or C").
std::string unreadPartText(UpdatePart part, const std::string& list);
// Why the command line's update would carry a part for nothing ("--install-keys: key set
// packed but not installed, as --steps names no UPDATE_KEYS"); nothing when each part is
// read.
std::optional<std::string> unreadPartRefusal(const UpdateDescription& update);

// What an image that installs a key set and is not signed meets on a board.
inline constexpr const char* kUnsignedKeySetWarning =
    "installs a key set but is unsigned: a board with keys refuses it (only a board without "
    "keys takes it, as its first key set)";

// The name under which a key file of the key set travels: its own file name.
std::string keyFileName(const PartFile& key);

// The step keywords of the to-do list: the steps given, or every step whose part is given
// in the order that suits the board: CHECK_VERSIONS (a version, with the module's firmware or
// PS-Keys: without them the check reports the PS-Key file it reads the module's versions from
// as missing), the module's steps (with
// the firmware BT_MOD_SET_FIRM_STACK, then BT_MOD_SET_ALL_WRITE with a PS-Key file; a PS-Key
// file alone BT_MOD_SET_READ, BT_MOD_SET_COMP, BT_MOD_SET_NEW_WRITE), LAP_SOFTWARE,
// CHECK_SDP, REMOVE_DFU_UPLOAD (the firmware), UPDATE_KEYS (a key set to install) last, so
// that the keys change only after the rest of the update.
std::vector<std::string> updateSteps(const UpdateDescription& update);

// Every fault of the update, "WHERE: what is wrong", part by part; empty when it can be
// built. A part that no step reads is left to the callers (unreadParts): the tests' images
// carry the sample's parts beside fewer steps.
std::vector<std::string> checkUpdate(const UpdateDescription& update);

// The to-do file and VERSION as the update carries them.
std::string todoFileText(const UpdateDescription& update);
std::string versionFileText(const UpdateDescription& update);

// The update image: file 0, the packed update.d (its files with mode 0644, the DFU program
// 0755, beside the to-do file and VERSION), the LAP software image when given. Nothing, with
// the faults, when a check fails.
std::optional<Bytes> buildUpdate(const UpdateDescription& update, std::vector<std::string>* faults);

}  // namespace mkupdate
