// The order boards are listed in, everywhere a plan lists them: their names' natural order,
// the numbers in a name by their value ("lap-3" before "lap-20" before "lap-100"), as a reader
// counts them, not character by character as a folder listing sorts them.
#pragma once

#include <string_view>

// Whether board a comes before board b. Digits run together count as one number; every other
// byte counts as itself. Names equal but for the zeros that lead their numbers ("lap-03",
// "lap-3") come in byte order, so no two different names tie and the order is the same on
// every run.
bool boardNameBefore(std::string_view a, std::string_view b);
