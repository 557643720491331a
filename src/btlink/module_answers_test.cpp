#include "btlink/module_answers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "btlink/module_commands.h"
#include "tests/support/logged.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A BCCMD answer message: a get response for keyId claiming lengthWords value words, words in
// the value field.
Bytes answerMessage(std::uint16_t status, std::uint16_t keyId, std::uint16_t lengthWords,
                    const std::vector<std::uint16_t>& words) {
    Bytes message(96, 0);
    auto put = [&](std::size_t at, std::uint16_t value) {
        message[at] = static_cast<std::uint8_t>(value & 0xFF);
        message[at + 1] = static_cast<std::uint8_t>(value >> 8);
    };
    put(0, 0x0001);
    put(2, 0x0030);
    put(4, 0x0FA5);
    put(6, 0x7003);
    put(8, status);
    put(10, keyId);
    put(12, lengthWords);
    put(14, 0x0007);
    for (std::size_t i = 0; i < words.size() && 16 + 2 * i < 96; ++i) put(16 + 2 * i, words[i]);
    return message;
}

// The message as the HCI device delivers it: a vendor-specific event behind the descriptor.
Bytes vendorEvent(const Bytes& message) {
    Bytes event(4 + message.size());
    event[0] = 0x04;
    event[1] = 0xFF;
    event[2] = static_cast<std::uint8_t>(message.size() + 1);
    event[3] = 0xC2;
    std::copy(message.begin(), message.end(), event.begin() + 4);
    return event;
}

class ModuleAnswers : public testing::Test {
protected:
    void TearDown() override { resetAnswerCounts(); }
};

// Which answers are taken and what goes into the dump, the answers' fuzz harness checks; here:
// an answer that isn't taken, or a refusal, is logged once for its kind, not once per answer.
TEST_F(ModuleAnswers, EachKindOfUnwantedAnswerIsLoggedOnce) {
    Bytes otherType = answerMessage(0, 0x01a5, 1, {1});
    otherType[0] = 0x02;
    Bytes otherVarid = answerMessage(0, 0x01a5, 1, {1});
    otherVarid[7] = 0x50;
    Bytes notBccmd = vendorEvent(answerMessage(0, 0x01a5, 1, {1}));
    notBccmd[3] = 0x43;
    const struct {
        const char* name;
        AwaitedKind awaited;
        Bytes event;
        const char* by;  // the operation named in the log line
    } cases[] = {
        {"another key", AwaitedKind::PsKeyGet, vendorEvent(answerMessage(0, 0x01a6, 1, {1})),
         "pskeyReqRsp"},
        {"another type", AwaitedKind::PsKeyGet, vendorEvent(otherType), "pskeyReqRsp"},
        {"another varid", AwaitedKind::PsKeyGet, vendorEvent(otherVarid), "pskeyReqRsp"},
        {"not a BCCMD answer", AwaitedKind::PsKeyGet, notBccmd, "readBtModule"},
        {"no request waits", AwaitedKind::Nothing, vendorEvent(answerMessage(0, 0x01a5, 1, {1})),
         "pskeyReqRsp"},
        {"refused set", AwaitedKind::PsKeySet, vendorEvent(answerMessage(3, 0x01a5, 1, {1})),
         "pskeyReqRsp"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (int i = 0; i < 2; ++i) {
            awaitedAnswer = {c.awaited, 0x01a5};
            std::string log = loggedBy([&] { handleHciEvent(c.event); });
            EXPECT_EQ(log.empty(), i == 1) << log;
            if (i == 0) {
                EXPECT_TRUE(log.starts_with(std::string("ERR ") + c.by + ": ")) << log;
            }
        }
    }
    EXPECT_EQ(refusedAnswers(), 2);
}

// Whatever status a module answers a get with, the key isn't held: no refusal, nothing in the
// dump, and at the walk's end one line per status with its count.
TEST_F(ModuleAnswers, AnyStatusToAGetIsAKeyNotHeldCountedByStatus) {
    for (std::uint16_t status : std::vector<std::uint16_t>{3, 8, 1, 8}) {
        awaitedAnswer = {AwaitedKind::PsKeyGet, 0x01a5};
        std::string log = loggedBy([&] {
            EXPECT_EQ(handleHciEvent(vendorEvent(answerMessage(status, 0x01a5, 1, {1}))),
                      MODULE_ANSWERED);
        });
        EXPECT_EQ(log, "");
    }
    EXPECT_EQ(refusedAnswers(), 0);
    EXPECT_EQ(dumpedKeys(), 0);
    EXPECT_EQ(loggedBy(logUnheldStatuses),
              "LOG readAllPSKeys: 1 PS-Key ids answered with status 0x0003: not held\n"
              "LOG readAllPSKeys: 2 PS-Key ids answered with status 0x0008: not held\n"
              "LOG readAllPSKeys: 1 PS-Key ids answered with status 0x0001: not held\n");
}

}  // namespace
