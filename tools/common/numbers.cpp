#include "tools/common/numbers.h"

#include <charconv>
#include <cmath>

std::optional<double> decimalNumber(std::string_view text) {
    double value = 0;
    auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || failure != std::errc() || end != text.data() + text.size() ||
        !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<std::uint64_t> unsignedNumber(std::string_view text, int base) {
    if (base == 16 && (text.starts_with("0x") || text.starts_with("0X"))) text.remove_prefix(2);
    std::uint64_t value = 0;
    auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || failure != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::string BadInputLine::message() const {
    return path + ":" + std::to_string(line) + ": " + what;
}

double decimalAt(std::string_view text, const std::string& path, std::size_t line) {
    if (std::optional<double> value = decimalNumber(text)) return *value;
    throw BadInputLine{path, line, "not a number: " + std::string(text)};
}

std::uint64_t unsignedAt(std::string_view text, const std::string& path, std::size_t line,
                         int base) {
    if (std::optional<std::uint64_t> value = unsignedNumber(text, base)) return *value;
    throw BadInputLine{
        path, line,
        std::string(base == 16 ? "not a hex number: " : "not a number: ") + std::string(text)};
}
