// The progress text at the end of the current step's line in the update report: appended once,
// then replaced in place by each newer value ("  0 percent ", " 32 percent ", ...).
//
// A line may meanwhile have received an error text (every error is appended to the report);
// the next value then follows the error instead of overwriting its end.
#pragma once

#include <cstddef>

#include "core/report_words.h"

// The percentage in the report's form (kPercentFormat, "%3d percent "): 12 characters.
inline constexpr std::size_t kPercentLength = 12;

// Appends text to the report as the line's progress.
void startProgress(const char* text);
// Puts text in place of the progress text shown last when the report still ends with it (a
// longer text also in place of the blanks before it, where there are blanks); otherwise
// appends it.
void showProgress(const char* text);
// The same with a percentage.
void startPercent(int percent);
void showPercent(int percent);
