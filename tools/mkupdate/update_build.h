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

#include "tools/mkupdate/image_builder.h"

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
    std::uint64_t flashSize = kDefaultFlashSize;
    // Read back from an image (mkupdate check): a missing part is named as the image would
    // carry it (update.d/service.txt, the last file) rather than by the option that gives it.
    bool fromImage = false;
};

// The name under which a key file of the key set travels: its own file name.
std::string keyFileName(const PartFile& key);

// The step keywords of the to-do list: the steps given, or every step whose part is given
// in the order that suits the board: CHECK_VERSIONS (a version), the module's steps (with
// the firmware BT_MOD_SET_FIRM_STACK, then BT_MOD_SET_ALL_WRITE with a PS-Key file; a PS-Key
// file alone BT_MOD_SET_READ, BT_MOD_SET_COMP, BT_MOD_SET_NEW_WRITE), LAP_SOFTWARE,
// CHECK_SDP, REMOVE_DFU_UPLOAD (the firmware), UPDATE_KEYS (a key set to install) last, so
// that the keys change only after the rest of the update.
std::vector<std::string> updateSteps(const UpdateDescription& update);

// Every fault of the update, "WHERE: what is wrong", part by part; empty when it can be
// built.
std::vector<std::string> checkUpdate(const UpdateDescription& update);

// The to-do file and VERSION as the update carries them.
std::string todoFileText(const UpdateDescription& update);
std::string versionFileText(const UpdateDescription& update);

// The update image: file 0, the packed update.d (its files with mode 0644, the DFU program
// 0755, beside the to-do file and VERSION), the LAP software image when given. Nothing, with
// the faults, when a check fails.
std::optional<Bytes> buildUpdate(const UpdateDescription& update, std::vector<std::string>* faults);

}  // namespace mkupdate
