#include "tools/rollout/rollout_state.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "tools/common/json_text.h"

namespace rollout {

namespace {

Json shareJson(const Share& share) { return shareText(share); }

bool shareFrom(const Json& json, Share* share) {
    if (!json.is_string()) return false;
    std::optional<Share> read = parseShare(json.get<std::string>());
    if (read) *share = *read;
    return read.has_value();
}

const char* const kStatuses[] = {kNotYet,      kUpdated,  kAsPlanned, kUnexpected,
                                 kUnreachable, kNoAnswer, kAlready,   kUnderWay};

// A tally's counts, by status.
Json countsJson(const Tally& counts) {
    return {{"updated", counts.updated},       {"as_planned", counts.asPlanned},
            {"unexpected", counts.unexpected}, {"unreachable", counts.unreachable},
            {"no_answer", counts.noAnswer},    {"already_updated", counts.already},
            {"not_yet", counts.notYet},        {"under_way", counts.underWay}};
}

}  // namespace

Tally tally(const RolloutState& state, std::size_t wave) {
    Tally counts;
    for (const BoardEntry& board : state.boards) {
        if (wave != 0 && board.wave != wave) continue;
        const std::string& s = board.status;
        if (s == kUpdated) ++counts.updated;
        if (s == kAsPlanned) ++counts.asPlanned;
        if (s == kUnexpected) ++counts.unexpected;
        if (s == kUnreachable) ++counts.unreachable;
        if (s == kNoAnswer) ++counts.noAnswer;
        if (s == kAlready) ++counts.already;
        if (s == kNotYet) ++counts.notYet;
        if (s == kUnderWay) ++counts.underWay;
        if (board.outcome == "NOK") ++counts.nok;
    }
    return counts;
}

std::string haltReason(const RolloutState& state, std::size_t wave) {
    if (wave == 0 || wave > state.waveEnds.size()) return "";
    const std::size_t reached = state.waveEnds[wave - 1];
    Tally counts = tally(state);
    std::size_t surprises =
        counts.surprises() - std::min(counts.surprises(), state.forgivenUnexpected);
    std::size_t nok = counts.nok - std::min(counts.nok, state.forgivenNok);
    if (exceeds(state.maxUnexpected, surprises, reached))
        return std::to_string(surprises) + " board" + (surprises == 1 ? "" : "s") +
               " unlike the plan, more than --max-unexpected " + shareText(state.maxUnexpected);
    if (state.maxNok && exceeds(*state.maxNok, nok, reached))
        return std::to_string(nok) + " board" + (nok == 1 ? "" : "s") +
               " NOK, more than --max-nok " + shareText(*state.maxNok);
    return "";
}

std::optional<std::size_t> nextWave(const RolloutState& state) {
    for (std::size_t wave = 1; wave <= state.waveEnds.size(); ++wave)
        if (tally(state, wave).notYet > 0) return wave;
    return std::nullopt;
}

std::string verdictOf(const RolloutState& state) {
    Tally counts = tally(state);
    if (counts.unexpected > 0 || counts.noAnswer > 0) return kUnexpected;
    if (counts.unreachable > 0) return kUnreachable;
    if (counts.notYet > 0 || counts.underWay > 0) return kNotYet;
    if (counts.asPlanned > 0) return kAsPlanned;
    return kUpdated;
}

int exitStatusOf(const RolloutState& state) {
    Tally counts = tally(state);
    if (state.haltedWave || counts.surprises() > 0) return 1;
    return counts.notYet > 0 || counts.underWay > 0 ? 3 : 0;
}

std::string stateJson(const RolloutState& state) {
    Json waves = Json::array();
    for (std::size_t i = 0; i < state.waveEnds.size(); ++i) {
        Json wave = {{"wave", i + 1},
                     {"ends_at", state.waveEnds[i]},
                     {"boards", state.waveEnds[i] - (i == 0 ? 0 : state.waveEnds[i - 1])}};
        wave.update(countsJson(tally(state, i + 1)));
        waves.push_back(wave);
    }
    Json boards = Json::array();
    for (const BoardEntry& board : state.boards)
        boards.push_back({{"board", board.name},
                          {"host", board.host},
                          {"folder", board.folder},
                          {"wave", board.wave},
                          {"status", board.status},
                          {"planned", board.planned},
                          {"outcome", board.outcome},
                          {"differences", board.differences}});
    Json waveSpec = Json::array();
    for (const Share& wave : state.waves) waveSpec.push_back(shareJson(wave));
    Tally counts = tally(state);
    Json totals = {{"boards", state.boards.size()}};
    totals.update(countsJson(counts));
    totals["nok"] = counts.nok;
    Json json = {{"format", "btlap-rollout"},
                 {"format_version", 1},
                 {"image", {{"name", state.imageName}, {"sha256", state.imageSha256}}},
                 {"plan", state.planPath},
                 {"verdict", verdictOf(state)},
                 {"exit_status", exitStatusOf(state)},
                 {"halted", state.haltedWave
                                ? Json{{"wave", *state.haltedWave}, {"reason", state.haltReason}}
                                : Json(nullptr)},
                 {"limits",
                  {{"waves", waveSpec},
                   {"max_unexpected", shareJson(state.maxUnexpected)},
                   {"max_nok", state.maxNok ? shareJson(*state.maxNok) : Json(nullptr)},
                   {"forgiven_unexpected", state.forgivenUnexpected},
                   {"forgiven_nok", state.forgivenNok}}},
                 {"counts", totals},
                 {"waves", waves},
                 {"boards", boards}};
    return jsonText(json, 2) + "\n";
}

bool readState(const std::string& text, RolloutState* state, std::string* error) {
    Json json = Json::parse(text, nullptr, false);
    *error = "not a rollout's state (btlap-rollout, format version 1)";
    if (json.is_discarded() || !json.is_object() || json.value("format", "") != "btlap-rollout" ||
        json.value("format_version", 0) != 1)
        return false;
    try {
        RolloutState read;
        read.imageName = json.at("image").at("name");
        read.imageSha256 = json.at("image").at("sha256");
        read.planPath = json.at("plan");
        const Json& limits = json.at("limits");
        for (const Json& wave : limits.at("waves")) {
            Share share;
            if (!shareFrom(wave, &share)) return false;
            read.waves.push_back(share);
        }
        if (!shareFrom(limits.at("max_unexpected"), &read.maxUnexpected)) return false;
        if (!limits.at("max_nok").is_null()) {
            Share nok;
            if (!shareFrom(limits.at("max_nok"), &nok)) return false;
            read.maxNok = nok;
        }
        read.forgivenUnexpected = limits.at("forgiven_unexpected");
        read.forgivenNok = limits.at("forgiven_nok");
        for (const Json& board : json.at("boards")) {
            BoardEntry entry{board.at("board"),   board.at("host"),       board.at("folder"),
                             board.at("wave"),    board.at("status"),     board.at("planned"),
                             board.at("outcome"), board.at("differences")};
            if (std::find(std::begin(kStatuses), std::end(kStatuses), entry.status) ==
                std::end(kStatuses))
                return false;
            read.boards.push_back(std::move(entry));
        }
        read.waveEnds = waveEnds(read.waves, read.boards.size());
        if (const Json& halted = json.at("halted"); !halted.is_null()) {
            read.haltedWave = halted.at("wave");
            read.haltReason = halted.at("reason");
        }
        *state = std::move(read);
        return true;
    } catch (const Json::exception&) {
        return false;
    }
}

bool writeDurably(const std::string& path, const std::string& text, std::string* error) {
    const std::string fresh = path + ".new";
    unlink(fresh.c_str());
    int fd = open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    bool ok = fd >= 0;
    for (std::size_t done = 0; ok && done < text.size();) {
        ssize_t put = write(fd, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR) continue;
        ok = put > 0;
        if (ok) done += static_cast<std::size_t>(put);
    }
    ok = ok && fsync(fd) == 0;
    if (fd >= 0 && close(fd) != 0) ok = false;
    ok = ok && rename(fresh.c_str(), path.c_str()) == 0;
    if (!ok) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        unlink(fresh.c_str());
        return false;
    }
    std::string folder = std::filesystem::path(path).parent_path().string();
    int dir = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}

}  // namespace rollout
