#include <algorithm>
#include <map>

#include "tools/common/formatted.h"
#include "tools/rehearse/plan.h"

namespace {

void appendKeys(std::string& text, const BoardFacts& board, KeySource source, const char* title) {
    const RunFacts& run = *board.run;
    std::string lines;
    std::size_t count = 0;
    for (const KeyChange& key : run.keys) {
        if (key.source != source) continue;
        ++count;
        lines += "  " + key.key + "  " + keyText(key.before) + " -> " + keyText(key.after) + '\n';
    }
    if (source == KeySource::Preset && count == 0) return;
    text += title + std::to_string(count) + '\n' + lines;
}

// Whom the board trusted before and after, and why it took or refused the image.
std::string trustText(const TrustFacts& trust) {
    const std::string keysBefore = keyFilesText(trust.keysBefore, trust.keyFolderBefore);
    const std::string keysAfter = keyFilesText(trust.keysAfter, trust.keyFolderAfter);
    std::string text = "update keys: " + keysBefore + '\n';
    if (keysAfter != keysBefore) text += "update keys after: " + keysAfter + '\n';
    if (!trust.verdict.empty()) text += "signature: " + signatureText(trust) + '\n';
    const std::string before = securityVersionText(trust.securityBefore);
    const std::string after = securityVersionText(trust.securityAfter);
    text += "board's security version: " +
            (after == before ? before + " (unchanged)" : before + " -> " + after) + '\n';
    const std::string setBefore = securityVersionText(trust.keySetBefore);
    const std::string setAfter = securityVersionText(trust.keySetAfter);
    text += "board's key-set version: " +
            (setAfter == setBefore ? setBefore + " (unchanged)" : setBefore + " -> " + setAfter) +
            '\n';
    return text;
}

// Each step's time at the board's speed, split into wire, waits and work, and its result.
std::string stepsTable(const BoardFacts& board) {
    const RunFacts& run = *board.run;
    std::string text = formatted("  %-22s %6s %6s %6s %7s  %s\n", "step", "wire", "waits", "work",
                                 "seconds", "result");
    for (const StepFacts& step : run.steps) {
        if (step.result == kNotRun || !run.duration) {
            text += formatted("  %-22s %6s %6s %6s %7s  %s\n", step.name.c_str(), "-", "-", "-",
                              "-", step.result.c_str());
        } else {
            text += formatted("  %-22s %6.2f %6.2f %6.2f %7.2f  %s\n", step.name.c_str(), step.wire,
                              step.waits, step.work, step.total, step.result.c_str());
        }
    }
    return text;
}

}  // namespace

std::string boardText(const BoardFacts& board, bool measured, const std::string& duration) {
    const RunFacts& run = *board.run;
    std::string text;
    if (!board.ran()) {
        text += "outcome: not rehearsed, the board's folder is wrong\n";
        for (const std::string& error : run.seedErrors) text += "  " + error + '\n';
        return text;
    }
    text += "outcome: " +
            (run.outcome == Outcome::NoFinalNotice ? "no final notice came"
                                                   : outcomeName(run.outcome)) +
            '\n';
    for (const StepFacts& step : run.steps) {
        if (step.reasons.empty()) continue;
        text += "  " + step.name + " failed:\n";
        for (const std::string& reason : step.reasons) text += "    " + reason + '\n';
    }
    if (!run.versions.empty()) text += "version table:\n";
    for (const VersionRow& row : run.versions)
        text += formatted("  %-16s %s -> %s, update: %s%s\n", row.part.c_str(),
                          row.oldVersion.c_str(), row.newVersion.c_str(), row.update ? "yes" : "no",
                          row.older ? " (older: a downgrade)" : "");
    appendKeys(text, board, KeySource::Image, "PS-Keys changed: ");
    appendKeys(text, board, KeySource::Preset, "PS-Keys the daemon sets by itself (presets): ");
    text += "module firmware: " +
            (run.firmwareBefore == run.firmwareAfter
                 ? run.firmwareAfter + " (unchanged)"
                 : run.firmwareBefore + " -> " + run.firmwareAfter) +
            '\n';
    text += "flash: " + flashText(run.flash) + '\n';
    text += "/etc changed: " +
            (run.etc.empty() ? std::string("nothing") : formatted("%zu lines", run.etc.size()));
    if (std::size_t losses = lossCount(board); losses > 0)
        text += formatted(", %zu of the board's own records lost", losses);
    text += '\n';
    for (const EtcChange& change : run.etc)
        text += "  " + change.file + (change.added ? " +" : " -") + change.line +
                (change.loss ? "   (lost)" : "") + '\n';
    text += trustText(run.trust);
    if (run.steps.empty()) return text;
    if (run.duration)
        text += formatted(
            "duration at the board's speed, %s: %s s\n", measured ? "measured" : "predicted",
            duration.empty() ? formatted("%.1f", *run.duration).c_str() : duration.c_str());
    return text + stepsTable(board);
}

std::vector<std::size_t> groupOfBoards(const Plan& plan) {
    std::vector<std::size_t> groupOf(plan.boards.size());
    for (std::size_t g = 0; g < plan.groups.size(); ++g)
        for (std::size_t i : plan.groups[g].members) groupOf[i] = g;
    return groupOf;
}

namespace {

std::string groupFactsText(const std::vector<BoardFacts>& boards, const BoardGroup& group) {
    std::string shared, differing;
    const std::size_t count = group.members.size();
    for (const GroupFact& fact : groupFacts(boards, group)) {
        if (fact.boards.size() == count) {
            shared += fact.fact + '\n';
        } else {
            differing += formatted("  %s (%zu of %zu boards: ", fact.fact.c_str(),
                                   fact.boards.size(), count) +
                         boardNames(boards, fact.boards, 5) + ")\n";
        }
    }
    return shared + (differing.empty() ? "" : "where the boards differ:\n" + differing);
}

}  // namespace

