// printf-style pieces of the plan's text and page, which are built from many small ones.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

// Pieces are short: a longer one is cut at 511 bytes rather than overrun.
inline __attribute__((format(printf, 1, 2))) std::string formatted(const char* pattern, ...) {
    char text[512];
    va_list values;
    va_start(values, pattern);
    std::vsnprintf(text, sizeof text, pattern, values);
    va_end(values);
    return text;
}
