#include "btlink/pskey_walks.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "btlink/module_link.h"
#include "tests/support/board.h"
#include "tests/support/logged.h"

namespace {

constexpr const char* kWalkFile = "/tmp/walk.psr";

// Without a module link every request is logged as not sent; the walks go on all the same.
const std::string kGetNotSent =
    "ERR writeBtmodule: BT_module_write_error no TL interface open, 101 bytes not sent \n";
const std::string kSetNotSent = kGetNotSent;
std::string refused(int line, const char* what) {
    return "ERR writeAllPSKeys: PS-Key file /tmp/walk.psr line " + std::to_string(line) +
           " refused: " + what + "\n";
}

struct Key {
    std::uint16_t id;
    std::vector<std::uint16_t> words;
    bool operator==(const Key&) const = default;
};
void PrintTo(const Key& key, std::ostream* out) {
    *out << std::hex << key.id << testing::PrintToString(key.words);
}
std::optional<Key> keyOf(const std::optional<PsKey>& key) {
    if (!key) return std::nullopt;
    return Key{key->id,
               std::vector<std::uint16_t>(key->words.begin(), key->words.begin() + key->wordCount)};
}

class PsKeyWalks : public testing::Test {
protected:
    void TearDown() override { resetPsKeyWalks(); }
};

TEST_F(PsKeyWalks, PresetListsPerTransport) {
    const std::vector<std::uint16_t> hciTiming{0x1002, 0x002e, 0x00fa, 0x0014, 0x0004,
                                               0x0000, 0x0004, 0x001e, 0x0064, 0x000a};
    std::vector<std::uint16_t> bcspTiming = hciTiming;
    bcspTiming[1] = 0x00a8;
    const struct {
        std::int32_t transport;
        std::vector<Key> keys;
    } cases[] = {
        {TL_HCI_AT_START,
         {{0x01a5, {1}}, {0x01a5, {0}}, {0x01a6, {0}}, {0x01f9, {1}}, {0x0191, hciTiming}}},
        {TL_HCI, {{0x01a5, {1}}, {0x01a5, {0}}, {0x01a6, {0}}, {0x01f9, {1}}, {0x0191, hciTiming}}},
        {TL_BCSP,
         {{0x01a5, {0}}, {0x01a5, {1}}, {0x01a6, {1}}, {0x01f9, {3}}, {0x0191, bcspTiming}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.transport);
        for (int walk = 0; walk < 2; ++walk) {
            for (const Key& key : c.keys) EXPECT_EQ(keyOf(nextPresetRequest(c.transport)), key);
            EXPECT_EQ(keyOf(nextPresetRequest(c.transport)), std::nullopt);
        }
    }
    for (const auto* list : {&presetKeysHci, &presetKeysBcsp}) {
        for (std::string_view line : *list) {
            if (line.empty()) continue;
            PsKey key;
            EXPECT_EQ(readPsKeyLine(line, PsKeyLineKind::Preset, &key), PsKeyLineError::None);
        }
    }
}

// Keys, blank lines, what the comment removal leaves, and lines that depart from the format.
std::string walkFile() {
    std::string tooLong = "&0200 =";
    for (int i = 0; i < 300; ++i) tooLong += " 0001";
    std::string fortyOne = "&0100 =";
    for (int i = 0; i < 41; ++i) fortyOne += " 0001";
    return "&01a5 = 0001\r\n"       // 1
           "\r\n"                   // 2
           "   \r\n"                // 3
           "&01a6 = 00g0\r\n"       // 4 refused
           "&0191 = 1002 002E\r\n"  // 5
           + fortyOne + "\r\n"      // 6 refused
           + "&01f9 =\r\n"          // 7
           + tooLong + "\r\n"       // 8 refused, longer than one read
           + "&01a7 = 0001";        // 9 refused, no line end
}

TEST_F(PsKeyWalks, FileWalkSendsOneKeyPerCallAndReportsItsEnd) {
    writeWholeFile(kWalkFile, walkFile());
    const struct {
        PsKeyWalkResult result;
        std::int32_t keysSent;
        std::string log;
    } calls[] = {
        {WALK_REQUEST_SENT, 1, kSetNotSent},
        {WALK_REQUEST_SENT, 2, refused(4, "a value word isn't four hex digits") + kSetNotSent},
        {WALK_REQUEST_SENT, 3, refused(6, "more than 40 value words") + kSetNotSent},
        {WALK_LIST_END, 0,
         refused(8, "more than 40 value words") + refused(9, "the line has no line end")},
    };
    for (const auto& call : calls) {
        PsKeyWalkResult result = WALK_FILE_NOT_OPENED;
        EXPECT_EQ(loggedBy([&] { result = writeAllPSKeys(kWalkFile); }), call.log);
        EXPECT_EQ(result, call.result);
    }
    // The step asks after the walk's end.
    EXPECT_EQ(refusedPsKeyLines(), 4);
    resetPsKeyWalks();
    EXPECT_EQ(refusedPsKeyLines(), 0);
}

TEST_F(PsKeyWalks, FileThatCantBeOpenedReportsNoEnd) {
    EXPECT_EQ(loggedBy([] { EXPECT_EQ(writeAllPSKeys("/tmp/none.psr"), WALK_FILE_NOT_OPENED); }),
              "ERR openFileStream: open error file /tmp/none.psr: 0x02 No such file or directory");
    writeWholeFile(kWalkFile, "\r\n// nothing\r\n");
    EXPECT_EQ(writeAllPSKeys(kWalkFile), WALK_LIST_END);  // no key line: the end at once
}

}  // namespace
