#include "tools/common/progress_view.h"

#include <algorithm>
#include <string_view>

#include "core/report_words.h"
#include "tools/common/formatted.h"

namespace {

constexpr std::size_t kBarCells = 20;

// "3/10", or "3/?" while the to-do list's length is unknown.
std::string stepNumber(std::size_t number, std::size_t count) {
    return count == 0 ? formatted("%zu/?", number) : formatted("%zu/%zu", number, count);
}

// The label without the blanks that some labels end with ("Remove DFU upload:  ").
std::string_view plainLabel(std::int32_t id) {
    std::string_view label = stepLabel(id);
    while (label.ends_with(' ')) label.remove_suffix(1);
    return label;
}

// "[ 3/10] Compare PS-Keys:       [##########----------]  50%"; blank bar and percentage
// while the step has shown none.
std::string terminalLine(std::size_t number, std::size_t count, std::int32_t id,
                         std::optional<int> percent) {
    std::string bar(kBarCells, ' ');
    if (percent) {
        std::size_t filled =
            static_cast<std::size_t>(std::clamp(*percent, 0, 100)) * kBarCells / 100;
        bar.assign(filled, '#');
        bar.append(kBarCells - filled, '-');
    }
    std::string counter =
        count == 0 ? formatted("[%2zu/?]", number) : formatted("[%2zu/%zu]", number, count);
    return counter + formatted(" %-22.22s [", stepLabel(id)) + bar + "] " +
           (percent ? formatted("%3d%%", *percent) : std::string(4, ' '));
}

}  // namespace

ProgressText renderProgress(const ShownProgress& before, const ReportedUpdate& update,
                            std::size_t stepCount, ViewForm form) {
    ProgressText out{{}, before};
    ShownProgress& shown = out.shown;
    // Fewer steps than shown, or no more finishing line: the report now tells of another
    // update.
    if (update.steps.size() < shown.steps || (shown.finished && !update.finishedOk)) {
        if (shown.lineOpen) out.text += "\n";
        shown = ShownProgress{};
    }
    std::size_t count = stepCount == 0 ? 0 : std::max(stepCount, update.steps.size());
    for (std::size_t i = shown.steps == 0 ? 0 : shown.steps - 1; i < update.steps.size(); ++i) {
        const ReportedStep& step = update.steps[i];
        bool isNew = i >= shown.steps;
        if (!isNew && shown.lastEnded) continue;
        if (isNew) shown = ShownProgress{i + 1, std::nullopt, false, shown.finished, false};
        bool percentChanged = step.percent && step.percent != shown.percent;
        bool ended = step.outcome != StepOutcome::Running;
        std::optional<int> percent = step.percent ? step.percent : shown.percent;
        if (form == ViewForm::Lines) {
            std::string head = "step " + stepNumber(i + 1, count) + " ";
            head += plainLabel(step.id);
            if (isNew) out.text += head + " started\n";
            if (percentChanged) out.text += head + formatted(" %d%%\n", *percent);
            if (ended) out.text += head + " " + outcomeText(step.outcome) + "\n";
        } else if (isNew || percentChanged || ended || !shown.lineOpen) {
            // Appended piece by piece: GCC 12's optimised builds warn (falsely) about
            // overlapping copies in a chain of string concatenations.
            out.text += '\r';
            out.text += terminalLine(i + 1, count, step.id, percent);
            if (ended) {
                out.text += ' ';
                out.text += outcomeText(step.outcome);
                out.text += '\n';
            }
            shown.lineOpen = !ended;
        }
        shown.percent = percent;
        shown.lastEnded = ended;
    }
    if (update.finishedOk && !shown.finished) {
        if (shown.lineOpen) out.text += "\n";
        shown.lineOpen = false;
        // The daemon's own finishing line.
        out.text += formatted(kFinishedLineFormat, *update.finishedOk ? kResultOk : kResultNok);
        shown.finished = true;
    }
    return out;
}

ProgressText closeProgressLine(const ShownProgress& shown) {
    ProgressText out{{}, shown};
    if (shown.lineOpen) out.text.push_back('\n');
    out.shown.lineOpen = false;
    return out;
}
