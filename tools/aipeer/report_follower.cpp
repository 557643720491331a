#include "tools/aipeer/report_follower.h"

#include <cstdio>
#include <memory>

#include "core/log.h"
#include "tools/aipeer/update_report.h"
#include "update/update_reception.h"

namespace {

// The whole file, or nothing when it can't be read. Read without the daemon's file
// utilities: those report a missing file in the update report itself.
std::string readText(const char* path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path, "r"), std::fclose);
    std::string text;
    if (!file) return text;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) text.append(buffer, n);
    return text;
}

}  // namespace

ReportFollower startFollowing(ViewForm form) {
    ReportFollower follower;
    follower.form = form;
    follower.reportOffset = readText(kUpdateReportPath).size();
    return follower;
}

std::string followReport(ReportFollower& follower) {
    std::string report = readText(kUpdateReportPath);
    // A shorter report is a new one: the daemon was started again and removed the old.
    if (report.size() < follower.reportOffset) follower.reportOffset = 0;
    ReportedUpdate update =
        parseUpdateReport(std::string_view(report).substr(follower.reportOffset));
    // The daemon has read the to-do file before it enters the first step.
    if (!follower.todoRead && !update.steps.empty()) {
        follower.stepCount = countTodoSteps(readText(kTodoPath));
        follower.todoRead = true;
    }
    ProgressText progress =
        renderProgress(follower.shown, update, follower.stepCount, follower.form);
    follower.shown = progress.shown;
    return progress.text;
}

std::string interruptFollowing(ReportFollower& follower) {
    ProgressText progress = closeProgressLine(follower.shown);
    follower.shown = progress.shown;
    return progress.text;
}
