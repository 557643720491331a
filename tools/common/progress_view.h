// What "aipeer start --follow" shows of a running update: the current step and its
// percentage, from the update report. On a terminal one line per step, redrawn in place with a
// bar; otherwise one plain line per change, fit for a log file or a pipe.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "tools/common/update_report.h"

enum class ViewForm {
    Terminal,  // "[ 3/10] Compare PS-Keys:       [##########----------]  50%", redrawn with "\r"
    Lines,     // "step 3/10 Compare PS-Keys: 50%"
};

// What has been shown so far.
struct ShownProgress {
    std::size_t steps = 0;       // steps shown; the last of them may still be running
    std::optional<int> percent;  // the percentage shown for the last of them
    bool lastEnded = false;      // the last one's result is shown
    bool finished = false;       // the finishing line is shown
    bool lineOpen = false;       // Terminal: the running step's line has no line end yet
};

struct ProgressText {
    std::string text;
    ShownProgress shown;
};

// The text that brings the view from what was shown to the update as now reported, and what
// is shown then. stepCount is the number of steps of the to-do list; 0 when unknown ("?").
ProgressText renderProgress(const ShownProgress& shown, const ReportedUpdate& update,
                            std::size_t stepCount, ViewForm form);

// Ends the running step's open line, so that other output can follow on a line of its own;
// the next renderProgress draws the line again.
ProgressText closeProgressLine(const ShownProgress& shown);
