// Numbers from the tools' inputs are the whole text or nothing: a trailing unit, a sign where
// none may stand, an empty field are no numbers, where atof or strtoul took what they could.
#include "tools/common/numbers.h"

#include <gtest/gtest.h>

#include "tools/common/formatted.h"

namespace {

TEST(ToolNumbers, TakeTheWholeTextOrNothing) {
    EXPECT_EQ(decimalNumber("12.5"), 12.5);
    EXPECT_EQ(unsignedNumber("0x20000", 16), 0x20000u);
    EXPECT_EQ(unsignedNumber("20000", 16), 0x20000u);
    EXPECT_EQ(unsignedNumber("-1").has_value(), false);
    for (const char* text : {"", "12s", " 1", "0x", "1e999", "nan"}) {
        EXPECT_EQ(decimalNumber(text).has_value(), false) << text;
        EXPECT_EQ(unsignedNumber(text).has_value(), false) << text;
    }
    try {
        unsignedAt("ZZ", "flash.log", 7, 16);
        ADD_FAILURE() << "ZZ taken as a number";
    } catch (const BadInputLine& bad) {
        EXPECT_EQ(bad.message(), "flash.log:7: not a hex number: ZZ");
    }
}

TEST(ToolFormatted, KeepsTextsLongerThanAnyBuffer) {
    const std::string name(5000, 'n');
    EXPECT_EQ(formatted("<%s> %u", name.c_str(), 7u), "<" + name + "> 7");
}

}  // namespace
