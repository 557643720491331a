#include "tools/common/report_follower.h"

#include <cstdio>
#include <memory>
#include <optional>

#include "core/log.h"
#include "tools/common/update_report.h"
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

namespace {

// Where the update's steps leave its to-do list: the first step entered out of order.
std::optional<std::size_t> restartAt(const ReportedUpdate& update,
                                     const std::vector<std::int32_t>& todo) {
    if (todo.empty()) return std::nullopt;
    for (std::size_t i = 0; i < update.steps.size(); ++i) {
        if (i >= todo.size() || update.steps[i].id != todo[i]) return i;
    }
    return std::nullopt;
}

}  // namespace

std::string followReport(ReportFollower& follower) {
    std::string report = readText(kUpdateReportPath);
    // A shorter report is a new one: the daemon was started again and removed the old.
    if (report.size() < follower.reportOffset) follower.reportOffset = 0;
    std::string text;
    for (;;) {
        ReportedUpdate update =
            parseUpdateReport(std::string_view(report).substr(follower.reportOffset));
        // The daemon has read the to-do file before it enters the first step.
        if (!follower.todoRead && !update.steps.empty()) {
            follower.todo = todoSteps(readText(kTodoPath));
            follower.todoRead = true;
        }
        std::optional<std::size_t> restart = restartAt(update, follower.todo);
        std::size_t restartOffset = restart ? update.steps[*restart].at : 0;
        if (restart) update.steps.resize(*restart);
        ProgressText progress =
            renderProgress(follower.shown, update, follower.todo.size(), follower.form);
        text += progress.text;
        follower.shown = progress.shown;
        if (!restart) return text;
        // The steps that follow belong to a run that another start request began; its
        // to-do list may be another.
        progress = closeProgressLine(follower.shown);
        text += progress.text +
                "the update was started again by another request: following it from its first "
                "step\n";
        follower.reportOffset += restartOffset;
        follower.shown = ShownProgress{};
        follower.todo = todoSteps(readText(kTodoPath));
    }
}

std::string followedReport(const ReportFollower& follower) {
    std::string report = readText(kUpdateReportPath);
    if (report.size() < follower.reportOffset) return "";
    return report.substr(follower.reportOffset);
}

std::string followedFailure(const ReportFollower& follower) {
    return failureCause(followedReport(follower));
}

std::string interruptFollowing(ReportFollower& follower) {
    ProgressText progress = closeProgressLine(follower.shown);
    follower.shown = progress.shown;
    return progress.text;
}
