// The rollout's waves and its halting limits: how many boards each wave reaches, and when the
// boards that went wrong are too many for another board to start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rollout {

// A count of boards ("25") or a share of them ("5%").
struct Share {
    std::uint64_t value = 0;
    bool percent = false;
};

std::optional<Share> parseShare(std::string_view text);
std::string shareText(const Share& share);

// "1,5%,25%,100%": each wave takes the rollout up to that many boards of the whole list.
// Nothing when a wave is no share, is empty, is 0 or above 100%, or reaches no further than the
// wave before it.
std::optional<std::vector<Share>> parseWaves(std::string_view text);

// Where each wave ends in the list of total boards (cumulative, rounded up, at least one board,
// never beyond total). A wave that reaches no further than the one before it (a small fleet's
// 1 and 5%) is dropped, so that no wave is empty.
std::vector<std::size_t> waveEnds(const std::vector<Share>& waves, std::size_t total);

// The waves that waveEnds keeps, for their names.
std::vector<Share> keptWaves(const std::vector<Share>& waves, std::size_t total);

// True when count boards is more than limit allows among the reached boards.
bool exceeds(const Share& limit, std::size_t count, std::size_t reached);

}  // namespace rollout
