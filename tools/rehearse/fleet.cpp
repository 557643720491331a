#include "tools/rehearse/fleet.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "tools/rehearse/plan.h"

std::string keyText(const std::optional<std::string>& value) {
    return value ? (value->empty() ? "(empty)" : *value) : "(none)";
}

namespace {

// The daemon's words that begin its refusal of a key set.
constexpr std::string_view kKeySetRefused = "key set refused: ";

// What makes two boards' rehearsals alike: all their runs' facts but the times (the board's
// name, its folder, its seeding and its state aside).
std::string signature(const RunFacts& run) {
    std::string text = outcomeName(run.outcome) + '\n';
    for (const std::string& error : run.seedErrors) text += "seed " + error + '\n';
    for (const VersionRow& row : run.versions)
        text += "version " + row.part + ' ' + row.oldVersion + ' ' + row.newVersion +
                (row.update ? " yes\n" : " no\n");
    for (const KeyChange& key : run.keys)
        text += "key " + key.key + ' ' + keyText(key.before) + ' ' + keyText(key.after) +
                (key.source == KeySource::Preset ? " preset\n" : "\n");
    text += "firmware " + run.firmwareBefore + " -> " + run.firmwareAfter + '\n';
    text += "flash " + std::to_string(run.flash.sectorsErased) + ' ' +
            std::to_string(run.flash.wordsProgrammed) + ' ' + run.flash.ranges + '\n';
    for (const EtcChange& change : run.etc)
        text += "etc " + change.file + (change.added ? " +" : " -") + change.line + '\n';
    for (const StepFacts& step : run.steps) {
        text += "step " + step.name + ": " + step.result + '\n';
        for (const std::string& reason : step.reasons) text += "  " + reason + '\n';
    }
    const TrustFacts& trust = run.trust;
    text += "trust " + trust.verdict + ' ' + trust.signer + ' ' +
            keyFilesText(trust.keysBefore, trust.keyFolderBefore) + " -> " +
            keyFilesText(trust.keysAfter, trust.keyFolderAfter) + ' ' +
            securityVersionText(trust.securityBefore) + " -> " +
            securityVersionText(trust.securityAfter) + ' ' +
            securityVersionText(trust.keySetBefore) + " -> " +
            securityVersionText(trust.keySetAfter) + '\n';
    return text;
}

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

}  // namespace

bool stepFailed(const StepFacts& step) {
    return step.result.starts_with("NOK") || step.result == kNoResult || !step.reasons.empty();
}

const std::string& leadingReason(const StepFacts& step) {
    // What the daemon passed over (a key folder's file not named *.key) it reports as
    // "...; ignored" before the refusal it led to.
    auto passedOver = [](const std::string& reason) {
        return reason.substr(0, reason.find_last_not_of(' ') + 1).ends_with("; ignored");
    };
    auto cause = std::find_if_not(step.reasons.begin(), step.reasons.end(), passedOver);
    return cause != step.reasons.end() ? *cause : step.reasons.front();
}

std::size_t lossCount(const BoardFacts& board) {
    return static_cast<std::size_t>(std::count_if(board.run->etc.begin(), board.run->etc.end(),
                                                  [](const EtcChange& c) { return c.loss; }));
}

namespace {

// Which groups a reader looks at first: a run that broke, then an update that failed, then a
// folder that couldn't be rehearsed, then the boards that ended OK.
int attention(Outcome outcome) {
    switch (outcome) {
        case Outcome::NoFinalNotice:
            return 0;
        case Outcome::Nok:
            return 1;
        case Outcome::Seeding:
            return 2;
        case Outcome::Ok:
            break;
    }
    return 3;
}

// Whether the version table marks the part (its name holds what) as a downgrade.
bool downgraded(const BoardFacts& board, const char* what) {
    const RunFacts& run = *board.run;
    return std::any_of(run.versions.begin(), run.versions.end(), [&](const VersionRow& row) {
        return row.older && row.part.find(what) != std::string::npos;
    });
}

}  // namespace

