#include "btlink/pskey_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/board.h"
#include "tests/support/logged.h"

namespace {

constexpr const char* kPrepared = "/tmp/prepared.psr";
constexpr const char* kDump = "/tmp/dump.psr";

// The file's content, or nothing when it doesn't exist.
std::optional<std::string> contentOf(const char* path) {
    if (!fileExists(path)) return std::nullopt;
    return readWholeFile(path);
}

TEST(PreparePSKeyFile, DropsCommentLinesAndCutsTrailingCommentsBeforeTheLineEnd) {
    writeWholeFile("/tmp/orig.psr",
                   "// module settings\r\n"
                   "&01a5 = 0001//boot mode\r\n"
                   "&01a6 = 0000 // with a blank before\r\n"
                   "\r\n"
                   "   // indented comment\r\n"
                   "&01f9 = 0003 //LF only\n"
                   "&0191 = 1002\r\n"
                   "&0192 = 0001 // last line without its end");
    writeWholeFile(kPrepared, "&0001 = 0000\r\n");  // the preparation appends
    EXPECT_EQ(preparePSKeyFile("/tmp/orig.psr", kPrepared), 1);
    EXPECT_EQ(readWholeFile(kPrepared),
              "&0001 = 0000\r\n"
              "&01a5 = 0001\r\n"
              "&01a6 = 0000 \r\n"
              "\r\n"
              "   \r\n"
              "&01f9 = 0003 \n"
              "&0191 = 1002\r\n"
              "&0192 = 0001 ");
}

// Beside the differing values and the rewinding of the dump after a missing key, which the
// PS-Key steps' system test asserts byte for byte.
TEST(ComparePSKeyFiles, ReportsAndCollectsTheKeysToSet) {
    const std::string a1 = "&0001 = 1111\r\n", a2 = "&0002 = 2222\r\n", k100 = "&0100 = 3333\r\n",
                      k200 = "&0200 = 4444\r\n", k300 = "&0300 = 5555\r\n";
    const struct {
        const char* name;
        std::string prepared, dump;
        std::optional<std::string> report, toSet;  // nothing: the file isn't created
    } cases[] = {
        {"line end differs", "&01a5 = 0001\n", "&01a5 = 0001\r\n",
         ">>&01a5 = 0001\n<<&01a5 = 0001\r\n", "&01a5 = 0001\n"},
        // The module writes lower case: an upper-case line is always set.
        {"upper case", "&01A5 = 00FF\r\n", "&01a5 = 00ff\r\n",
         ">>&01A5 = 00FF\r\n<<&01a5 = 00ff\r\n", "&01A5 = 00FF\r\n"},
        {"smaller module keys passed", k100, a1 + a2 + k100, "<<" + a1 + "<<" + a2, std::nullopt},
        {"module keys left at the end", a1, a1 + a2 + k100, "<<" + a2 + "<<" + k100, std::nullopt},
        {"keys above every module key", k100 + k200 + k300, a1,
         "<<" + a1 + ">>" + k100 + ">>" + k200 + ">>" + k300, k100 + k200 + k300},
        {"empty dump", k100, "", ">>" + k100, k100},
        // Blank lines and what the comment removal leaves have no key.
        {"lines without a key", "\r\n" + k100 + "   \r\n" + "=0200\r\n", "\r\n" + k100,
         std::nullopt, std::nullopt},
        // Its writing will refuse it.
        {"key that isn't hex", "&zz01 = 0001\r\n" + k100, k100, ">>&zz01 = 0001\r\n",
         "&zz01 = 0001\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        unlink(kPsKeyReportPath);
        unlink(kPsKeyToSetPath);
        writeWholeFile(kPrepared, c.prepared);
        writeWholeFile(kDump, c.dump);
        EXPECT_EQ(comparePSKeyFiles(kPrepared, kDump), 1);
        EXPECT_EQ(contentOf(kPsKeyReportPath), c.report);
        EXPECT_EQ(contentOf(kPsKeyToSetPath), c.toSet);
    }
}

TEST(FindPSKey, DecodesWordsLowByteFirstUpToTheFirstBadWordWithinItsBuffers) {
    // The version check's buffers: 63 characters of text and sixteen words.
    constexpr std::size_t kTextSize = 64, kBytesSize = 32;
    std::string words;
    std::vector<int> sixteen;
    for (int i = 0; i < 20; ++i) words += " 0" + std::to_string(i % 10) + "12";
    for (int i = 0; i < 16; ++i) sixteen.insert(sixteen.end(), {0x12, i % 10});
    sixteen.push_back(0xAA);
    const struct {
        std::string content, text;  // text "#": not found, nothing written
        std::vector<int> bytes;     // then the first byte left alone
    } cases[] = {
        {"// &02a5 = 1111\r\n&02a5 = 3132 a0Fb 3x34\r\n&02a5 = 9999\r\n",
         "3132 a0Fb 3x34\r\n",
         {0x32, 0x31, 0xfb, 0xa0, 0xAA}},
        // Any character separates two words.
        {"&02a5 = 3132\t3334\r\n", "3132\t3334\r\n", {0x32, 0x31, 0x34, 0x33, 0xAA}},
        {"&02a5 = 3132\r\n3334", "3132\r\n", {0x32, 0x31, 0xAA}},
        {"&02a5 = 313", "313", {0xAA}},
        {"&02a4 = 1111\r\n", "#", {0xAA}},
        {"&02a5 =" + words + "\r\n", words.substr(1, 63), sixteen},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        std::array<char, kTextSize + 8> text;  // room behind shows writes past the end
        std::array<std::uint8_t, kBytesSize + 8> bytes;
        text.fill('#');
        bytes.fill(0xAA);
        writeWholeFile("/tmp/keys.psr", c.content);
        EXPECT_EQ(findPSKeyInFile("/tmp/keys.psr", "&02a5 = ", std::span(text.data(), kTextSize),
                                  std::span(bytes.data(), kBytesSize)),
                  c.text == "#" ? 0 : 1);
        EXPECT_EQ(std::string(text.data(), c.text.size() + 1),
                  c.text + (c.text == "#" ? '#' : '\0'));
        EXPECT_EQ(text[kTextSize], '#');
        EXPECT_EQ(std::vector<int>(bytes.begin(), bytes.begin() + c.bytes.size()), c.bytes);
    }
}

}  // namespace
