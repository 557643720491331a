#include "tools/aipeer/peer.h"

#include <gtest/gtest.h>

#include <cstring>

#include "core/ai_message.h"

namespace {

std::vector<std::uint8_t> messageBytes(const AiMessage& message, std::size_t length) {
    std::vector<std::uint8_t> bytes(length);
    std::memcpy(bytes.data(), &message, length);
    return bytes;
}

TEST(AiPeer, DescribesEveryRecordTheDaemonSends) {
    struct Case {
        AiMessage message;
        std::size_t length;
        const char* described;
    };
    const Case cases[] = {
        {makeTextFrame(AI_NOTICE, 0, "/x0AT0x0Do", 10), 64,
         "AI_NOTICE (1026) param 0 text \"/x0AT0x0Do\" (10 bytes)"},
        {makeTextFrame(AI_REPLY, 1, "OK", 3), 64,
         "AI_REPLY (1025) param 1 text \"OK\\0\" (3 bytes)"},
        {makeTextFrame(AI_NOTICE, 2, "NOK", 3), 64,
         "AI_NOTICE (1026) param 2 text \"NOK\" (3 bytes)"},
        {AiMessage{12, 0, AI_TRIGGER, 0, {}}, 12, "AI_TRIGGER (768) param 0"},
        {AiMessage{12, 0, 99, 5, {}}, 12, "unknown type (99) param 5"},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> bytes = messageBytes(c.message, c.length);
        std::optional<PeerRecord> record = decodeRecord(bytes);
        ASSERT_TRUE(record);
        EXPECT_EQ(describeRecord(*record), c.described);
    }
}

TEST(AiPeer, NeverReadsPastTheDatagram) {
    AiMessage frame = makeTextFrame(AI_REPLY, 0, "/x0AT0x0Do", 10);
    std::vector<std::uint8_t> cut = messageBytes(frame, 16);  // text length says 10, 3 bytes came
    std::optional<PeerRecord> record = decodeRecord(cut);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->text, "/x0");
    EXPECT_FALSE(decodeRecord(std::vector<std::uint8_t>(11)));
}

}  // namespace