std::vector<BoardGroup> groupBoards(const std::vector<BoardFacts>& boards) {
    std::vector<BoardGroup> groups;
    std::map<std::string, std::size_t> bySignature;
    // A run's boards share its facts: its signature is made once for all of them.
    std::map<const RunFacts*, std::size_t> byRun;
    for (std::size_t i = 0; i < boards.size(); ++i) {
        auto known = byRun.find(boards[i].run.get());
        if (known == byRun.end()) {
            auto [place, added] = bySignature.emplace(signature(*boards[i].run), groups.size());
            if (added) groups.emplace_back();
            known = byRun.emplace(boards[i].run.get(), place->second).first;
        }
        groups[known->second].members.push_back(i);
    }
    // Each group's kind, its boards in all, and where the kind first came.
    std::map<std::string, std::pair<std::size_t, std::size_t>> kinds;
    std::vector<std::string> kindOf;
    for (std::size_t g = 0; g < groups.size(); ++g) {
        kindOf.push_back(groupName(boards, groups[g]));
        auto [kind, added] = kinds.emplace(kindOf.back(), std::pair{0, g});
        kind->second.first += groups[g].members.size();
    }
    std::vector<std::size_t> order(groups.size());
    for (std::size_t g = 0; g < order.size(); ++g) order[g] = g;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        int first = attention(boards[groups[a].members.front()].run->outcome);
        int second = attention(boards[groups[b].members.front()].run->outcome);
        if (first != second) return first < second;
        const auto &kindA = kinds.at(kindOf[a]), &kindB = kinds.at(kindOf[b]);
        if (kindA != kindB)
            return kindA.first != kindB.first ? kindA.first > kindB.first
                                              : kindA.second < kindB.second;
        return groups[a].members.size() > groups[b].members.size();
    });
    std::vector<BoardGroup> sorted;
    for (std::size_t g : order) sorted.push_back(std::move(groups[g]));
    return sorted;
}

namespace {

// A run's facts by what a reader calls them, in the order the plan shows them: where the
// groups of a kind differ.
std::vector<std::pair<std::string, std::string>> runAspects(const RunFacts& run) {
    std::vector<std::pair<std::string, std::string>> aspects;
    auto add = [&](const std::string& what, const std::string& value) {
        if (aspects.empty() || aspects.back().first != what) aspects.emplace_back(what, "");
        aspects.back().second += value + '\n';
    };
    for (const std::string& error : run.seedErrors) add("the folder's errors", error);
    for (const VersionRow& row : run.versions)
        add("the version table",
            row.part + ' ' + row.oldVersion + ' ' + row.newVersion + (row.update ? " yes" : " no"));
    for (const KeyChange& key : run.keys)
        add("PS-Key " + key.key, keyText(key.before) + ' ' + keyText(key.after) +
                                     (key.source == KeySource::Preset ? " preset" : ""));
    add("the module's firmware", run.firmwareBefore + " -> " + run.firmwareAfter);
    add("the flash's work", flashText(run.flash));
    std::vector<EtcChange> etc = run.etc;
    std::stable_sort(etc.begin(), etc.end(),
                     [](const EtcChange& a, const EtcChange& b) { return a.file < b.file; });
    for (const EtcChange& change : etc)
        add("/etc/" + change.file, (change.added ? "+" : "-") + change.line);
    for (const StepFacts& step : run.steps) add("the steps' results", step.name + step.result);
    for (const StepFacts& step : run.steps)
        for (const std::string& reason : step.reasons) add("the failing steps' reasons", reason);
    const TrustFacts& trust = run.trust;
    add("the update keys", keyFilesText(trust.keysBefore, trust.keyFolderBefore) + " -> " +
                               keyFilesText(trust.keysAfter, trust.keyFolderAfter));
    add("the signature's verdict", trust.verdict + ' ' + trust.signer);
    add("the security version", securityVersionText(trust.securityBefore) + " -> " +
                                    securityVersionText(trust.securityAfter));
    add("the key-set version",
        securityVersionText(trust.keySetBefore) + " -> " + securityVersionText(trust.keySetAfter));
    return aspects;
}

// What the groups' runs differ in, for a line: the aspects not the same in all of them, the
// PS-Keys named together.
std::vector<std::string> differences(const std::vector<BoardFacts>& boards,
                                     const std::vector<BoardGroup>& groups,
                                     const std::vector<std::size_t>& members) {
    std::vector<std::string> order;
    std::map<std::string, std::vector<std::string>> values;
    for (std::size_t g : members) {
        for (const auto& [what, value] : runAspects(*boards[groups[g].members.front()].run)) {
            if (!values.contains(what)) order.push_back(what);
            values[what].push_back(value);
        }
    }
    std::vector<std::string> differing;
    std::string keys;
    for (const std::string& what : order) {
        const std::vector<std::string>& seen = values[what];
        if (seen.size() == members.size() &&
            std::all_of(seen.begin(), seen.end(), [&](const auto& v) { return v == seen[0]; }))
            continue;
        if (!what.starts_with("PS-Key ")) {
            differing.push_back(what);
        } else if (keys.empty()) {
            keys = "PS-Keys " + what.substr(7);
            differing.push_back("");  // its place, filled below
        } else {
            keys += ", " + what.substr(7);
        }
    }
    for (std::string& what : differing)
        if (what.empty()) what = keys;
    return differing;
}

}  // namespace

