#include "tools/common/update_report.h"

#include <algorithm>

#include "core/report_words.h"
#include "image/image_signature.h"
#include "update/step_table.h"

namespace {

constexpr std::size_t kLabelColumns = kStepLabelColumns;
// What follows the label, without its last blank: the firmware step's first progress text is
// one character longer than the "  0 percent " before it and takes that blank.
constexpr std::string_view kStarted =
    std::string_view(kStepStarted).substr(0, std::string_view(kStepStarted).size() - 1);
constexpr std::string_view kFinished = kUpdateFinished;
constexpr std::string_view kAbortText = kFirmwareAborted;
// The percent word without its last blank, which a bare percentage at a line's end may lack.
constexpr std::string_view kPercentText =
    std::string_view(kPercentWord).substr(0, std::string_view(kPercentWord).size() - 1);
// The daemon reads its to-do file with a 1023-byte buffer: longer lines come in pieces.
constexpr std::size_t kTodoPiece = 1022;

// A place in the report where a step's line or the finishing line begins.
struct Mark {
    std::size_t at;
    std::size_t textStart;   // where the step's own text (or the finishing result) begins
    const UpdateStep* step;  // nullptr: the finishing line
};

// The step whose label, in 22 columns, ends at position.
const UpdateStep* stepEndingAt(std::string_view report, std::size_t position) {
    if (position < kLabelColumns) return nullptr;
    std::string_view columns = report.substr(position - kLabelColumns, kLabelColumns);
    for (const UpdateStep& step : stepTable) {
        if (step.keyword == nullptr) break;
        std::string_view label = step.label;
        if (columns.starts_with(label) &&
            columns.find_first_not_of(' ', label.size()) == std::string_view::npos)
            return &step;
    }
    return nullptr;
}

std::vector<Mark> findMarks(std::string_view report) {
    std::vector<Mark> marks;
    std::size_t from = 0;
    for (;;) {
        std::size_t started = report.find(kStarted, from);
        std::size_t finished = report.find(kFinished, from);
        if (started == std::string_view::npos && finished == std::string_view::npos) break;
        if (finished < started) {
            marks.push_back({finished, finished + kFinished.size(), nullptr});
            from = finished + kFinished.size();
            continue;
        }
        if (const UpdateStep* step = stepEndingAt(report, started))
            marks.push_back({started - kLabelColumns, started + kStarted.size(), step});
        from = started + kStarted.size();
    }
    return marks;
}

bool isBlank(char c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t'; }

// The number before the text's last " percent ", when it is one.
std::optional<int> lastPercent(std::string_view text) {
    std::size_t at = text.rfind(std::string_view(kPercentWord));
    if (at == std::string_view::npos) return std::nullopt;
    std::size_t begin = at >= kPercentColumns ? at - kPercentColumns : 0;
    std::string_view number = text.substr(begin, at - begin);
    while (!number.empty() && isBlank(number.front())) number.remove_prefix(1);
    while (!number.empty() && isBlank(number.back())) number.remove_suffix(1);
    if (number.empty()) return std::nullopt;
    int value = 0;
    for (char c : number) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return std::min(value, 100);
}

StepOutcome outcomeOf(std::string_view text) {
    if (text.ends_with(kAbortText)) return StepOutcome::Aborted;
    std::string_view afterBlank = text.starts_with(' ') ? text.substr(1) : text;
    if (afterBlank.starts_with(kNothingToDo)) return StepOutcome::NothingToDo;
    if (text.ends_with(kStepNok)) return StepOutcome::Nok;
    if (text.ends_with(kNothingDone)) return StepOutcome::NothingDone;
    // The version check's line goes on with its table after the "OK\n".
    if (text.ends_with(kStepOk) || afterBlank.starts_with(kStepOk)) return StepOutcome::Ok;
    return StepOutcome::Ended;
}

// The result after the separator, as a whole line.
bool isFinishingResult(std::string_view text, std::string_view result) {
    if (!text.starts_with(kFinishedSeparator)) return false;
    text.remove_prefix(std::string_view(kFinishedSeparator).size());
    return text.starts_with(result) && text.substr(result.size()).starts_with('\n');
}

std::optional<bool> finishingResult(std::string_view text) {
    if (isFinishingResult(text, kResultOk)) return true;
    if (isFinishingResult(text, kResultNok)) return false;
    return std::nullopt;
}

}  // namespace

ReportedUpdate parseUpdateReport(std::string_view report) {
    ReportedUpdate update;
    bool updateOver = false;  // a finishing line or an abort: the next step line begins anew
    std::vector<Mark> marks = findMarks(report);
    for (std::size_t i = 0; i < marks.size(); ++i) {
        const Mark& mark = marks[i];
        bool followed = i + 1 < marks.size();
        std::size_t end = followed ? marks[i + 1].at : report.size();
        std::string_view text = report.substr(mark.textStart, end - mark.textStart);
        if (mark.step == nullptr) {
            update.finishedOk = finishingResult(text);
            updateOver = true;
            continue;
        }
        if (updateOver) update = ReportedUpdate{};
        ReportedStep step{mark.at, mark.step->id, lastPercent(text), StepOutcome::Running};
        StepOutcome outcome = outcomeOf(text);
        if (followed || outcome == StepOutcome::Aborted) step.outcome = outcome;
        updateOver = outcome == StepOutcome::Aborted;
        update.steps.push_back(step);
    }
    return update;
}

std::vector<std::int32_t> todoSteps(std::string_view todo) {
    std::vector<std::int32_t> steps;
    while (!todo.empty()) {
        std::size_t end = todo.find('\n');
        std::size_t length =
            std::min(end == std::string_view::npos ? todo.size() : end + 1, kTodoPiece);
        std::string_view piece = todo.substr(0, length);
        todo.remove_prefix(length);
        if (piece.starts_with('#')) continue;
        for (const UpdateStep& step : stepTable) {
            if (step.keyword == nullptr) break;
            if (piece.starts_with(step.keyword)) {
                if (steps.size() < kMaxListedSteps) steps.push_back(step.id);
                break;
            }
        }
    }
    return steps;
}

namespace {

// The text's lines, blanks trimmed, the report's note of who signed the image left out, empty ones
// and bare percentages left out, each indented.
std::string causeLines(std::string_view text) {
    std::string lines;
    while (!text.empty()) {
        std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        // A step's percentage stands in front of what it writes next.
        for (int pass = 0; pass < 2; ++pass) {
            while (!line.empty() && isBlank(line.front())) line.remove_prefix(1);
            std::size_t digits = 0;
            while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') ++digits;
            if (digits == 0 || !line.substr(digits).starts_with(kPercentText)) break;
            line.remove_prefix(digits + kPercentText.size());
        }
        while (!line.empty() && isBlank(line.back())) line.remove_suffix(1);
        if (line.empty() || line.starts_with(kSignedByReportText)) continue;
        lines += "  " + std::string(line) + "\n";
    }
    return lines;
}

std::string_view withoutSuffix(std::string_view text, std::string_view suffix) {
    if (text.ends_with(suffix)) text.remove_suffix(suffix.size());
    return text;
}

}  // namespace

std::string failureCause(std::string_view report) {
    std::vector<Mark> marks = findMarks(report);
    // The last update begins after the last finishing line or abort before its own end.
    std::size_t first = 0, begin = 0;
    for (std::size_t i = 0; i + 1 < marks.size(); ++i) {
        std::size_t end = marks[i + 1].at;
        std::string_view text = report.substr(marks[i].textStart, end - marks[i].textStart);
        // An abort ends its update as a finishing line does, unless one follows it.
        bool aborted = text.ends_with(kAbortText) && marks[i + 1].step != nullptr;
        if (marks[i].step == nullptr || aborted) {
            std::size_t lineEnd = report.find('\n', marks[i].textStart);
            first = i + 1;
            begin = lineEnd == std::string_view::npos ? end : std::min(lineEnd + 1, end);
        }
    }
    std::size_t firstAt = first < marks.size() ? marks[first].at : report.size();
    std::string cause = causeLines(report.substr(begin, firstAt - begin));
    if (!cause.empty()) cause = "the update's reception failed:\n" + cause;
    for (std::size_t i = first; i < marks.size() && marks[i].step != nullptr; ++i) {
        std::size_t end = i + 1 < marks.size() ? marks[i + 1].at : report.size();
        std::string_view text = report.substr(marks[i].textStart, end - marks[i].textStart);
        StepOutcome outcome = outcomeOf(text);
        if (outcome != StepOutcome::Nok && outcome != StepOutcome::Aborted) continue;
        std::string_view own = withoutSuffix(withoutSuffix(text, kAbortText), kStepNok);
        std::string_view label = marks[i].step->label;
        while (label.ends_with(' ') || label.ends_with(':')) label.remove_suffix(1);
        cause += std::string(label) + " failed:\n" + causeLines(own);
    }
    return cause;
}

const char* stepLabel(std::int32_t id) {
    for (const UpdateStep& step : stepTable) {
        if (step.keyword != nullptr && step.id == id) return step.label;
    }
    return "";
}

const char* outcomeText(StepOutcome outcome) {
    switch (outcome) {
        case StepOutcome::Running:
            return "";
        case StepOutcome::Ok:
            return "OK";
        case StepOutcome::Nok:
            return "NOK";
        case StepOutcome::NothingToDo:
            return "nothing to do ... OK";
        case StepOutcome::NothingDone:
            return "Nothing Done";
        case StepOutcome::Aborted:
            return "NOK nothing done... try again";
        case StepOutcome::Ended:
            return "ended";
    }
    return "";
}
