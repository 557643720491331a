#include "tools/rehearse/plan_merge.h"

#include <algorithm>
#include <map>
#include <numeric>

#include "tools/common/input_file.h"
#include "tools/common/json_text.h"
#include "tools/rehearse/board_order.h"
#include "tools/rehearse/plan_contract.h"

namespace {

using rehearse::NotAPlan;

void planOf(const Json& document, Plan* plan) {
    if (document.value("format", "") != "btlap-rehearsal")
        throw NotAPlan{"not a rehearsal's plan (no \"format\": \"btlap-rehearsal\")"};
    if (document.at("format_version") != kPlanFormatVersion)
        throw NotAPlan{"a plan of format version " + jsonText(document.at("format_version"))};
    rehearse::from_json(document.at("image"), plan->image);
    plan->measured = document.at("durations") == "measured";
    if (!document.at("boards").is_array()) throw NotAPlan{"its boards are not a list"};
    if (document.contains("shard"))
        rehearse::from_json(document.at("shard"), plan->shard.emplace());
    // The groups as they stand, for what their twins differed in.
    std::map<std::string, std::size_t> indexOf;
    for (std::size_t i = 0; i < plan->boards.size(); ++i) indexOf[plan->boards[i].name] = i;
    for (const Json& item : document.at("groups")) {
        std::vector<std::string> names;
        BoardGroup& group = plan->groups.emplace_back();
        rehearse::from_json(item, names, group.twinsDifferIn);
        for (const std::string& name : names)
            if (auto found = indexOf.find(name); found != indexOf.end())
                group.members.push_back(found->second);
    }
    if (!document.contains("comparison")) return;
    const Json& comparison = document.at("comparison");
    plan->comparison.emplace();
    rehearse::from_json(comparison.at("old_image"), plan->comparison->oldImage);
    for (const Json& group : comparison.at("groups"))
        rehearse::from_json(group, plan->comparison->groups.emplace_back());
}

}  // namespace

bool readPlanJson(const std::string& path, Plan* plan, std::string* error, SharedRuns* runs) {
    SharedRuns own;
    SharedRuns& shared = runs == nullptr ? own : *runs;
    std::string text;
    if (!readInputFile(path, &text, error)) return false;
    // Each run and board into the plan as its object ends, and left out of the document: a part
    // of a large fleet is never whole in memory. The runs come before the boards that refer to
    // them.
    std::string list;
    std::vector<std::shared_ptr<const RunFacts>> partRuns;
    auto take = [&](int depth, Json::parse_event_t event, Json& parsed) {
        if (depth == 1 && event == Json::parse_event_t::key) list = parsed.get<std::string>();
        if (depth != 2 || event != Json::parse_event_t::object_end) return true;
        if (list == "runs") {
            // The runs that showed the same (twins) share their facts, in one part and across
            // parts.
            parsed.erase("run");
            std::shared_ptr<const RunFacts>& run = shared[sha256Hex(jsonText(parsed))];
            if (!run) {
                RunFacts facts;
                rehearse::from_json(parsed, facts);
                run = std::make_shared<const RunFacts>(std::move(facts));
            }
            partRuns.push_back(run);
            return false;
        }
        if (list != "boards") return true;
        BoardFacts& board = plan->boards.emplace_back();
        rehearse::BoardPlace place;
        rehearse::from_json(parsed, board, place);
        if (place.run < 1 || place.run > partRuns.size())
            throw NotAPlan{"the board " + board.name + "'s run " + std::to_string(place.run) +
                           " is not among the runs before it"};
        board.run = partRuns[place.run - 1];
        plan->positions.push_back(place.position);
        return false;
    };
    try {
        planOf(Json::parse(text, take), plan);
        return true;
    } catch (const NotAPlan& bad) {
        *error = path + ": " + bad.what;
    } catch (const Json::exception& bad) {
        *error = path + ": not a rehearsal's plan (" + bad.what() + ")";
    }
    return false;
}