std::string groupText(const Plan& plan, const BoardGroup& group) {
    std::string text = "boards:";
    for (std::size_t i : group.members) text += ' ' + plan.boards[i].name;
    for (std::size_t i = 0; i < group.twinsDifferIn.size(); ++i)
        text += (i == 0 ? "\ntwins differ in: " : ", ") + group.twinsDifferIn[i];
    return text + '\n' + groupFactsText(plan.boards, group) +
           boardText(plan.boards[group.members.front()], plan.measured,
                     durationRange(plan.boards, group));
}

namespace {

// The table over all boards, a board's line at a time.
void writeBoardsTable(const Plan& plan, const std::function<void(const std::string&)>& write) {
    std::size_t width = 5, trustWidth = 5;
    // A run's boards share its trust: its cell is made once for all of them.
    std::map<const RunFacts*, std::string> trustOf;
    for (const BoardFacts& board : plan.boards) {
        width = std::max(width, board.name.size());
        auto [cell, added] = trustOf.emplace(board.run.get(), "-");
        if (added && board.ran()) cell->second = trustCell(board.run->trust, plan.image.signer);
        trustWidth = std::max(trustWidth, cell->second.size());
    }
    const int w = static_cast<int>(width), tw = static_cast<int>(trustWidth);
    write("=== all boards ===\n" +
          formatted("%-*s  %5s  %-7s  %7s  %-14s  %4s  %7s  %4s  %9s  %-*s  %s\n", w, "board",
                    "group", "outcome", "assumed", "firmware", "keys", "sectors", "/etc",
                    plan.measured ? "measured" : "predicted", tw, "trust", "failed steps"));
    const std::vector<std::size_t> groupOf = groupOfBoards(plan);
    std::size_t ok = 0;
    for (std::size_t i = 0; i < plan.boards.size(); ++i) {
        const BoardFacts& board = plan.boards[i];
        const RunFacts& run = *board.run;
        ok += run.outcome == Outcome::Ok;
        std::string failed;
        for (const StepFacts& step : run.steps)
            if (stepFailed(step)) failed += (failed.empty() ? "" : ", ") + step.name;
        bool ran = board.ran();
        std::string line =
            formatted("%-*s  %5zu  %-7s  %7zu  %-14s  %4s  %7s  %4s  %9s  %-*s  %s", w,
                      board.name.c_str(), groupOf[i] + 1, outcomeName(run.outcome).c_str(),
                      board.assumed.size(), ran ? run.firmwareAfter.c_str() : "-",
                      ran ? std::to_string(run.keys.size()).c_str() : "-",
                      ran ? std::to_string(run.flash.sectorsErased).c_str() : "-",
                      ran ? std::to_string(run.etc.size()).c_str() : "-",
                      run.duration ? formatted("%.1f s", *run.duration).c_str() : "-", tw,
                      trustOf[board.run.get()].c_str(), failed.c_str());
        line.erase(line.find_last_not_of(' ') + 1);
        write(line + '\n');
    }
    write(formatted("%zu of %zu boards ended OK\n", ok, plan.boards.size()));
}

std::string comparisonText(const Plan& plan) {
    const Comparison& comparison = *plan.comparison;
    std::string text = "=== " + plan.image.name + " against " + comparison.oldImage.name + " ===\n";
    for (const DifferenceGroup& group : comparison.groups) {
        text += formatted("%zu board%s", group.boards.size(), group.boards.size() == 1 ? "" : "s");
        text += group.differences.empty() ? " alike:" : ":";
        for (const std::string& name : group.boards) text += ' ' + name;
        text += '\n';
        for (const std::string& line : group.differences) text += "  " + line + '\n';
    }
    return text;
}

}  // namespace

std::string kindsText(const Plan& plan) {
    std::string text;
    for (const OutcomeKind& kind : outcomeKinds(plan.boards, plan.groups)) {
        if (kind.groups.size() == 1) {
            text += groupSummary(plan.boards, plan.groups[kind.groups[0]]) + '\n';
            continue;
        }
        text += kindSummary(kind) + '\n';
        for (std::size_t g : kind.groups) {
            const BoardGroup& group = plan.groups[g];
            const std::size_t count = group.members.size();
            const std::string changes = groupChanges(plan.boards, group);
            text += formatted("  group %zu (%zu board%s)", g + 1, count, count == 1 ? "" : "s") +
                    (changes.empty() ? "" : ": " + changes) + '\n';
        }
    }
    return text;
}

void writePlanText(const Plan& plan, const std::function<void(const std::string&)>& write) {
    std::string text = "=== " + plan.image.name + " on " + std::to_string(plan.boards.size()) +
                       " board" + (plan.boards.size() == 1 ? "" : "s") + " ===\n";
    write(text + kindsText(plan));
    for (std::size_t g = 0; g < plan.groups.size(); ++g) {
        const BoardGroup& group = plan.groups[g];
        const std::size_t count = group.members.size();
        write(formatted("=== group %zu: %s (%zu board%s) ===\n", g + 1,
                        groupName(plan.boards, group).c_str(), count, count == 1 ? "" : "s") +
              groupText(plan, group));
    }
    writeBoardsTable(plan, write);
    if (plan.comparison) write(comparisonText(plan));
}

std::string planText(const Plan& plan) {
    std::string text;
    writePlanText(plan, [&](const std::string& piece) { text += piece; });
    return text;
}
