#include "tools/rollout/plan_compare.h"

#include <algorithm>
#include <set>

#include "tools/common/formatted.h"

namespace rollout {

namespace {

// A capture reads the keys 0x0000 to 0x03FF: "&0000" to "&03ff".
bool captured(const std::string& key) { return key.size() == 5 && key <= "&03ff"; }

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += (text.empty() ? "" : "; ") + line;
    return text.empty() ? "(none)" : text;
}

void compareSteps(const PlannedBoard& plan, const FieldFacts& field,
                  std::vector<std::string>* out) {
    for (const FailedStep& planned : plan.failed) {
        auto found = std::find_if(field.failed.begin(), field.failed.end(),
                                  [&](const FailedStep& s) { return s.step == planned.step; });
        if (found == field.failed.end()) {
            out->push_back(planned.step + ": planned to fail, did not");
        } else if (found->reasons != planned.reasons) {
            out->push_back(planned.step + ": failed for other reasons: planned " +
                           joined(planned.reasons) + "; found " + joined(found->reasons));
        }
    }
    for (const FailedStep& failed : field.failed) {
        bool planned = std::any_of(plan.failed.begin(), plan.failed.end(),
                                   [&](const FailedStep& s) { return s.step == failed.step; });
        if (!planned)
            out->push_back(failed.step + ": failed, unplanned: " + joined(failed.reasons));
    }
}

void compareKeys(const PlannedBoard& plan, const FieldFacts& field,
                 const std::map<std::string, std::string>& before, std::vector<std::string>* out) {
    std::map<std::string, std::optional<std::string>> expected;
    for (const auto& [key, value] : before) expected[key] = value;
    for (const auto& [key, value] : plan.keys) expected[key] = value;
    for (const auto& [key, value] : field.keys)
        if (!expected.contains(key) && !before.empty()) expected[key] = std::nullopt;
    for (const auto& [key, value] : expected) {
        if (!captured(key)) continue;
        auto found = field.keys.find(key);
        std::optional<std::string> now;
        if (found != field.keys.end()) now = found->second;
        // Without the folder's keys only the keys the plan changes are known.
        if (before.empty() && !plan.keys.contains(key)) continue;
        if (now != value)
            out->push_back(formatted("%s: planned %s, found %s", key.c_str(),
                                     value ? value->c_str() : "(none)",
                                     now ? now->c_str() : "(none)"));
    }
}

void compareEtc(const PlannedBoard& plan, const FieldFacts& field, std::vector<std::string>* out) {
    std::set<std::pair<std::string, std::string>> added;
    for (const EtcChange& change : plan.etc)
        if (change.change == "added") added.insert({change.file, change.line});
    for (const EtcChange& change : plan.etc) {
        auto file = field.etc.find(change.file);
        if (file == field.etc.end()) continue;
        bool there =
            std::find(file->second.begin(), file->second.end(), change.line) != file->second.end();
        if (change.change == "added" && !there)
            out->push_back("etc/" + change.file + ": planned line missing: " + change.line);
        if (change.change != "added" && there && !added.contains({change.file, change.line}))
            out->push_back("etc/" + change.file + ": planned to go, still there: " + change.line);
    }
}

}  // namespace

std::vector<std::string> planDifferences(const PlannedBoard& plan, const FieldFacts& field,
                                         const std::map<std::string, std::string>& before) {
    std::vector<std::string> out;
    if (field.reach != Reach::Updated) {
        out.push_back(field.why);
        return out;
    }
    if (field.outcome != plan.outcome)
        out.push_back("outcome: planned " + plan.outcome + ", found " + field.outcome);
    compareSteps(plan, field, &out);
    if (!field.captured) {
        out.push_back("the board's state after the update could not be read");
        return out;
    }
    compareKeys(plan, field, before, &out);
    if (plan.flashSize && field.flashSize != plan.flashSize)
        out.push_back(formatted(
            "flash size: planned %llu, found %s", static_cast<unsigned long long>(*plan.flashSize),
            field.flashSize ? std::to_string(*field.flashSize).c_str() : "(unknown)"));
    compareEtc(plan, field, &out);
    return out;
}

bool holdsUpdate(const PlannedBoard& plan, const std::vector<std::string>& dataLines) {
    std::set<std::string> have(dataLines.begin(), dataLines.end()), added;
    for (const EtcChange& change : plan.etc)
        if (change.file == "data.txt" && change.change == "added") added.insert(change.line);
    bool changes = false;
    for (const EtcChange& change : plan.etc) {
        if (change.file != "data.txt") continue;
        changes = true;
        bool there = have.contains(change.line);
        if (change.change == "added" ? !there : there && !added.contains(change.line)) return false;
    }
    return changes;
}

}  // namespace rollout
