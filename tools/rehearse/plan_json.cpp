#include <functional>

#include "tools/common/json_text.h"
#include "tools/rehearse/plan.h"

namespace {

Json optionalText(const std::optional<std::string>& text) {
    return text ? Json(*text) : Json(nullptr);
}

Json stepsJson(const BoardFacts& board) {
    const RunFacts& run = *board.run;
    Json steps = Json::array();
    for (const StepFacts& step : run.steps) {
        Json item = {{"step", step.name}, {"result", step.result}, {"reasons", step.reasons}};
        if (step.result != kNotRun && run.duration) {
            item["start"] = step.start;
            item["wire"] = step.wire;
            item["waits"] = step.waits;
            item["work"] = step.work;
            item["seconds"] = step.total;
        }
        steps.push_back(item);
    }
    return steps;
}

Json keyFilesJson(const std::vector<KeyFile>& keys, bool folder) {
    if (!folder) return nullptr;
    Json files = Json::array();
    for (const KeyFile& key : keys)
        files.push_back(
            {{"file", key.file}, {"key_id", key.keyId.empty() ? Json(nullptr) : Json(key.keyId)}});
    return files;
}

// imageSigner: the plan's image's, which the summary's words take (trustCell).
Json trustJson(const TrustFacts& trust, const std::string& imageSigner) {
    return {{"keys_before", keyFilesJson(trust.keysBefore, trust.keyFolderBefore)},
            {"keys_after", keyFilesJson(trust.keysAfter, trust.keyFolderAfter)},
            {"signer", trust.signer.empty() ? Json(nullptr) : Json(trust.signer)},
            {"image_security_version",
             trust.imageSecurityVersion ? Json(*trust.imageSecurityVersion) : Json(nullptr)},
            {"verdict", trust.verdict},
            // (0 where the record can't be read, which the flags beside say: a reader of the
            // numbers alone sees what it saw before they came.)
            {"security_version_before", trust.securityBefore.value_or(0)},
            {"security_version_after", trust.securityAfter.value_or(0)},
            {"security_version_before_unreadable", !trust.securityBefore},
            {"security_version_after_unreadable", !trust.securityAfter},
            {"summary", trustCell(trust, imageSigner)}};
}

Json boardJson(const BoardFacts& board, std::size_t position, std::size_t group,
               const std::string& imageSigner) {
    const RunFacts& run = *board.run;
    Json item = {{"board", board.name},
                 {"folder", board.folder},
                 {"position", position},
                 {"group", group},
                 {"outcome", outcomeName(run.outcome)},
                 {"assumed", board.assumed},
                 {"notes", board.notes}};
    if (board.flashSize) item["flash_size"] = *board.flashSize;
    if (!board.ran()) {
        item["seeding_errors"] = run.seedErrors;
        return item;
    }
    item["state_sha256"] = board.stateSha256;
    Json versions = Json::array();
    for (const VersionRow& row : run.versions)
        versions.push_back({{"part", row.part},
                            {"old", row.oldVersion},
                            {"new", row.newVersion},
                            {"update", row.update},
                            {"older", row.older}});
    item["versions"] = versions;
    Json keys = Json::array();
    for (const KeyChange& key : run.keys)
        keys.push_back({{"key", key.key},
                        {"before", optionalText(key.before)},
                        {"after", optionalText(key.after)},
                        {"by", key.source == KeySource::Preset ? "preset" : "image"}});
    item["pskeys_changed"] = keys;
    item["firmware"] = {{"before", run.firmwareBefore}, {"after", run.firmwareAfter}};
    item["flash"] = {{"sectors_erased", run.flash.sectorsErased},
                     {"words_programmed", run.flash.wordsProgrammed},
                     {"ranges", run.flash.ranges}};
    Json etc = Json::array();
    for (const EtcChange& change : run.etc)
        etc.push_back({{"file", change.file},
                       {"change", change.loss    ? "lost"
                                  : change.added ? "added"
                                                 : "removed"},
                       {"line", change.line}});
    item["etc_changed"] = etc;
    item["trust"] = trustJson(run.trust, imageSigner);
    item["steps"] = stepsJson(board);
    item["duration"] = run.duration ? Json(*run.duration) : Json(nullptr);
    return item;
}

Json imageJson(const ImageId& image) {
    Json json = {{"name", image.name}, {"sha256", image.sha256}};
    if (!image.signer.empty()) json["signer"] = image.signer;
    return json;
}

// A group: what the update does to it, and what its boards were seeded with, the facts all of
// them share apart from those only some have (with their names).
Json groupJson(const Plan& plan, std::size_t g) {
    const BoardGroup& group = plan.groups[g];
    Json members = Json::array(), shared = Json::array(), differing = Json::array();
    for (std::size_t i : group.members) members.push_back(plan.boards[i].name);
    for (const GroupFact& fact : groupFacts(plan.boards, group)) {
        if (fact.boards.size() == group.members.size()) {
            shared.push_back(fact.fact);
            continue;
        }
        Json names = Json::array();
        for (std::size_t i : fact.boards) names.push_back(plan.boards[i].name);
        differing.push_back({{"fact", fact.fact}, {"boards", names}});
    }
    return {{"group", g + 1},
            {"name", groupName(plan.boards, group)},
            {"summary", groupSummary(plan.boards, group)},
            {"boards", members},
            {"shared", shared},
            {"differing", differing}};
}

// The document as text with an empty list in the place of its boards; the document itself is
// gone before they are written.
std::string documentText(const Plan& plan, const std::string& producerVersion) {
    Json groups = Json::array();
    for (std::size_t g = 0; g < plan.groups.size(); ++g) groups.push_back(groupJson(plan, g));
    std::size_t ok = 0;
    for (const BoardFacts& board : plan.boards) ok += board.run->outcome == Outcome::Ok;
    Json document = {{"format", "btlap-rehearsal"},
                     {"format_version", kPlanFormatVersion},
                     {"producer", {{"name", "rehearse"}, {"version", producerVersion}}},
                     {"image", imageJson(plan.image)},
                     {"durations", plan.measured ? "measured" : "predicted"},
                     {"boards", Json::array()},
                     {"groups", std::move(groups)},
                     {"ok", ok},
                     {"boards_total", plan.boards.size()},
                     {"exit_status", planStatus(plan)}};
    if (plan.shard)
        document["shard"] = {{"part", plan.shard->part},
                             {"parts", plan.shard->parts},
                             {"fleet_boards", plan.shard->fleetBoards}};
    if (plan.comparison) {
        Json differences = Json::array();
        for (const DifferenceGroup& group : plan.comparison->groups)
            differences.push_back({{"boards", group.boards}, {"differences", group.differences}});
        document["comparison"] = {{"old_image", imageJson(plan.comparison->oldImage)},
                                  {"groups", std::move(differences)}};
    }
    return jsonText(document, 2);
}

}  // namespace

