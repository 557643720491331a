// The rollout's state: one JSON document ("btlap-rollout", format version 1) that lists every
// board with its wave and, once it has run, what it did against its plan. The same document is
// the field's status (rollout.schema.json); every change is written to a new file, synced and
// renamed over the old, so a Ctrl-C or a crash leaves the last whole state to resume from.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "tools/rollout/waves.h"

namespace rollout {

// What became of a board, as the status shows it.
inline constexpr const char* kNotYet = "not yet";
inline constexpr const char* kUpdated = "updated";        // OK, as planned
inline constexpr const char* kAsPlanned = "as planned";   // ended as planned, not OK
inline constexpr const char* kUnexpected = "unexpected";  // ended unlike its plan
inline constexpr const char* kUnreachable = "unreachable";
inline constexpr const char* kNoAnswer = "no answer";       // its daemon didn't answer
inline constexpr const char* kAlready = "already updated";  // skipped
// Its update began and no result came back: the rollout was stopped during it. A resume
// does not update it again; the operator looks at the board.
inline constexpr const char* kUnderWay = "under way";

struct BoardEntry {
    std::string name, host, folder;
    std::size_t wave = 0;  // from 1; 0 beyond the last wave (waves short of 100%)
    std::string status = kNotYet;
    std::string planned;  // the plan's outcome
    std::string outcome;  // the final notice: "OK", "NOK", or "" when none came
    std::vector<std::string> differences;
};

struct RolloutState {
    std::string imageName, imageSha256, planPath;
    std::vector<Share> waves;
    std::vector<std::size_t> waveEnds;
    Share maxUnexpected{0, false};
    std::optional<Share> maxNok;  // none: any count
    std::vector<BoardEntry> boards;
    // The surprises and NOK boards there were when the rollout was last resumed: the halting
    // rule counts those after it, the operator having looked at the others.
    std::size_t forgivenUnexpected = 0, forgivenNok = 0;
    std::optional<std::size_t> haltedWave;
    std::string haltReason;
};

// Counts that the status and the halting rule share.
struct Tally {
    std::size_t updated = 0, asPlanned = 0, unexpected = 0, unreachable = 0, noAnswer = 0,
                already = 0, notYet = 0, underWay = 0, nok = 0;
    // unexpected, unreachable and no answer: all count toward the halt.
    std::size_t surprises() const { return unexpected + unreachable + noAnswer; }
};

Tally tally(const RolloutState& state, std::size_t wave = 0);  // wave 0: all

// The halt's reason once the boards that went wrong exceed a limit, among the boards of the
// waves up to wave; empty when the rollout may go on.
std::string haltReason(const RolloutState& state, std::size_t wave);

// The first wave that has a board not yet run; nothing when all waves are done.
std::optional<std::size_t> nextWave(const RolloutState& state);

std::string stateJson(const RolloutState& state);
// False, with a message in error, when text is not a rollout's state.
bool readState(const std::string& text, RolloutState* state, std::string* error);

// The whole verdict: "updated", "as planned", "unexpected", "unreachable" or "not yet"; and
// the exit status that goes with it (0 done as planned, 1 halted or a board went wrong, 3 not
// all boards have run).
std::string verdictOf(const RolloutState& state);
int exitStatusOf(const RolloutState& state);

// Writes text to path durably: a new file beside it, synced, renamed over it, the folder synced.
bool writeDurably(const std::string& path, const std::string& text, std::string* error);

}  // namespace rollout
