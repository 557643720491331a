#include "tools/rehearse/plan_contract.h"

namespace rehearse {

namespace {

std::vector<std::string> texts(const Json& item, const char* name) {
    return item.contains(name) ? item.at(name).get<std::vector<std::string>>()
                               : std::vector<std::string>{};
}

Json optionalText(const std::optional<std::string>& text) {
    return text ? Json(*text) : Json(nullptr);
}

std::optional<std::string> optionalText(const Json& value) {
    return value.is_null() ? std::nullopt : std::optional<std::string>(value.get<std::string>());
}

// A text that may be empty, as null.
Json textOrNull(const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); }

// The pairs of the facts within a run, which the lists below take.
void to_json(Json& json, const VersionRow& row);
void from_json(const Json& json, VersionRow& row);
void to_json(Json& json, const KeyChange& key);
void from_json(const Json& json, KeyChange& key);
void to_json(Json& json, const EtcChange& change);
void from_json(const Json& json, EtcChange& change);
void to_json(Json& json, const StepFacts& step, bool timed);
void from_json(const Json& json, StepFacts& step);
void to_json(Json& json, const KeyFile& key);
void from_json(const Json& json, KeyFile& key);

// Each item of a list by the same pair.
template <typename T, typename... Context>
Json listJson(const std::vector<T>& items, const Context&... context) {
    Json list = Json::array();
    for (const T& item : items) {
        Json json;
        to_json(json, item, context...);
        list.push_back(std::move(json));
    }
    return list;
}
template <typename T>
std::vector<T> listOf(const Json& list) {
    std::vector<T> items(list.size());
    for (std::size_t i = 0; i < items.size(); ++i) from_json(list.at(i), items[i]);
    return items;
}

Outcome outcomeOf(const std::string& name) {
    for (Outcome outcome : {Outcome::Ok, Outcome::Nok, Outcome::NoFinalNotice, Outcome::Seeding})
        if (name == outcomeName(outcome)) return outcome;
    throw NotAPlan{"a run's outcome is " + name};
}

void to_json(Json& json, const VersionRow& row) {
    json = {{"part", row.part},
            {"old", row.oldVersion},
            {"new", row.newVersion},
            {"update", row.update},
            {"older", row.older}};
}
void from_json(const Json& json, VersionRow& row) {
    row = {json.at("part"), json.at("old"), json.at("new"), json.at("update"), json.at("older")};
}

void to_json(Json& json, const KeyChange& key) {
    json = {{"key", key.key},
            {"before", optionalText(key.before)},
            {"after", optionalText(key.after)},
            {"by", key.source == KeySource::Preset ? "preset" : "image"}};
}
void from_json(const Json& json, KeyChange& key) {
    key = {json.at("key"), optionalText(json.at("before")), optionalText(json.at("after")),
           json.at("by") == "preset" ? KeySource::Preset : KeySource::Image};
}

void to_json(Json& json, const FlashWork& flash) {
    json = {{"sectors_erased", flash.sectorsErased},
            {"words_programmed", flash.wordsProgrammed},
            {"ranges", flash.ranges}};
}
void from_json(const Json& json, FlashWork& flash) {
    flash = {json.at("sectors_erased"), json.at("words_programmed"), json.at("ranges")};
}

void to_json(Json& json, const EtcChange& change) {
    json = {{"file", change.file},
            {"change", change.loss    ? "lost"
                       : change.added ? "added"
                                      : "removed"},
            {"line", change.line}};
}
void from_json(const Json& json, EtcChange& change) {
    const std::string how = json.at("change");
    change = {json.at("file"), how == "added", json.at("line"), how == "lost"};
}

// timed: the run's durations are known, and the step ran.
void to_json(Json& json, const StepFacts& step, bool timed) {
    json = {{"step", step.name}, {"result", step.result}, {"reasons", step.reasons}};
    if (!timed || step.result == kNotRun) return;
    json["start"] = step.start;
    json["wire"] = step.wire;
    json["waits"] = step.waits;
    json["work"] = step.work;
    json["seconds"] = step.total;
}
void from_json(const Json& json, StepFacts& step) {
    step = {json.at("step"), json.at("result"), texts(json, "reasons")};
    if (!json.contains("seconds")) return;
    step.start = json.at("start");
    step.wire = json.at("wire");
    step.waits = json.at("waits");
    step.work = json.at("work");
    step.total = json.at("seconds");
}

void to_json(Json& json, const KeyFile& key) {
    json = {{"file", key.file}, {"key_id", textOrNull(key.keyId)}, {"role", textOrNull(key.role)}};
}
void from_json(const Json& json, KeyFile& key) {
    key = {json.at("file"), optionalText(json.at("key_id")).value_or(""), ""};
    // (Plans of producers before roles: every key was a release key.)
    if (!key.keyId.empty())
        key.role =
            json.contains("role") ? optionalText(json.at("role")).value_or("release") : "release";
}

// A version that can't be read is null, never 0.
Json versionJson(const std::optional<std::uint32_t>& version) {
    return version ? Json(*version) : Json(nullptr);
}
// (Plans of producers before key-set versions: 0, what every board was at.)
std::optional<std::uint32_t> versionOf(const Json& json, const char* name) {
    if (!json.contains(name)) return 0;
    if (json.at(name).is_null()) return std::nullopt;
    return json.at(name).get<std::uint32_t>();
}

// A key folder's files; null without a folder.
Json keyFilesJson(const std::vector<KeyFile>& keys, bool folder) {
    return folder ? listJson(keys) : Json(nullptr);
}

void to_json(Json& json, const TrustFacts& trust, const std::string& imageSigner) {
    json = {{"keys_before", keyFilesJson(trust.keysBefore, trust.keyFolderBefore)},
            {"keys_after", keyFilesJson(trust.keysAfter, trust.keyFolderAfter)},
            {"signer", textOrNull(trust.signer)},
            {"image_security_version",
             trust.imageSecurityVersion ? Json(*trust.imageSecurityVersion) : Json(nullptr)},
            {"verdict", trust.verdict},
            // (0 where the record can't be read, which the flags beside say: a reader of the
            // numbers alone sees what it saw before they came.)
            {"security_version_before", trust.securityBefore.value_or(0)},
            {"security_version_after", trust.securityAfter.value_or(0)},
            {"security_version_before_unreadable", !trust.securityBefore},
            {"security_version_after_unreadable", !trust.securityAfter},
            {"keyset_version_before", versionJson(trust.keySetBefore)},
            {"keyset_version_after", versionJson(trust.keySetAfter)},
            {"summary", trustCell(trust, imageSigner)}};
}
void from_json(const Json& json, TrustFacts& trust) {
    trust.keyFolderBefore = !json.at("keys_before").is_null();
    trust.keyFolderAfter = !json.at("keys_after").is_null();
    if (trust.keyFolderBefore) trust.keysBefore = listOf<KeyFile>(json.at("keys_before"));
    if (trust.keyFolderAfter) trust.keysAfter = listOf<KeyFile>(json.at("keys_after"));
    trust.signer = optionalText(json.at("signer")).value_or("");
    if (!json.at("image_security_version").is_null())
        trust.imageSecurityVersion = json.at("image_security_version").get<std::uint32_t>();
    trust.verdict = json.at("verdict");
    trust.securityBefore.reset();
    trust.securityAfter.reset();
    if (!json.value("security_version_before_unreadable", false))
        trust.securityBefore = json.at("security_version_before").get<std::uint32_t>();
    if (!json.value("security_version_after_unreadable", false))
        trust.securityAfter = json.at("security_version_after").get<std::uint32_t>();
    trust.keySetBefore = versionOf(json, "keyset_version_before");
    trust.keySetAfter = versionOf(json, "keyset_version_after");
}

}  // namespace

