// The step catalogue, the component table, the to-do list and the process-wide update
// state that the state machine and its event sources share.
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
};

enum StepStateCode : std::int32_t {
    STATE_ENTER = 0,
    STATE_ANSWER = 2,
    STATE_LIST_END = 3,
    STATE_TIMEOUT = 4,
    STATE_WAIT = 8,
    STATE_PRESETS_DONE = 9,
    STATE_REFUSED = 10,  // the module refused the HCI Reset: the step fails
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

inline constexpr std::array<UpdateStep, 11> stepTable{{
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
    {STEP_NONE, nullptr, "", COMPONENT_NONE},
}};

inline constexpr std::array<ComponentVersion, 4> kInitialComponentTable{{
    {COMPONENT_FIRMWARE, "BTFIRMWARE", "Parlo Firmware ...", 1},
    {COMPONENT_PSKEYS, "CSRMODULINFO", "PS-Key         ...", 1},
    {COMPONENT_LAP_SOFTWARE, "LAP_VERSION", "qvl Software   ...", 1},
    {COMPONENT_END, nullptr, "", 1},
}};

// Writable because of needsUpdate; the version check clears the flags of current components.
extern std::array<ComponentVersion, 4> componentTable;

inline constexpr std::size_t kMaxListedSteps = 20;
// The to-do list: step ids in running order, ended by 0.
extern std::array<std::int32_t, kMaxListedSteps + 1> stepList;
// Index into stepList of the next step to enter.
extern std::size_t stepListNext;

// The update state. Plain integers: the signal handlers only note that a signal came, and
// every write, also the time-out's and a child's end, happens in the main flow.
extern std::int32_t currentStep;
extern std::int32_t stepState;
extern std::int32_t updateResult;
extern std::int32_t dfuFailed;
extern std::int32_t psKeyCount;
extern std::int32_t psKeysWritten;
// Process id of the DFU child: 0 before the first start, -1 when its start failed.
extern std::int32_t dfuPid;
// From a start request that began an update until its final notice went out.
extern bool updateUnderWay;

// Ends the current step's report line with text and enters the next step of the list.
void startNextStep(const char* text);
// Ends the current step "OK\n", or " NOK\n" with the update's result NOK.
void endStep(bool succeeded);

// Sets every needsUpdate flag to 1 and updateResult to 1: a start request begins afresh.
void resetUpdateOutcome();