namespace {

// Whether a part is of the same rehearsal as the first: the same image, the same kind of
// durations, compared with the same old image. "" when it is, else what differs.
std::string otherRehearsal(const Plan& first, const Plan& part) {
    if (part.image.sha256 != first.image.sha256 || part.image.name != first.image.name)
        return "a plan of the image " + part.image.name + " (" + part.image.sha256 + "), not " +
               first.image.name + " (" + first.image.sha256 + ")";
    if (part.measured != first.measured) return "durations measured in one part, not the other";
    if (part.comparison.has_value() != first.comparison.has_value())
        return "compared with an old image in one part, not the other";
    if (part.comparison && part.comparison->oldImage.sha256 != first.comparison->oldImage.sha256)
        return "compared with another old image, " + part.comparison->oldImage.name;
    if (part.shard.has_value() != first.shard.has_value() ||
        (part.shard && (part.shard->parts != first.shard->parts ||
                        part.shard->fleetBoards != first.shard->fleetBoards)))
        return "a part of another division of the fleet";
    return "";
}

// The parts that a division of the fleet into shards lacks: "2/4, 3/4"; "" when none.
std::string missingShards(const std::vector<Plan>& parts) {
    if (!parts.front().shard) return "";
    std::string missing;
    const std::size_t count = parts.front().shard->parts;
    for (std::size_t k = 1; k <= count; ++k)
        if (std::none_of(parts.begin(), parts.end(),
                         [&](const Plan& part) { return part.shard->part == k; }))
            missing +=
                (missing.empty() ? "" : ", ") + std::to_string(k) + "/" + std::to_string(count);
    return missing;
}

// The comparison's groups again, over the joined boards: by the differences each board had
// in its part, in the boards' order, the boards alike last (as compareFleets makes them).
std::vector<DifferenceGroup> regroupDifferences(const std::vector<Plan>& parts,
                                                const std::vector<BoardFacts>& boards) {
    std::map<std::string, std::vector<std::string>> differencesOf;
    for (const Plan& part : parts)
        for (const DifferenceGroup& group : part.comparison->groups)
            for (const std::string& name : group.boards) differencesOf[name] = group.differences;
    std::vector<DifferenceGroup> groups;
    DifferenceGroup alike;
    for (const BoardFacts& board : boards) {
        auto found = differencesOf.find(board.name);
        std::vector<std::string> differences =
            found == differencesOf.end()
                ? std::vector<std::string>{"not rehearsed with the old image"}
                : found->second;
        if (differences.empty()) {
            alike.boards.push_back(board.name);
            continue;
        }
        auto group = std::find_if(groups.begin(), groups.end(), [&](const DifferenceGroup& g) {
            return g.differences == differences;
        });
        if (group == groups.end()) group = groups.insert(groups.end(), {{}, differences});
        group->boards.push_back(board.name);
    }
    if (!alike.boards.empty()) groups.push_back(alike);
    return groups;
}

}  // namespace

namespace {

struct Place {
    std::size_t position, part, board;
};

// Each board of the parts in its place in the fleet; false, with what is wrong, when two
// parts share a board or a place.
bool placeBoards(const std::vector<Plan>& parts, const std::vector<std::string>& paths,
                 std::vector<Place>* places, std::string* error) {
    std::map<std::string, std::size_t> partOfName;
    for (std::size_t p = 0; p < parts.size(); ++p) {
        for (std::size_t b = 0; b < parts[p].boards.size(); ++b) {
            auto [known, added] = partOfName.emplace(parts[p].boards[b].name, p);
            if (!added) {
                *error = paths[p] + ": the board " + parts[p].boards[b].name + " is also in " +
                         paths[known->second];
                return false;
            }
            places->push_back({parts[p].positions[b], p, b});
        }
    }
    std::sort(places->begin(), places->end(),
              [](const Place& a, const Place& b) { return a.position < b.position; });
    for (std::size_t i = 1; i < places->size(); ++i) {
        const Place &here = (*places)[i], &before = (*places)[i - 1];
        if (here.position != before.position) continue;
        *error = paths[here.part] + ": its board in the fleet's place " +
                 std::to_string(here.position) + " is also in " + paths[before.part];
        return false;
    }
    return true;
}

}  // namespace

bool mergePlans(std::vector<Plan> parts, const std::vector<std::string>& paths, Plan* plan,
                std::string* error) {
    for (std::size_t p = 0; p < parts.size(); ++p) {
        if (std::string other = otherRehearsal(parts.front(), parts[p]); !other.empty()) {
            *error = paths[p] + ": " + other + " (as in " + paths.front() + ")";
            return false;
        }
    }
    std::vector<Place> places;
    if (!placeBoards(parts, paths, &places, error)) return false;
    if (std::string missing = missingShards(parts); !missing.empty()) {
        *error = "the fleet's part " + missing + " is not among the parts given";
        return false;
    }
    // In the names' order, as one run over the fleet lists them.
    std::stable_sort(places.begin(), places.end(), [&](const Place& a, const Place& b) {
        return boardNameBefore(parts[a.part].boards[a.board].name,
                               parts[b.part].boards[b.board].name);
    });
    // What each board's twins differed in, as its part's group says.
    std::map<std::string, const std::vector<std::string>*> twinsOf;
    for (const Plan& part : parts)
        for (const BoardGroup& group : part.groups)
            for (std::size_t i : group.members) twinsOf[part.boards[i].name] = &group.twinsDifferIn;
    plan->image = parts.front().image;
    plan->measured = parts.front().measured;
    for (const Place& place : places) {
        plan->boards.push_back(std::move(parts[place.part].boards[place.board]));
        plan->positions.push_back(place.position);
    }
    plan->groups = groupBoards(plan->boards);
    for (BoardGroup& group : plan->groups) {
        for (std::size_t i : group.members) {
            auto found = twinsOf.find(plan->boards[i].name);
            if (found == twinsOf.end()) continue;
            for (const std::string& what : *found->second)
                if (std::find(group.twinsDifferIn.begin(), group.twinsDifferIn.end(), what) ==
                    group.twinsDifferIn.end())
                    group.twinsDifferIn.push_back(what);
        }
    }
    if (parts.front().comparison) {
        plan->comparison.emplace();
        plan->comparison->oldImage = parts.front().comparison->oldImage;
        plan->comparison->groups = regroupDifferences(parts, plan->boards);
    }
    return true;
}
