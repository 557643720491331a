// printf-style text for the tools' reports, listings and pages, checked by the compiler.
#pragma once

#include <string>

// The whole text, however long: it is measured before it is written, so nothing is cut.
std::string formatted(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
