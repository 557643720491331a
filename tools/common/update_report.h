// The daemon's update report as the peer reads it while an update runs.
//
// The report holds one line per step entered: the step's label in 22 columns, " started ... ",
// then whatever the step adds (a percentage that is overwritten in place, error texts, the
// version table) and last the step's result text. "*UPDATE_FINISHED* ... OK" or "NOK" ends an
// update. The report is read while the daemon writes it, so its last line may be unfinished.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class StepOutcome {
    Running,      // nothing has followed the step's line yet
    Ok,           // "OK\n"; the version check's table, which begins with "OK\n"
    Nok,          // " NOK\n"
    NothingToDo,  // "nothing to do ... OK\n"
    NothingDone,  // "Nothing Done\n"
    Aborted,      // "NOK\n nothing done... try again\n": a failed firmware load ends the update
    Ended,        // followed by the next step, with a result text of no known kind
};

struct ReportedStep {
    std::size_t at = 0;          // where the step's line begins in the text read
    std::int32_t id = 0;         // the step's id in stepTable
    std::optional<int> percent;  // the line's last percentage, 0 to 100
    StepOutcome outcome = StepOutcome::Running;
};

struct ReportedUpdate {
    std::vector<ReportedStep> steps;  // in the order entered
    std::optional<bool> finishedOk;   // the finishing line's result, once it is written
};

// Reads the report's text. A step has ended once the next step's line or the finishing line
// follows it, or when it ends the update by a failed firmware load; before that its result
// text may still be half written, or be an error text's end. A step line after a finishing
// line (or after such an abort) begins another update: only the last update is returned.
ReportedUpdate parseUpdateReport(std::string_view report);

// The ids of the steps that the daemon takes from a to-do file's text, in running order, up
// to the list's size.
std::vector<std::int32_t> todoSteps(std::string_view todo);

// The lines that tell why the last update of the report failed, as a person needs them
// beside the final "NOK": the error texts before its first step (an image that was refused or
// couldn't be unpacked) and, under "STEP failed:", what each failed step wrote between its
// start and its result (the DFU program's error report, a refused key, a flash fault).
// Empty when nothing failed.
std::string failureCause(std::string_view report);

// The step's label in the report ("Compare PS-Keys:"); "" for an id that is no step.
const char* stepLabel(std::int32_t id);
// The result as shown to people: "OK", "NOK", "nothing to do ... OK", ...; "" while running.
const char* outcomeText(StepOutcome outcome);