void writePlanJson(const Plan& plan, const std::string& producerVersion,
                   const std::function<void(const std::string&)>& write) {
    const std::vector<std::size_t> groupOf = groupOfBoards(plan);
    // The boards, one at a time into their place in the document (its only empty "boards"
    // list: a text's quotes are escaped), as the whole document would show them.
    const std::string text = documentText(plan, producerVersion);
    const std::string place = "\"boards\": []";
    const std::size_t at = text.find(place) + place.size() - 1;
    write(text.substr(0, at));
    for (std::size_t i = 0; i < plan.boards.size(); ++i) {
        const std::size_t position = plan.positions.empty() ? i + 1 : plan.positions[i];
        std::string item =
            jsonText(boardJson(plan.boards[i], position, groupOf[i] + 1, plan.image.signer), 2);
        for (std::size_t n = item.find('\n'); n != std::string::npos; n = item.find('\n', n + 5))
            item.insert(n + 1, "    ");
        write((i == 0 ? "\n    " : ",\n    ") + item);
    }
    write((plan.boards.empty() ? "" : "\n  ") + text.substr(at) + '\n');
}

std::string planJson(const Plan& plan, const std::string& producerVersion) {
    std::string text;
    writePlanJson(plan, producerVersion, [&](const std::string& piece) { text += piece; });
    return text;
}
