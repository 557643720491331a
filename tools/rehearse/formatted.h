// printf-style pieces of the plan's text and page, which are built from many small ones.
#pragma once

#include <cstdio>
#include <string>

// Pieces are short: a longer one is cut at 511 bytes rather than overrun.
inline std::string formatted(const char* pattern, auto... values) {
    char text[512];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}
