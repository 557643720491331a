// The to-do file "/tmp/update.d/updatetodo.txt" as readStepList takes it into the step list.
//
// Input: the file's content.
//
// Promises checked: the file is read (1); the list holds at most 20 steps and ends with its
// terminator; it holds, in order, the steps of the lines (pieces of at most 1022 characters)
// that begin with a step keyword and not with "#", the first 20 of them; its position is back
// at its start. A file that can't be opened leaves an empty list.
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/log.h"
#include "fuzz/fuzz_support.h"
#include "update/update_reception.h"
#include "update/update_state.h"

namespace {

// One piece of the to-do file: 1022 characters and the terminating zero.
constexpr std::size_t kPieceSize = 1023;

std::vector<std::int32_t> selectedSteps(const std::vector<std::string>& pieces) {
    std::vector<std::int32_t> steps;
    for (const std::string& piece : pieces) {
        if (piece.starts_with('#')) continue;
        for (const UpdateStep& step : stepTable) {
            if (step.keyword != nullptr && piece.starts_with(step.keyword)) {
                steps.push_back(step.id);
                break;
            }
        }
    }
    return steps;
}

}  // namespace

void setUpHarness() { makeFolder(kUpdateFolder); }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    removeFile(kUpdateReportPath);
    writeWholeFile(kTodoPath, {reinterpret_cast<const char*>(data), size});
    // Left over from an earlier list: the reading must replace it whole.
    update.stepList.fill(STEP_PPCBOOT);
    update.stepListNext = 7;

    FUZZ_ASSERT(readStepList(kTodoPath) == 1, "an existing to-do file is read");
    FUZZ_ASSERT(update.stepListNext == 0, "the list's position is back at its start");
    std::vector<std::int32_t> expected = selectedSteps(readPieces(kTodoPath, kPieceSize));
    if (expected.size() > kMaxListedSteps) expected.resize(kMaxListedSteps);
    std::size_t listed = 0;
    while (listed < update.stepList.size() && update.stepList[listed] != STEP_NONE) ++listed;
    FUZZ_ASSERT(listed < update.stepList.size(), "the step list ends with its terminator");
    FUZZ_ASSERT(listed <= kMaxListedSteps, "the step list holds at most 20 steps");
    FUZZ_ASSERT(std::vector<std::int32_t>(update.stepList.begin(),
                                          update.stepList.begin() + listed) == expected,
                "the list holds the selecting lines' steps in their order");

    removeFile(kTodoPath);
    FUZZ_ASSERT(readStepList(kTodoPath) == -1, "a missing to-do file can't be read");
    FUZZ_ASSERT(update.stepList[0] == STEP_NONE && update.stepListNext == 0,
                "a missing to-do file leaves an empty list");
    return 0;
}