std::vector<OutcomeKind> outcomeKinds(const std::vector<BoardFacts>& boards,
                                      const std::vector<BoardGroup>& groups) {
    std::vector<OutcomeKind> kinds;
    std::map<std::string, std::size_t> byName;
    for (std::size_t g = 0; g < groups.size(); ++g) {
        const std::string name = groupName(boards, groups[g]);
        auto [known, added] = byName.emplace(name, kinds.size());
        if (added) kinds.push_back({name, {}, 0, {}});
        OutcomeKind& kind = kinds[known->second];
        kind.groups.push_back(g);
        kind.boards += groups[g].members.size();
    }
    for (OutcomeKind& kind : kinds)
        if (kind.groups.size() > 1) kind.differIn = differences(boards, groups, kind.groups);
    return kinds;
}

std::string countText(std::size_t count) {
    // Written forwards rather than by inserting into the digits: gcc 12 at -O3 takes an insert
    // for an overlapping copy of 2 GB on a 32-bit build and refuses it.
    const std::string digits = std::to_string(count);
    std::string text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
        text += digits[i];
    }
    return text;
}

std::string kindSummary(const OutcomeKind& kind) {
    std::string text =
        kind.name + ": " + countText(kind.boards) + (kind.boards == 1 ? " board" : " boards");
    if (kind.groups.size() == 1) return text;
    text += " in " + countText(kind.groups.size()) + " groups";
    if (kind.differIn.empty()) return text;
    text += ", which differ in: ";
    for (std::size_t i = 0; i < kind.differIn.size(); ++i)
        text += (i == 0 ? "" : ", ") + kind.differIn[i];
    return text;
}

std::string groupName(const std::vector<BoardFacts>& boards, const BoardGroup& group) {
    const BoardFacts& board = boards[group.members.front()];
    const RunFacts& run = *board.run;
    if (!board.ran()) return "not rehearsed: the board's folder is wrong";
    if (run.outcome != Outcome::Ok) {
        auto failed = std::find_if(run.steps.begin(), run.steps.end(), stepFailed);
        std::string name = run.outcome == Outcome::Nok ? "NOK" : "no final notice";
        if (failed == run.steps.end()) return name;
        name += " at " + failed->name;
        // A new key set that the board's own keys did not let in: the board keeps trusting
        // its old keys, which whoever planned the change must see before it ships.
        if (std::any_of(failed->reasons.begin(), failed->reasons.end(),
                        [](const std::string& r) { return r.starts_with(kKeySetRefused); }))
            name += ", key set refused";
        return name;
    }
    std::vector<std::string> changes;
    if (run.firmwareBefore != run.firmwareAfter)
        changes.push_back(downgraded(board, "Firmware") ? "firmware (older)" : "firmware");
    if (std::any_of(run.keys.begin(), run.keys.end(),
                    [](const KeyChange& key) { return key.source == KeySource::Image; }))
        changes.push_back("PS-Keys");
    if (run.flash.sectorsErased + run.flash.wordsProgrammed > 0)
        changes.push_back(downgraded(board, "Software") ? "software (older)" : "software");
    const TrustFacts& trust = run.trust;
    if (keyFilesText(trust.keysBefore, trust.keyFolderBefore) !=
        keyFilesText(trust.keysAfter, trust.keyFolderAfter))
        changes.push_back("update keys");
    if (trust.securityAfter != trust.securityBefore) changes.push_back("security version");
    if (trust.keySetAfter != trust.keySetBefore) changes.push_back("key-set version");
    std::string name = "OK: ";
    for (const std::string& change : changes) name += (name.size() > 4 ? ", " : "") + change;
    return changes.empty() ? "OK: nothing changed" : name;
}

std::string durationRange(const std::vector<BoardFacts>& boards, const BoardGroup& group) {
    double least = 0, most = 0;
    bool timed = false;
    for (std::size_t i : group.members) {
        if (!boards[i].run->duration) continue;
        double d = *boards[i].run->duration;
        least = timed ? std::min(least, d) : d;
        most = timed ? std::max(most, d) : d;
        timed = true;
    }
    if (!timed) return "";
    return seconds(least) + (seconds(most) != seconds(least) ? "-" + seconds(most) : "");
}

