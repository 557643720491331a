#include "tools/rollout/waves.h"

#include "tools/common/numbers.h"

namespace rollout {

std::optional<Share> parseShare(std::string_view text) {
    Share share;
    if (text.ends_with('%')) {
        share.percent = true;
        text.remove_suffix(1);
    }
    std::optional<std::uint64_t> value = unsignedNumber(text);
    if (!value || (share.percent && *value > 100)) return std::nullopt;
    share.value = *value;
    return share;
}

std::string shareText(const Share& share) {
    return std::to_string(share.value) + (share.percent ? "%" : "");
}

std::optional<std::vector<Share>> parseWaves(std::string_view text) {
    std::vector<Share> waves;
    for (;;) {
        std::size_t comma = text.find(',');
        std::optional<Share> wave = parseShare(text.substr(0, comma));
        if (!wave || wave->value == 0) return std::nullopt;
        if (!waves.empty() && waves.back().percent == wave->percent &&
            wave->value <= waves.back().value)
            return std::nullopt;
        waves.push_back(*wave);
        if (comma == std::string_view::npos) return waves;
        text.remove_prefix(comma + 1);
    }
}

namespace {

// Each wave kept with where it ends.
std::vector<std::pair<Share, std::size_t>> keptEnds(const std::vector<Share>& waves,
                                                    std::size_t total) {
    std::vector<std::pair<Share, std::size_t>> kept;
    for (const Share& wave : waves) {
        std::uint64_t end = wave.percent ? (wave.value * total + 99) / 100 : wave.value;
        if (end > total) end = total;
        if (end == 0 || (!kept.empty() && end <= kept.back().second)) continue;
        kept.emplace_back(wave, static_cast<std::size_t>(end));
    }
    return kept;
}

}  // namespace

std::vector<std::size_t> waveEnds(const std::vector<Share>& waves, std::size_t total) {
    std::vector<std::size_t> ends;
    for (const auto& [wave, end] : keptEnds(waves, total)) ends.push_back(end);
    return ends;
}

std::vector<Share> keptWaves(const std::vector<Share>& waves, std::size_t total) {
    std::vector<Share> shares;
    for (const auto& [wave, end] : keptEnds(waves, total)) shares.push_back(wave);
    return shares;
}

bool exceeds(const Share& limit, std::size_t count, std::size_t reached) {
    if (!limit.percent) return count > limit.value;
    return std::uint64_t{count} * 100 > limit.value * std::uint64_t{reached};
}

}  // namespace rollout