void to_json(Json& json, const ImageId& image) {
    json = {{"name", image.name}, {"sha256", image.sha256}};
    if (!image.signer.empty()) json["signer"] = image.signer;
}
void from_json(const Json& json, ImageId& image) {
    image = {json.at("name"), json.at("sha256"), json.value("signer", "")};
}

void to_json(Json& json, const Shard& shard) {
    json = {{"part", shard.part}, {"parts", shard.parts}, {"fleet_boards", shard.fleetBoards}};
}
void from_json(const Json& json, Shard& shard) {
    shard = {json.at("part"), json.at("parts"), json.at("fleet_boards")};
}

void to_json(Json& json, const DifferenceGroup& group) {
    json = {{"boards", group.boards}, {"differences", group.differences}};
}
void from_json(const Json& json, DifferenceGroup& group) {
    group = {texts(json, "boards"), texts(json, "differences")};
}

void to_json(Json& json, const RunFacts& run, const std::string& imageSigner) {
    json = {{"outcome", outcomeName(run.outcome)}};
    if (run.outcome == Outcome::Seeding) {
        json["seeding_errors"] = run.seedErrors;
        return;
    }
    json["versions"] = listJson(run.versions);
    json["pskeys_changed"] = listJson(run.keys);
    json["firmware"] = {{"before", run.firmwareBefore}, {"after", run.firmwareAfter}};
    to_json(json["flash"], run.flash);
    json["etc_changed"] = listJson(run.etc);
    to_json(json["trust"], run.trust, imageSigner);
    json["steps"] = listJson(run.steps, run.duration.has_value());
    json["duration"] = run.duration ? Json(*run.duration) : Json(nullptr);
}
void from_json(const Json& json, RunFacts& run) {
    run.outcome = outcomeOf(json.at("outcome"));
    if (run.outcome == Outcome::Seeding) {
        run.seedErrors = texts(json, "seeding_errors");
        return;
    }
    run.versions = listOf<VersionRow>(json.at("versions"));
    run.keys = listOf<KeyChange>(json.at("pskeys_changed"));
    run.firmwareBefore = json.at("firmware").at("before");
    run.firmwareAfter = json.at("firmware").at("after");
    from_json(json.at("flash"), run.flash);
    run.etc = listOf<EtcChange>(json.at("etc_changed"));
    from_json(json.at("trust"), run.trust);
    run.steps = listOf<StepFacts>(json.at("steps"));
    if (!json.at("duration").is_null()) run.duration = json.at("duration").get<double>();
}

