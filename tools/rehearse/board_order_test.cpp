// Boards listed as a reader counts them: the numbers in their names by value, and every two
// different names in one order, whatever order they came in.
#include "tools/rehearse/board_order.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

namespace {

struct OrderCase {
    const char* name;
    const char* first;
    const char* second;
    const char* why;
};

void PrintTo(const OrderCase& c, std::ostream* out) { *out << c.first << " before " << c.second; }

// Each pair in the order they come: first before second, never the other way.
const OrderCase kOrderCases[] = {
    {"ByValue", "lap-03", "lap-103", "by value, not by the digits' characters"},
    {"MoreDigits", "lap-103", "lap-1003", "more digits, a larger number"},
    {"NineBeforeTen", "lap-9", "lap-10", "a number's digits are counted whole"},
    {"LeadingZero", "lap-7", "lap-08", "a leading zero adds nothing to a number"},
    {"EqualByNumber", "lap-007", "lap-7", "equal by number: the bytes decide, the zeros first"},
    {"ZeroAndZero", "lap-0", "lap-00", "zero and zero: the bytes decide"},
    {"EqualByEveryNumber", "x01y2", "x1y02",
     "equal by every number: the first difference of bytes decides"},
    {"LaterNumber", "a2b9", "a2b10", "the numbers after the first tie counted too"},
    {"NumberBeforeLetters", "a2b", "a10b", "letters after the numbers do not decide before them"},
    {"DigitAmongLetters", "a1", "ab", "a number sorts where its first digit would among letters"},
    {"DigitAfterDash", "a-", "a1", "and after the bytes below the digits"},
    {"DigitBeforeColon", "a9", "a:", "and before the bytes above them"},
    {"Prefix", "lap", "lap-1", "a name before its longer ones"},
    {"NumberThatEnds", "lap1", "lap1a", "a number that ends the name before one that goes on"},
    {"WiderThan64Bits", "n99999999999999999999", "n100000000000000000000",
     "numbers wider than 64 bits"},
    {"Capitals", "B", "a", "capitals as their bytes, before the small letters"},
    {"EmptyFirst", "", "0", "the empty name first"},
};

std::string caseName(const testing::TestParamInfo<OrderCase>& row) { return row.param.name; }

class BoardOrder : public testing::TestWithParam<OrderCase> {};

TEST_P(BoardOrder, PutsTheFirstBeforeTheSecond) {
    const OrderCase& c = GetParam();
    EXPECT_TRUE(boardNameBefore(c.first, c.second)) << c.why;
    EXPECT_FALSE(boardNameBefore(c.second, c.first)) << c.why;
    EXPECT_FALSE(boardNameBefore(c.first, c.first));
}

INSTANTIATE_TEST_SUITE_P(Pairs, BoardOrder, testing::ValuesIn(kOrderCases), caseName);

// A fleet's names as a folder listing gives them: sorted into one order, the same from any
// start, each name before every later one (a total order, as a sort needs).
TEST(BoardOrderList, SortsAFleetAsAReaderCountsIt) {
    const std::vector<std::string> expected = {"lap",     "lap-2",  "lap-2a",    "lap-03",
                                               "lap-3",   "lap-20", "lap-103",   "lap-1003",
                                               "lap-b01", "lap-b1", "lap-b001c", "lap-b1c"};
    for (std::size_t i = 0; i < expected.size(); ++i)
        for (std::size_t j = 0; j < expected.size(); ++j)
            EXPECT_EQ(boardNameBefore(expected[i], expected[j]), i < j)
                << expected[i] << " and " << expected[j];
    std::vector<std::string> listed = expected;
    std::sort(listed.begin(), listed.end());
    std::stable_sort(listed.begin(), listed.end(), boardNameBefore);
    EXPECT_EQ(listed, expected);
    std::reverse(listed.begin(), listed.end());
    std::stable_sort(listed.begin(), listed.end(), boardNameBefore);
    EXPECT_EQ(listed, expected);
}

}  // namespace
