// Follows the daemon's update report while "start" waits for the final notice: aipeer runs
// on the board beside the daemon and reads the report and the to-do file where the daemon
// keeps them.
#pragma once

#include <cstddef>
#include <string>

#include "tools/aipeer/progress_view.h"

struct ReportFollower {
    ViewForm form = ViewForm::Lines;
    std::size_t reportOffset = 0;  // where this update's part of the report begins
    std::size_t stepCount = 0;     // steps of the to-do list; 0 until known
    bool todoRead = false;
    ShownProgress shown;
};

// Begins at the report's present end: the report lives as long as the daemon and already
// holds the earlier updates (and the finishing line that the daemon writes when no update
// has come in its first seconds).
ReportFollower startFollowing(ViewForm form);
// Reads the report again; the text that shows what has changed.
std::string followReport(ReportFollower& follower);
// The text that ends the running step's line before other output.
std::string interruptFollowing(ReportFollower& follower);