std::string groupChanges(const std::vector<BoardFacts>& boards, const BoardGroup& group) {
    const BoardFacts& first = boards[group.members.front()];
    if (!first.ran()) return "";
    std::size_t imageKeys = 0, presets = 0;
    for (const KeyChange& key : first.run->keys)
        ++(key.source == KeySource::Image ? imageKeys : presets);
    std::string text = std::to_string(imageKeys) + " keys";
    if (presets > 0) text += " (and " + std::to_string(presets) + " presets)";
    text += ", firmware " + (first.run->firmwareBefore == first.run->firmwareAfter
                                 ? first.run->firmwareAfter + " (unchanged)"
                                 : first.run->firmwareAfter);
    text += ", " + std::to_string(first.run->flash.sectorsErased) + " sectors";
    text += ", " + std::to_string(first.run->etc.size()) + " /etc lines";
    if (std::size_t losses = lossCount(first); losses > 0)
        text += ", loses " + std::to_string(losses) + " own record" + (losses > 1 ? "s" : "");
    for (const StepFacts& step : first.run->steps) {
        if (!stepFailed(step)) continue;
        text += "; " + step.name + ": " + step.result;
        if (!step.reasons.empty()) text += " (" + leadingReason(step) + ")";
    }
    if (std::string range = durationRange(boards, group); !range.empty())
        text += ", " + range + " s";
    return text;
}

std::string groupSummary(const std::vector<BoardFacts>& boards, const BoardGroup& group) {
    const std::size_t count = group.members.size();
    const std::string changes = groupChanges(boards, group);
    return groupName(boards, group) + " (" + std::to_string(count) + " board" +
           (count == 1 ? ")" : "s)") + (changes.empty() ? "" : "; " + changes);
}

std::vector<GroupFact> groupFacts(const std::vector<BoardFacts>& boards, const BoardGroup& group) {
    std::vector<GroupFact> facts;
    auto add = [&](const std::string& fact, std::size_t board) {
        auto known = std::find_if(facts.begin(), facts.end(),
                                  [&](const GroupFact& f) { return f.fact == fact; });
        if (known == facts.end()) {
            facts.push_back({fact, {board}});
        } else {
            known->boards.push_back(board);
        }
    };
    for (std::size_t i : group.members) {
        const BoardFacts& board = boards[i];
        // An assumed size says it already; the board's own is a fact of the board all the same.
        bool sizeAssumed =
            std::any_of(board.assumed.begin(), board.assumed.end(),
                        [](const std::string& a) { return a.starts_with("flash size:"); });
        if (board.flashSize && !sizeAssumed)
            add("flash size: " + std::to_string(*board.flashSize), i);
        for (const std::string& piece : board.assumed) add("assumed " + piece, i);
        for (const std::string& note : board.notes) add("note " + note, i);
    }
    return facts;
}

std::string flashText(const FlashWork& flash) {
    if (flash.sectorsErased + flash.wordsProgrammed == 0) return "nothing written";
    return std::to_string(flash.sectorsErased) + " sector" + (flash.sectorsErased == 1 ? "" : "s") +
           " erased, " + std::to_string(flash.wordsProgrammed) + " word" +
           (flash.wordsProgrammed == 1 ? "" : "s") + " programmed (" + flash.ranges + ")";
}

std::string boardNames(const std::vector<BoardFacts>& boards,
                       const std::vector<std::size_t>& indices, std::size_t limit) {
    std::string text;
    for (std::size_t n = 0; n < indices.size() && n < limit; ++n)
        text += (n == 0 ? "" : ", ") + boards[indices[n]].name;
    if (indices.size() > limit) text += " and " + std::to_string(indices.size() - limit) + " more";
    return text;
}

