#include "btlink/pskey_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct LineCase {
    const char* line;
    PsKeyLineKind kind;
    PsKeyLineError error;
    std::uint16_t id;
    std::vector<std::uint16_t> words;
};

TEST(PsKeyLine, ReadsTheFixedColumnsAndRefusesWhatDepartsFromThem) {
    const std::string fortyWords = [] {
        std::string line = "&0100 =";
        for (int i = 0; i < 40; ++i) line += " 00" + std::to_string(10 + i);
        return line;
    }();
    const LineCase cases[] = {
        {"&01a5 = 0001\r\n", PsKeyLineKind::FileLine, PsKeyLineError::None, 0x01a5, {0x0001}},
        {"&01A5 = 00fF\n", PsKeyLineKind::FileLine, PsKeyLineError::None, 0x01a5, {0x00ff}},
        {"&01a5 =\r\n", PsKeyLineKind::FileLine, PsKeyLineError::None, 0x01a5, {}},
        {"&0191 = 1002 002e 00fa 0014 0004 0000 0004 001e 0064 000a\r\n",
         PsKeyLineKind::FileLine,
         PsKeyLineError::None,
         0x0191,
         {0x1002, 0x002e, 0x00fa, 0x0014, 0x0004, 0x0000, 0x0004, 0x001e, 0x0064, 0x000a}},
        {"&01a5 = 0000", PsKeyLineKind::Preset, PsKeyLineError::None, 0x01a5, {0x0000}},
        {"&01f9 = 0003\nrest", PsKeyLineKind::Preset, PsKeyLineError::None, 0x01f9, {0x0003}},
        {"&01a5 = 0001", PsKeyLineKind::FileLine, PsKeyLineError::NoLineEnd, 0x01a5, {0x0001}},
        {"\r\n", PsKeyLineKind::FileLine, PsKeyLineError::NotKeyLine, 0, {}},
        {"//&01a5 = 0001\r\n", PsKeyLineKind::FileLine, PsKeyLineError::NotKeyLine, 0, {}},
        {"&01g5 = 0001\r\n", PsKeyLineKind::FileLine, PsKeyLineError::BadKeyId, 0, {}},
        {"&01a", PsKeyLineKind::FileLine, PsKeyLineError::BadKeyId, 0, {}},
        {"&01a5\r\n", PsKeyLineKind::FileLine, PsKeyLineError::NoEquals, 0x01a5, {}},
        {"&01a5 =\t0001\r\n", PsKeyLineKind::FileLine, PsKeyLineError::BadSeparator, 0x01a5, {}},
        {"&01a5 = 0001 \r\n", PsKeyLineKind::FileLine, PsKeyLineError::BadWord, 0x01a5, {0x0001}},
        {"&01a5 = 001\r\n", PsKeyLineKind::FileLine, PsKeyLineError::BadWord, 0x01a5, {}},
        {"&01a5 = 00", PsKeyLineKind::FileLine, PsKeyLineError::BadWord, 0x01a5, {}},
    };
    for (const LineCase& c : cases) {
        PsKey key;
        EXPECT_EQ(readPsKeyLine(c.line, c.kind, &key), c.error) << c.line;
        EXPECT_EQ(key.id, c.id) << c.line;
        EXPECT_EQ(std::vector<std::uint16_t>(key.words.begin(), key.words.begin() + key.wordCount),
                  c.words)
            << c.line;
    }
    PsKey key;
    EXPECT_EQ(readPsKeyLine(fortyWords + "\r\n", PsKeyLineKind::FileLine, &key),
              PsKeyLineError::None);
    EXPECT_EQ(key.wordCount, 40);
    EXPECT_EQ(key.words[39], 0x0049);
    EXPECT_EQ(readPsKeyLine(fortyWords + " 0001\r\n", PsKeyLineKind::FileLine, &key),
              PsKeyLineError::TooManyWords);
}

}  // namespace
