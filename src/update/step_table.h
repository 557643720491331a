// The steps an update can name in its to-do file, with their report labels, and the
// components whose versions decide which steps run. Constant tables only: the update tools
// read them as the daemon does, without the daemon's state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

enum ComponentKind : std::int32_t {
    COMPONENT_LAP_SOFTWARE = 0,
    COMPONENT_FIRMWARE = 1,
    COMPONENT_PSKEYS = 2,
    COMPONENT_NONE = 3,  // a step of this kind always runs
    COMPONENT_END = 4,   // terminating row of componentTable
};

enum StepId : std::int32_t {
    STEP_NONE = 0,
    STEP_CHECK_VERSIONS = 1,
    STEP_BT_MOD_SET_READ = 2,
    STEP_BT_MOD_SET_COMP = 3,
    STEP_BT_MOD_SET_NEW_WRITE = 4,
    STEP_BT_MOD_SET_ALL_WRITE = 5,
    STEP_BT_MOD_SET_FIRM_STACK = 6,
    STEP_LAP_SOFTWARE = 7,
    STEP_CHECK_SDP = 8,
    STEP_REMOVE_DFU_UPLOAD = 9,
    STEP_PPCBOOT = 10,
    STEP_UPDATE_KEYS = 11,
};

struct UpdateStep {
    std::int32_t id;
    const char* keyword;  // nullptr in the terminating row
    const char* label;
    std::int32_t kind;
};

struct ComponentVersion {
    std::int32_t kind;
    const char* keyword;  // nullptr in the terminating row
    const char* label;
    std::int32_t needsUpdate;
};

inline constexpr std::array<UpdateStep, 12> stepTable{{
    {STEP_CHECK_VERSIONS, "CHECK_VERSIONS", "Version Check:", COMPONENT_NONE},
    {STEP_BT_MOD_SET_READ, "BT_MOD_SET_READ", "Read PS-Keys:", COMPONENT_NONE},
    {STEP_BT_MOD_SET_COMP, "BT_MOD_SET_COMP", "Compare PS-Keys:", COMPONENT_NONE},
    {STEP_BT_MOD_SET_NEW_WRITE, "BT_MOD_SET_NEW_WRITE", "Write diff. PS-Keys:", COMPONENT_PSKEYS},
    {STEP_BT_MOD_SET_ALL_WRITE, "BT_MOD_SET_ALL_WRITE", "Write all PS-Keys:", COMPONENT_PSKEYS},
    {STEP_BT_MOD_SET_FIRM_STACK, "BT_MOD_SET_FIRM_STACK",
     "Update Parlo Firmware:", COMPONENT_FIRMWARE},
    {STEP_LAP_SOFTWARE, "LAP_SOFTWARE", "Update qvl Software:", COMPONENT_LAP_SOFTWARE},
    {STEP_CHECK_SDP, "CHECK_SDP", "Check SDP records  :", COMPONENT_LAP_SOFTWARE},
    {STEP_REMOVE_DFU_UPLOAD, "REMOVE_DFU_UPLOAD", "Remove DFU upload:  ", COMPONENT_FIRMWARE},
    {STEP_PPCBOOT, "PPCBOOT", "Update PPCBOOT:", COMPONENT_NONE},
    // Installs the update's key set (update.d/update-keys/) in place of the board's.
    {STEP_UPDATE_KEYS, "UPDATE_KEYS", "Update keys:", COMPONENT_NONE},
    {STEP_NONE, nullptr, "", COMPONENT_NONE},
}};

inline constexpr std::array<ComponentVersion, 4> kInitialComponentTable{{
    {COMPONENT_FIRMWARE, "BTFIRMWARE", "Parlo Firmware ...", 1},
    {COMPONENT_PSKEYS, "CSRMODULINFO", "PS-Key         ...", 1},
    {COMPONENT_LAP_SOFTWARE, "LAP_VERSION", "qvl Software   ...", 1},
    {COMPONENT_END, nullptr, "", 1},
}};

// Steps that work on what an earlier step of the same update left behind: the PS-Key working
// files of an earlier update are removed when an update starts, so without that step before
// it in the to-do list such a step can only fail, or find nothing to do. The update tools
// refuse such a list.
struct StepPrerequisite {
    std::int32_t step;
    std::int32_t earlier;  // the step that must run before it
    const char* without;   // what becomes of the step without it
};
inline constexpr std::array<StepPrerequisite, 2> kStepPrerequisites{{
    {STEP_BT_MOD_SET_COMP, STEP_BT_MOD_SET_READ, "fails: it has no module keys to compare with"},
    {STEP_BT_MOD_SET_NEW_WRITE, STEP_BT_MOD_SET_COMP,
     "writes nothing: no comparison names the keys that differ"},
}};

// A to-do file names at most this many steps; the daemon runs no more.
inline constexpr std::size_t kMaxListedSteps = 20;
