#include "btlink/module_commands.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "btlink/module_link.h"
#include "tests/support/logged.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes copyOf(std::span<const std::uint8_t> span) { return Bytes(span.begin(), span.end()); }
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes zeros(std::size_t n) { return Bytes(n, 0); }

const Bytes kGet01a5Message = Bytes{0x00, 0x00, 0x30, 0x00, 0xA5, 0x0F, 0x03, 0x70,
                                    0x00, 0x00, 0xA5, 0x01, 0x28, 0x00, 0x07, 0x00} +
                              zeros(80);
const Bytes kSet0191Message =
    Bytes{0x02, 0x00, 0x30, 0x00, 0xA5, 0x0F, 0x03, 0x70, 0x00, 0x00, 0x91, 0x01,
          0x0A, 0x00, 0x00, 0x00, 0x02, 0x10, 0x2E, 0x00, 0xFA, 0x00, 0x14, 0x00,
          0x04, 0x00, 0x00, 0x00, 0x04, 0x00, 0x1E, 0x00, 0x64, 0x00, 0x0A, 0x00} +
    zeros(60);

Bytes framed(const BccmdMessage& message, std::int32_t transport) {
    ModulePacket packet;
    EXPECT_EQ(frameBccmdRequest(message, transport, &packet), BCCMD_FRAMED);
    return copyOf(packet.view());
}

TEST(ModuleCommands, GetRequestOnEitherTransport) {
    BccmdMessage get = buildGetPsKeyMessage(0x01A5, kGetRequestStores);
    EXPECT_EQ(Bytes(get.begin(), get.end()), kGet01a5Message);
    const Bytes carrier = Bytes{0x01, 0x00, 0xFC, 0x61, 0xC2} + kGet01a5Message;
    ASSERT_EQ(carrier.size(), 101u);
    EXPECT_EQ(framed(get, TL_HCI_AT_START), carrier);
    EXPECT_EQ(framed(get, TL_HCI), carrier);
    EXPECT_EQ(framed(get, TL_BCSP), kGet01a5Message);
}

TEST(ModuleCommands, SetRequestCarriesItsWordsLowByteFirst) {
    const std::uint8_t value[] = {0x02, 0x10, 0x2E, 0x00, 0xFA, 0x00, 0x14, 0x00, 0x04, 0x00,
                                  0x00, 0x00, 0x04, 0x00, 0x1E, 0x00, 0x64, 0x00, 0x0A, 0x00};
    BccmdMessage set;
    ASSERT_TRUE(buildSetPsKeyMessage(0x0191, 10, value, &set));
    EXPECT_EQ(Bytes(set.begin(), set.end()), kSet0191Message);
    EXPECT_EQ(framed(set, TL_HCI_AT_START),
              (Bytes{0x01, 0x00, 0xFC, 0x61, 0xC2} + kSet0191Message));

    // No words: length 0, an all-zero value; forty words fill the message.
    ASSERT_TRUE(buildSetPsKeyMessage(0x01A5, 0, nullptr, &set));
    const Bytes noWords = Bytes{0x02, 0x00, 0x30, 0x00, 0xA5, 0x0F, 0x03, 0x70,
                                0x00, 0x00, 0xA5, 0x01, 0x00, 0x00, 0x00, 0x00} +
                          zeros(80);
    EXPECT_EQ(Bytes(set.begin(), set.end()), noWords);
    Bytes forty(80);
    for (std::size_t i = 0; i < forty.size(); ++i) forty[i] = static_cast<std::uint8_t>(i + 1);
    ASSERT_TRUE(buildSetPsKeyMessage(0x0100, 40, forty.data(), &set));
    EXPECT_EQ(set[12], 40);
    EXPECT_EQ(Bytes(set.begin() + 16, set.end()), forty);
    BccmdMessage untouched{};
    EXPECT_FALSE(buildSetPsKeyMessage(0x0100, 41, Bytes(82, 0xEE).data(), &untouched));
    EXPECT_EQ(untouched, BccmdMessage{});
}

TEST(ModuleCommands, LengthWordOutsideHeaderToMessageIsRefused) {
    BccmdMessage message = buildGetPsKeyMessage(0x0001, kGetRequestStores);
    const struct {
        std::uint8_t lengthWord;
        BccmdFraming framing;
        std::size_t hciLength;  // of the framed packet
    } cases[] = {{8, BCCMD_INVALID_LENGTH, 0},
                 {9, BCCMD_FRAMED, 4 + 1 + 18},
                 {48, BCCMD_FRAMED, 101},
                 {49, BCCMD_INVALID_LENGTH, 0},
                 {0, BCCMD_INVALID_LENGTH, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lengthWord);
        message[2] = c.lengthWord;
        ModulePacket packet;
        EXPECT_EQ(frameBccmdRequest(message, TL_HCI_AT_START, &packet), c.framing);
        if (c.framing != BCCMD_FRAMED) continue;
        EXPECT_EQ(packet.length, c.hciLength);
        EXPECT_EQ(packet.bytes[3], c.hciLength - 4);  // descriptor and message
        EXPECT_EQ(frameBccmdRequest(message, TL_BCSP, &packet), BCCMD_FRAMED);
        EXPECT_EQ(packet.length, 2u * c.lengthWord);
    }
    message[2] = 8;
    EXPECT_EQ(loggedBy([&] { EXPECT_EQ(sendBCCMDReq(message), -1); }),
              "ERR sendBCCMDReq: invalid length 16 in BCCMDReq received");
    message[2] = 48;
    ModulePacket packet;
    EXPECT_EQ(frameBccmdRequest(message, 3, &packet), BCCMD_NO_TRANSPORT);
}

}  // namespace
