#include "tools/rollout/plan_compare.h"

#include <algorithm>
#include <optional>
#include <set>
#include <string_view>

#include "tools/common/formatted.h"
#include "update/step_table.h"

namespace rollout {

namespace {

constexpr const char* kNotFound = "not found";
// Where the settings mark stands in a board's "CSRMODULINFO" value.
constexpr std::size_t kSettingsMarkAt = 41;

// A component's part as the plan's version table names it: its label without the dots.
std::string partOf(const ComponentVersion& component) {
    std::string part = component.label;
    if (std::size_t dots = part.find("..."); dots != std::string::npos) part.resize(dots);
    while (part.ends_with(' ')) part.pop_back();
    return part;
}

// A keyword's value as the version check reads it off data.txt: the first line that begins
// with the keyword, from the second character after it up to, without, the line's last
// character (its LF, so a CR LF line's value keeps its CR). None when no line begins with it.
std::optional<std::string> keywordValue(const std::string& text, const std::string& keyword) {
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        std::size_t next = end == std::string::npos ? text.size() : end + 1;
        std::string_view line(text.data() + at, next - at);
        if (line.starts_with(keyword)) {
            std::size_t first = keyword.size() + 1;
            return first + 1 < line.size()
                       ? std::string(line.substr(first, line.size() - 1 - first))
                       : std::string();
        }
        at = next;
    }
    return std::nullopt;
}

std::string_view withoutCr(std::string_view value) {
    return value.ends_with('\r') ? value.substr(0, value.size() - 1) : value;
}

// The count characters of text from at, zero bytes past its end: the check compares so.
std::string fixed(std::string_view text, std::size_t at, std::size_t count) {
    std::string part(count, '\0');
    for (std::size_t i = 0; i < count && at + i < text.size(); ++i) part[i] = text[at + i];
    return part;
}

// The settings code: the two characters that end a board's "CSRMODULINFO" value.
std::string settingsCode(std::string_view value) {
    std::string_view code = withoutCr(value);
    return code.size() >= 2 ? std::string(code.substr(code.size() - 2)) : std::string(2, '\0');
}

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

bool holdsUpdate(const PlannedBoard& plan, const std::string& dataTxt) {
    bool firmwareCurrent = false, carried = false;
    for (const ComponentVersion& component : kInitialComponentTable) {
        if (component.keyword == nullptr) break;
        auto row =
            std::find_if(plan.versions.begin(), plan.versions.end(),
                         [&](const PlannedVersion& v) { return v.part == partOf(component); });
        if (row == plan.versions.end()) continue;
        const std::string& image = row->newVersion;
        // Without the update's firmware key the table shows " means ".
        if (image == kNotFound || image.starts_with(" means")) continue;
        carried = true;
        std::optional<std::string> board = keywordValue(dataTxt, component.keyword);
        if (!board) return false;
        bool current = false;
        switch (component.kind) {
            case COMPONENT_FIRMWARE:
                current = firmwareCurrent = fixed(*board, 0, 4) == fixed(image, 0, 4);
                break;
            case COMPONENT_PSKEYS:
                current = firmwareCurrent && settingsCode(*board) == fixed(image, 0, 2) &&
                          fixed(*board, kSettingsMarkAt, 4) == fixed(image, 3, 4);
                break;
            case COMPONENT_LAP_SOFTWARE:
                current = withoutCr(*board) == image;
                break;
            default:
                break;
        }
        if (!current) return false;
    }
    return carried;
}

}  // namespace rollout
