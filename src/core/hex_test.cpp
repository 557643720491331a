#include "core/hex.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Every byte and a few words go out as lower-case digits, high first, and come back from them
// in either case; what isn't a digit is told apart.
TEST(Hex, BytesAndWordsComeBackFromTheirDigits) {
    for (unsigned value = 0; value <= 0xFF; ++value) {
        char text[2] = {};
        writeHexByte(text, static_cast<std::uint8_t>(value));
        SCOPED_TRACE(std::string(text, 2));
        EXPECT_EQ(static_cast<unsigned>(hexDigitValue(text[0]) * 16 + hexDigitValue(text[1])),
                  value);
        EXPECT_TRUE((text[0] < 'A' || text[0] > 'F') && (text[1] < 'A' || text[1] > 'F'));
    }
    struct Case {
        std::uint16_t word;
        const char* text;
    };
    for (const Case& c : {Case{0x0000, "0000"}, Case{0x00FF, "00ff"}, Case{0x1234, "1234"},
                          Case{0xABCD, "abcd"}, Case{0xFFFF, "ffff"}}) {
        char text[5] = {};
        writeHexWord(text, c.word);
        EXPECT_STREQ(text, c.text);
    }
    struct Digit {
        char c;
        int value;
    };
    for (const Digit& d : {Digit{'0', 0}, Digit{'9', 9}, Digit{'a', 10}, Digit{'F', 15},
                           Digit{'f', 15}, Digit{'g', -1}, Digit{'G', -1}, Digit{'/', -1},
                           Digit{':', -1}, Digit{'@', -1}, Digit{'`', -1}, Digit{' ', -1}}) {
        EXPECT_EQ(hexDigitValue(d.c), d.value) << d.c;
    }
}

}  // namespace
