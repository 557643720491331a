#include "tools/rehearse/plan_merge.h"

#include <algorithm>
#include <map>
#include <numeric>

#include "tools/common/input_file.h"
#include "tools/common/json_text.h"
#include "tools/rehearse/board_order.h"

namespace {

// Within a part: what is wrong with it, said with the part's name by the caller.
struct NotAPlan {
    std::string what;
};

std::vector<std::string> texts(const Json& item, const char* name) {
    return item.contains(name) ? item.at(name).get<std::vector<std::string>>()
                               : std::vector<std::string>{};
}

std::optional<std::string> optionalText(const Json& value) {
    return value.is_null() ? std::nullopt : std::optional<std::string>(value.get<std::string>());
}

Outcome outcomeOf(const std::string& name) {
    for (Outcome outcome : {Outcome::Ok, Outcome::Nok, Outcome::NoFinalNotice, Outcome::Seeding})
        if (name == outcomeName(outcome)) return outcome;
    throw NotAPlan{"a board's outcome is " + name};
}

std::vector<KeyFile> keyFiles(const Json& value) {
    std::vector<KeyFile> files;
    if (value.is_null()) return files;
    for (const Json& file : value)
        files.push_back({file.at("file"), optionalText(file.at("key_id")).value_or("")});
    return files;
}

TrustFacts trustOf(const Json& item) {
    TrustFacts trust;
    trust.keyFolderBefore = !item.at("keys_before").is_null();
    trust.keyFolderAfter = !item.at("keys_after").is_null();
    trust.keysBefore = keyFiles(item.at("keys_before"));
    trust.keysAfter = keyFiles(item.at("keys_after"));
    trust.signer = optionalText(item.at("signer")).value_or("");
    if (!item.at("image_security_version").is_null())
        trust.imageSecurityVersion = item.at("image_security_version").get<std::uint32_t>();
    trust.verdict = item.at("verdict");
    // (A plan written before the flags came holds readable records.)
    if (!item.value("security_version_before_unreadable", false))
        trust.securityBefore = item.at("security_version_before").get<std::uint32_t>();
    else
        trust.securityBefore.reset();
    if (!item.value("security_version_after_unreadable", false))
        trust.securityAfter = item.at("security_version_after").get<std::uint32_t>();
    else
        trust.securityAfter.reset();
    return trust;
}

std::vector<StepFacts> stepsOf(const Json& items) {
    std::vector<StepFacts> steps;
    for (const Json& item : items) {
        StepFacts step{item.at("step"), item.at("result"), texts(item, "reasons")};
        if (item.contains("seconds")) {
            step.start = item.at("start");
            step.wire = item.at("wire");
            step.waits = item.at("waits");
            step.work = item.at("work");
            step.total = item.at("seconds");
        }
        steps.push_back(step);
    }
    return steps;
}

// What a run changed: its versions, keys, firmware, flash and /etc.
void changesOf(const Json& item, RunFacts& run) {
    for (const Json& row : item.at("versions"))
        run.versions.push_back(
            {row.at("part"), row.at("old"), row.at("new"), row.at("update"), row.at("older")});
    for (const Json& key : item.at("pskeys_changed"))
        run.keys.push_back({key.at("key"), optionalText(key.at("before")),
                            optionalText(key.at("after")),
                            key.at("by") == "preset" ? KeySource::Preset : KeySource::Image});
    run.firmwareBefore = item.at("firmware").at("before");
    run.firmwareAfter = item.at("firmware").at("after");
    const Json& flash = item.at("flash");
    run.flash = {flash.at("sectors_erased"), flash.at("words_programmed"), flash.at("ranges")};
    for (const Json& change : item.at("etc_changed")) {
        const std::string how = change.at("change");
        run.etc.push_back({change.at("file"), how == "added", change.at("line"), how == "lost"});
    }
}

RunFacts runOf(const Json& item) {
    RunFacts run;
    run.outcome = outcomeOf(item.at("outcome"));
    if (run.outcome == Outcome::Seeding) {
        run.seedErrors = texts(item, "seeding_errors");
        return run;
    }
    changesOf(item, run);
    run.trust = trustOf(item.at("trust"));
    run.steps = stepsOf(item.at("steps"));
    if (!item.at("duration").is_null()) run.duration = item.at("duration").get<double>();
    return run;
}

// The members of a board's item that are the board's own; the rest are its run's.
constexpr const char* kBoardsOwn[] = {"board",   "folder", "position",   "group",
                                      "assumed", "notes",  "flash_size", "state_sha256"};

// A board and its run's facts: those of a board read before (in this part or another) when its
// run's facts are the same, as those of twins are, else its own. The item keeps the run's only.
BoardFacts boardOf(Json& item, SharedRuns& runs) {
    BoardFacts board;
    board.name = item.at("board");
    board.folder = item.at("folder");
    board.assumed = texts(item, "assumed");
    board.notes = texts(item, "notes");
    if (item.contains("flash_size")) board.flashSize = item.at("flash_size").get<std::uint64_t>();
    if (outcomeOf(item.at("outcome")) != Outcome::Seeding)
        board.stateSha256 = item.at("state_sha256");
    for (const char* own : kBoardsOwn) item.erase(own);
    std::shared_ptr<const RunFacts>& run = runs[sha256Hex(jsonText(item))];
    if (!run) run = std::make_shared<const RunFacts>(runOf(item));
    board.run = run;
    return board;
}

ImageId imageOf(const Json& item) {
    return {item.at("name"), item.at("sha256"), item.value("signer", "")};
}

void planOf(const Json& document, Plan* plan) {
    if (document.value("format", "") != "btlap-rehearsal")
        throw NotAPlan{"not a rehearsal's plan (no \"format\": \"btlap-rehearsal\")"};
    if (document.at("format_version") != kPlanFormatVersion)
        throw NotAPlan{"a plan of format version " + jsonText(document.at("format_version"))};
    plan->image = imageOf(document.at("image"));
    plan->measured = document.at("durations") == "measured";
    if (!document.at("boards").is_array()) throw NotAPlan{"its boards are not a list"};
    if (document.contains("shard")) {
        const Json& shard = document.at("shard");
        plan->shard = Shard{shard.at("part"), shard.at("parts"), shard.at("fleet_boards")};
    }
    if (!document.contains("comparison")) return;
    const Json& comparison = document.at("comparison");
    plan->comparison.emplace();
    plan->comparison->oldImage = imageOf(comparison.at("old_image"));
    for (const Json& group : comparison.at("groups"))
        plan->comparison->groups.push_back({texts(group, "boards"), texts(group, "differences")});
}

}  // namespace