namespace {

// A key's value after the update: its new value when the update changed it, else the one the
// board held.
std::map<std::string, std::optional<std::string>> keysAfter(const BoardFacts& board) {
    std::map<std::string, std::optional<std::string>> values;
    for (const KeyChange& key : board.run->keys) values[key.key] = key.after;
    return values;
}

// Lines of one list that the other lacks, each after a label.
void addMissing(std::vector<std::string>& lines, const std::vector<std::string>& from,
                const std::vector<std::string>& other, const std::string& label) {
    for (const std::string& line : from)
        if (std::find(other.begin(), other.end(), line) == other.end())
            lines.push_back(label + line);
}

std::vector<std::string> etcLines(const BoardFacts& board) {
    std::vector<std::string> text;
    for (const EtcChange& change : board.run->etc)
        text.push_back(change.file + (change.added ? " +" : " -") + change.line);
    return text;
}

// Whom the board trusts after each image, and what each image's signature made of it.
void addTrustDifferences(std::vector<std::string>& lines, const TrustFacts& old,
                         const TrustFacts& now) {
    auto differ = [&](const char* what, const std::string& was, const std::string& is) {
        if (was != is) lines.push_back(what + (": " + was) + " -> " + is);
    };
    differ("update keys before", keyFilesText(old.keysBefore, old.keyFolderBefore),
           keyFilesText(now.keysBefore, now.keyFolderBefore));
    differ("update keys after", keyFilesText(old.keysAfter, old.keyFolderAfter),
           keyFilesText(now.keysAfter, now.keyFolderAfter));
    differ("signature", signatureText(old), signatureText(now));
    differ("security version before", securityVersionText(old.securityBefore),
           securityVersionText(now.securityBefore));
    differ("security version after", securityVersionText(old.securityAfter),
           securityVersionText(now.securityAfter));
    differ("key-set version before", securityVersionText(old.keySetBefore),
           securityVersionText(now.keySetBefore));
    differ("key-set version after", securityVersionText(old.keySetAfter),
           securityVersionText(now.keySetAfter));
}

std::vector<std::string> failedSteps(const BoardFacts& board) {
    std::vector<std::string> text;
    for (const StepFacts& step : board.run->steps)
        if (stepFailed(step)) text.push_back(step.name + ": " + step.result);
    return text;
}

}  // namespace

std::vector<std::string> boardDifferences(const BoardFacts& old, const BoardFacts& now) {
    std::vector<std::string> lines;
    if (old.run->outcome != now.run->outcome)
        lines.push_back("outcome: " + outcomeName(old.run->outcome) + " -> " +
                        outcomeName(now.run->outcome));
    // Each key that either image changed, with its value after each: the same board was
    // seeded for both, so a key one image left alone still holds its value before.
    auto oldAfter = keysAfter(old), newAfter = keysAfter(now);
    std::map<std::string, std::optional<std::string>> before;
    for (const auto* board : {&old, &now})
        for (const KeyChange& key : board->run->keys) before[key.key] = key.before;
    for (const auto& [key, held] : before) {
        auto oldValue = oldAfter.contains(key) ? oldAfter[key] : held;
        auto newValue = newAfter.contains(key) ? newAfter[key] : held;
        if (oldValue != newValue)
            lines.push_back(key + ": " + keyText(oldValue) + " -> " + keyText(newValue));
    }
    if (old.run->firmwareAfter != now.run->firmwareAfter)
        lines.push_back("firmware after: " + old.run->firmwareAfter + " -> " +
                        now.run->firmwareAfter);
    if (old.run->flash.ranges != now.run->flash.ranges ||
        old.run->flash.sectorsErased != now.run->flash.sectorsErased)
        lines.push_back("flash: " + flashText(old.run->flash) + " -> " + flashText(now.run->flash));
    if (old.ran() && now.ran()) addTrustDifferences(lines, old.run->trust, now.run->trust);
    addMissing(lines, etcLines(old), etcLines(now), "/etc no longer: ");
    addMissing(lines, etcLines(now), etcLines(old), "/etc now: ");
    addMissing(lines, failedSteps(old), failedSteps(now), "no longer fails: ");
    addMissing(lines, failedSteps(now), failedSteps(old), "now fails: ");
    return lines;
}

std::vector<DifferenceGroup> compareFleets(const std::vector<BoardFacts>& old,
                                           const std::vector<BoardFacts>& now) {
    std::vector<DifferenceGroup> groups;
    DifferenceGroup alike;
    for (const BoardFacts& board : now) {
        auto match = std::find_if(old.begin(), old.end(),
                                  [&](const BoardFacts& b) { return b.name == board.name; });
        std::vector<std::string> differences;
        if (match == old.end()) {
            differences.push_back("not rehearsed with the old image");
        } else {
            differences = boardDifferences(*match, board);
        }
        if (differences.empty()) {
            alike.boards.push_back(board.name);
            continue;
        }
        auto group = std::find_if(groups.begin(), groups.end(), [&](const DifferenceGroup& g) {
            return g.differences == differences;
        });
        if (group == groups.end()) {
            groups.push_back({{}, differences});
            group = groups.end() - 1;
        }
        group->boards.push_back(board.name);
    }
    if (!alike.boards.empty()) groups.push_back(alike);
    return groups;
}

int planStatus(const Plan& plan) {
    auto any = [&](Outcome outcome) {
        return std::any_of(plan.boards.begin(), plan.boards.end(),
                           [&](const BoardFacts& b) { return b.run->outcome == outcome; });
    };
    if (any(Outcome::Seeding)) return 2;
    if (any(Outcome::NoFinalNotice)) return 3;
    if (any(Outcome::Nok)) return 1;
    return 0;
}
