// The component table, the to-do list and the process-wide update state that the state
// machine and its event sources share.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "image/sha256.h"
#include "image/update_image.h"
#include "update/image_trust.h"
#include "update/step_table.h"

enum StepStateCode : std::int32_t {
    STATE_ENTER = 0,
    STATE_ANSWER = 2,
    STATE_LIST_END = 3,
    STATE_TIMEOUT = 4,
    STATE_DFU_FAILED = 5,  // the firmware step's: the load failed
    STATE_DFU_DONE = 6,    // the firmware step's: the DFU child has ended
    STATE_WAIT = 8,
    STATE_PRESETS_DONE = 9,
    STATE_REFUSED = 10,  // the module refused the HCI Reset: the step fails
};

// A step's private sub-states live in stepState beside the shared codes: the module link, the
// walks and the alarm write shared codes into it while the step runs, and other steps read them
// there. Each step numbers its own in an enum from here, so that none is taken for a shared one.
inline constexpr std::int32_t kFirstPrivateState = 100;
static_assert(STATE_REFUSED < kFirstPrivateState, "the shared codes, highest last, stay below");
template <typename PrivateStates>
constexpr bool clearOfSharedStates(PrivateStates first) {
    return static_cast<std::int32_t>(first) >= kFirstPrivateState;
}

// Writable because of needsUpdate; the version check clears the flags of current components.
extern std::array<ComponentVersion, 4> componentTable;

// The update state. Plain integers: the signal handlers only note that a signal came, and
// every write, also the time-out's and a child's end, happens in the main flow.
struct UpdateState {
    // The to-do list: step ids in running order, ended by 0, and the index of the next step to
    // enter.
    std::array<std::int32_t, kMaxListedSteps + 1> stepList{};
    std::size_t stepListNext = 0;
    std::int32_t currentStep = STEP_NONE;
    std::int32_t stepState = STATE_ENTER;
    std::int32_t updateResult = 1;  // 0 once anything of the update failed
    // The keys the write-all step is to write and has written, for its percentage.
    std::int32_t psKeyCount = 0;
    std::int32_t psKeysWritten = 0;
    // Process id of the DFU child: 0 before the first start, -1 when its start failed.
    std::int32_t dfuPid = 0;
    // The image that this update's reception accepted: the software step writes no other, and
    // checks the flash against the SHA-256 of its software image (its last file).
    ImageIdentity acceptedImage;
    Sha256Digest acceptedSoftware{};
    // Set by the reception of the image, cleared only by forgetImageTrust.
    ImageTrust trust = ImageTrust::None;
    std::uint32_t securityVersion = 0;  // that the verifying signature binds
    // The key set that the key step staged beside the board's, its number and count of keys:
    // it becomes the board's only at the end of an update that ended OK.
    std::optional<std::uint32_t> stagedKeySet;
    std::int32_t stagedKeys = 0;
    // The staged set's key-set version, when it carries a statement: the board's record of it
    // is written once the set is the board's.
    std::uint32_t stagedKeySetVersion = 0;
};
extern UpdateState update;

// The step whose keyword begins line, or nullptr. Steps are looked up here only, so that the
// step table's texts are in the program once, not once in each object that reads the table.
const UpdateStep* stepNamedAtStart(const char* line);

// Ends the current step's report line with text and enters the next step of the list.
void startNextStep(const char* text);
// Ends the current step "OK\n", or " NOK\n" with the update's result NOK.
void endStep(bool succeeded);

// Sets every needsUpdate flag to 1 and updateResult to 1, and forgets the image's trust: a
// start request begins afresh.
void resetUpdateOutcome();
// No image vouched for: at an update's end, and before the next one's image is received.
void forgetImageTrust();