bool readPlanJson(const std::string& path, Plan* plan, std::string* error, SharedRuns* runs) {
    SharedRuns own;
    std::string text;
    if (!readInputFile(path, &text, error)) return false;
    // Each board into the plan as its object ends, and left out of the document: a part of a
    // large fleet is never whole in memory.
    bool inBoards = false;
    auto takeBoards = [&](int depth, Json::parse_event_t event, Json& parsed) {
        if (depth == 1 && event == Json::parse_event_t::key) inBoards = parsed == "boards";
        if (!inBoards || depth != 2 || event != Json::parse_event_t::object_end) return true;
        plan->positions.push_back(parsed.at("position"));
        plan->boards.push_back(boardOf(parsed, runs == nullptr ? own : *runs));
        return false;
    };
    try {
        planOf(Json::parse(text, takeBoards), plan);
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
    plan->image = parts.front().image;
    plan->measured = parts.front().measured;
    for (const Place& place : places) {
        plan->boards.push_back(std::move(parts[place.part].boards[place.board]));
        plan->positions.push_back(place.position);
    }
    plan->groups = groupBoards(plan->boards);
    if (parts.front().comparison) {
        plan->comparison.emplace();
        plan->comparison->oldImage = parts.front().comparison->oldImage;
        plan->comparison->groups = regroupDifferences(parts, plan->boards);
    }
    return true;
}
