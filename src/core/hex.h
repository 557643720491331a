// Hexadecimal digits as the daemon's files and messages carry them: read in either case,
// written in lower case, high digit first, without a terminating zero.
#pragma once

#include <cstdint>

// The value of one digit, or -1 for a character that is none.
constexpr int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Two digits at text.
constexpr void writeHexByte(char* text, std::uint8_t value) {
    constexpr char kDigits[] = "0123456789abcdef";
    text[0] = kDigits[value >> 4];
    text[1] = kDigits[value & 0x0F];
}

// Four digits at text, the high byte's first.
constexpr void writeHexWord(char* text, std::uint16_t value) {
    writeHexByte(text, static_cast<std::uint8_t>(value >> 8));
    writeHexByte(text + 2, static_cast<std::uint8_t>(value & 0xFF));
}
