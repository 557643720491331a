#include "tools/rollout/plan_facts.h"

#include <filesystem>

#include "tools/common/json_text.h"

namespace rollout {

namespace {

std::string textOf(const Json& object, const char* member) {
    auto found = object.find(member);
    return found != object.end() && found->is_string() ? found->get<std::string>() : "";
}

PlannedBoard boardOf(const Json& item) {
    PlannedBoard board;
    board.name = textOf(item, "board");
    board.folder = textOf(item, "folder");
    board.outcome = textOf(item, "outcome");
    if (auto steps = item.find("steps"); steps != item.end() && steps->is_array()) {
        for (const Json& step : *steps) {
            std::string result = textOf(step, "result");
            std::vector<std::string> reasons;
            if (auto list = step.find("reasons"); list != step.end() && list->is_array())
                for (const Json& reason : *list)
                    if (reason.is_string()) reasons.push_back(reason.get<std::string>());
            if (result.starts_with("NOK") || !reasons.empty())
                board.failed.push_back({textOf(step, "step"), reasons});
        }
    }
    if (auto keys = item.find("pskeys_changed"); keys != item.end() && keys->is_array()) {
        for (const Json& key : *keys) {
            auto after = key.find("after");
            board.keys[textOf(key, "key")] =
                after != key.end() && after->is_string()
                    ? std::optional<std::string>(after->get<std::string>())
                    : std::nullopt;
        }
    }
    if (auto size = item.find("flash_size"); size != item.end() && size->is_number_unsigned())
        board.flashSize = size->get<std::uint64_t>();
    if (auto etc = item.find("etc_changed"); etc != item.end() && etc->is_array())
        for (const Json& change : *etc) {
            // Compared with lines read without their line ends, LF or CR LF.
            std::string line = textOf(change, "line");
            if (line.ends_with('\r')) line.pop_back();
            board.etc.push_back({textOf(change, "file"), textOf(change, "change"), line});
        }
    if (auto versions = item.find("versions"); versions != item.end() && versions->is_array())
        for (const Json& row : *versions)
            board.versions.push_back({textOf(row, "part"), textOf(row, "new")});
    return board;
}

}  // namespace

bool readPlan(const std::string& text, Plan* plan, std::string* error) {
    Json json = Json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        *error = "not JSON";
        return false;
    }
    if (textOf(json, "format") != "btlap-rehearsal" || !json.contains("format_version") ||
        (json["format_version"] != 1 && json["format_version"] != 2)) {
        *error = "not a rehearsal's plan of format version 1 or 2 (scripts/rehearse.sh --json)";
        return false;
    }
    // From format version 2 a board names its run, whose facts are written once in "runs".
    auto runs = json.find("runs");
    const bool byRun = runs != json.end() && runs->is_array();
    auto boards = json.find("boards");
    if (boards == json.end() || !boards->is_array()) {
        *error = "the plan has no boards";
        return false;
    }
    *plan = Plan{};
    if (auto image = json.find("image"); image != json.end() && image->is_object()) {
        plan->imageName = textOf(*image, "name");
        plan->imageSha256 = textOf(*image, "sha256");
    }
    for (const Json& item : *boards) {
        if (!item.is_object()) continue;
        auto run = item.find("run");
        if (!byRun || run == item.end() || !run->is_number_unsigned() || *run < 1 ||
            *run > runs->size() || !(*runs)[run->get<std::size_t>() - 1].is_object()) {
            plan->boards.push_back(boardOf(item));
            continue;
        }
        // The board's own members over its run's.
        Json whole = (*runs)[run->get<std::size_t>() - 1];
        for (auto member = item.begin(); member != item.end(); ++member)
            whole[member.key()] = member.value();
        plan->boards.push_back(boardOf(whole));
    }
    return true;
}

const PlannedBoard* plannedBoard(const Plan& plan, const std::string& folder) {
    for (const PlannedBoard& board : plan.boards)
        if (board.folder == folder) return &board;
    std::string name = std::filesystem::path(folder).lexically_normal().filename().string();
    if (name.empty()) name = std::filesystem::path(folder).parent_path().filename().string();
    for (const PlannedBoard& board : plan.boards)
        if (board.name == name) return &board;
    return nullptr;
}

}  // namespace rollout
