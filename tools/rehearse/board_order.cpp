#include "tools/rehearse/board_order.h"

#include <algorithm>
#include <cstddef>

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The length of the run of digits at the start of text.
std::size_t digitRun(std::string_view text) {
    std::size_t n = 0;
    while (n < text.size() && isDigit(text[n])) ++n;
    return n;
}

// <0, 0 or >0 as a comes before, ties with or comes after b, numbers by their value. No digit
// lies between two other bytes in byte order, so a number sorts among the other bytes where
// its first digit would: the order is a total one over the names' parts.
int naturalCompare(std::string_view a, std::string_view b) {
    while (!a.empty() && !b.empty()) {
        const std::size_t aDigits = digitRun(a), bDigits = digitRun(b);
        if (aDigits == 0 || bDigits == 0) {
            if (a.front() != b.front())
                return static_cast<unsigned char>(a.front()) < static_cast<unsigned char>(b.front())
                           ? -1
                           : 1;
            a.remove_prefix(1);
            b.remove_prefix(1);
            continue;
        }
        // By value, however many digits: the one with more significant digits is larger, and
        // of as many, the digits decide.
        std::string_view aNumber = a.substr(0, aDigits), bNumber = b.substr(0, bDigits);
        aNumber.remove_prefix(std::min(aNumber.find_first_not_of('0'), aNumber.size()));
        bNumber.remove_prefix(std::min(bNumber.find_first_not_of('0'), bNumber.size()));
        if (aNumber.size() != bNumber.size()) return aNumber.size() < bNumber.size() ? -1 : 1;
        if (int digits = aNumber.compare(bNumber); digits != 0) return digits;
        a.remove_prefix(aDigits);
        b.remove_prefix(bDigits);
    }
    return a.empty() == b.empty() ? 0 : (a.empty() ? -1 : 1);
}

}  // namespace

bool boardNameBefore(std::string_view a, std::string_view b) {
    const int natural = naturalCompare(a, b);
    return natural != 0 ? natural < 0 : a < b;
}
