// Follows the daemon's update report while "start" waits for the final notice: aipeer runs
// on the board beside the daemon and reads the report and the to-do file where the daemon
// keeps them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/common/progress_view.h"

struct ReportFollower {
    ViewForm form = ViewForm::Lines;
    std::size_t reportOffset = 0;    // where this update's part of the report begins
    std::vector<std::int32_t> todo;  // the steps of the to-do list; empty until known
    bool todoRead = false;
    ShownProgress shown;
};

// Begins at the report's present end: the report lives as long as the daemon and already
// holds the earlier updates (and the finishing line that the daemon writes when no update
// has come in its first seconds).
ReportFollower startFollowing(ViewForm form);
// Reads the report again; the text that shows what has changed. When the report's steps leave
// the to-do list's order, someone else has started the update again: that is said, and the
// new run is followed from its first step.
std::string followReport(ReportFollower& follower);
// The report since the follower began: the followed update's part of it.
std::string followedReport(const ReportFollower& follower);
// Why the followed update failed, from the report (failureCause); "" when it can't tell.
std::string followedFailure(const ReportFollower& follower);
// The text that ends the running step's line before other output.
std::string interruptFollowing(ReportFollower& follower);