void to_json(Json& json, const BoardFacts& board, const BoardPlace& place) {
    json = {{"board", board.name},        {"folder", board.folder},
            {"position", place.position}, {"group", place.group},
            {"run", place.run},           {"outcome", outcomeName(board.run->outcome)},
            {"assumed", board.assumed},   {"notes", board.notes}};
    if (board.flashSize) json["flash_size"] = *board.flashSize;
    if (board.ran()) json["state_sha256"] = board.stateSha256;
}
void from_json(const Json& json, BoardFacts& board, BoardPlace& place) {
    board.name = json.at("board");
    board.folder = json.at("folder");
    place = {json.at("position"), json.at("group"), json.at("run")};
    board.assumed = texts(json, "assumed");
    board.notes = texts(json, "notes");
    if (json.contains("flash_size")) board.flashSize = json.at("flash_size").get<std::uint64_t>();
    board.stateSha256 = json.value("state_sha256", "");
}

void to_json(Json& json, const Plan& plan, std::size_t g, std::size_t kind) {
    const BoardGroup& group = plan.groups[g];
    Json members = Json::array(), shared = Json::array(), differing = Json::array();
    for (std::size_t i : group.members) members.push_back(plan.boards[i].name);
    // What the boards were seeded with: the facts all of them share apart from those only
    // some have (with their names).
    for (const GroupFact& fact : groupFacts(plan.boards, group)) {
        if (fact.boards.size() == group.members.size()) {
            shared.push_back(fact.fact);
            continue;
        }
        Json names = Json::array();
        for (std::size_t i : fact.boards) names.push_back(plan.boards[i].name);
        differing.push_back({{"fact", fact.fact}, {"boards", names}});
    }
    json = {{"group", g + 1},
            {"kind", kind},
            {"name", groupName(plan.boards, group)},
            {"summary", groupSummary(plan.boards, group)},
            {"boards", members},
            {"shared", shared},
            {"differing", differing},
            {"twins_differ_in", group.twinsDifferIn}};
}
void from_json(const Json& json, std::vector<std::string>& boards,
               std::vector<std::string>& twinsDifferIn) {
    boards = texts(json, "boards");
    twinsDifferIn = texts(json, "twins_differ_in");
}

void to_json(Json& json, const OutcomeKind& kind, std::size_t number) {
    Json groups = Json::array();
    for (std::size_t g : kind.groups) groups.push_back(g + 1);
    json = {{"kind", number},        {"name", kind.name}, {"summary", kindSummary(kind)},
            {"boards", kind.boards}, {"groups", groups},  {"differ_in", kind.differIn}};
}

}  // namespace rehearse
