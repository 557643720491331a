// Numbers read from the tools' inputs: the whole text is the number, or it is no number.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

std::optional<double> decimalNumber(std::string_view text);
// base 10 or 16 ("0x" allowed before hex digits).
std::optional<std::uint64_t> unsignedNumber(std::string_view text, int base = 10);

// An input line that isn't what it should be: "PATH:LINE: what".
struct BadInputLine {
    std::string path;
    std::size_t line = 0;
    std::string what;

    std::string message() const;
};

// The number, or BadInputLine thrown naming where it stood.
double decimalAt(std::string_view text, const std::string& path, std::size_t line);
std::uint64_t unsignedAt(std::string_view text, const std::string& path, std::size_t line,
                         int base = 10);
