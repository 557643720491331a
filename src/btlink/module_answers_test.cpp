#include "btlink/module_answers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "btlink/module_commands.h"
#include "core/daemon_life.h"
#include "tests/support/board.h"
#include "tests/support/logged.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A BCCMD answer message: a get response for keyId claiming lengthWords value words, words in
// the value field, the message cut to size bytes.
Bytes answerMessage(std::uint16_t status, std::uint16_t keyId, std::uint16_t lengthWords,
                    const std::vector<std::uint16_t>& words, std::size_t size = 96) {
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
    message.resize(size);
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

// The message as the BCCMD channel delivers it, behind the 0 byte the read puts in front.
Bytes channelRead(const Bytes& message) {
    Bytes buffer(1 + message.size(), 0x00);
    std::copy(message.begin(), message.end(), buffer.begin() + 1);
    return buffer;
}

std::string dump() { return readWholeFile(kPsKeyDumpPath); }

void awaitGet(std::uint16_t key) { awaitedAnswer = {AwaitedKind::PsKeyGet, key}; }

class ModuleAnswers : public testing::Test {
protected:
    void TearDown() override {
        resetAnswerCounts();
        traceFlags = 0;
    }
};

TEST_F(ModuleAnswers, StatusZeroAnswerLeavesOneDumpLineWhicheverThePath) {
    const struct {
        const char* name;
        Bytes message;
        std::string line;
    } cases[] = {
        {"one word", answerMessage(0, 0x01a5, 1, {0x0001}), "&01a5 = 0001\r\n"},
        {"no word", answerMessage(0, 0x01a5, 0, {}), "&01a5 =\r\n"},
        {"three words", answerMessage(0, 0x0191, 3, {0x1002, 0x00AB, 0xFFFF}),
         "&0191 = 1002 00ab ffff\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string expected;
        for (int i = 0; i < 2; ++i) {
            expected += c.line;
            awaitGet(c.message[10] | c.message[11] << 8);
            EXPECT_EQ(i == 0 ? handleHciEvent(vendorEvent(c.message))
                             : handleBccmdChannelMessage(channelRead(c.message)),
                      MODULE_ANSWERED);
            EXPECT_EQ(dump(), expected);
        }
        std::remove(kPsKeyDumpPath);
    }
}

TEST_F(ModuleAnswers, RefusedRequestIsAnAnswerWithoutADumpLine) {
    // A key the module doesn't hold is no refusal; any other status is.
    awaitGet(0x01a5);
    EXPECT_EQ(handleHciEvent(vendorEvent(answerMessage(0x0003, 0x01a5, 1, {0x0001}))),
              MODULE_ANSWERED);
    EXPECT_EQ(refusedAnswers(), 0);
    awaitGet(0x01a5);
    EXPECT_EQ(loggedBy([] {
                  EXPECT_EQ(
                      handleBccmdChannelMessage(channelRead(answerMessage(8, 0x01a5, 1, {1}))),
                      MODULE_ANSWERED);
              }),
              "ERR pskeyReqRsp: BCCMD get of PS-Key 0x01a5 refused: status 0x0008 \n");
    awaitedAnswer = {AwaitedKind::PsKeySet, 0x01a6};
    EXPECT_EQ(loggedBy([] {
                  EXPECT_EQ(
                      handleBccmdChannelMessage(channelRead(answerMessage(3, 0x01a6, 1, {1}))),
                      MODULE_ANSWERED);
              }),
              "")
        << "logged once a step";
    EXPECT_EQ(refusedAnswers(), 2);
    EXPECT_FALSE(fileExists(kPsKeyDumpPath));
}

TEST_F(ModuleAnswers, AnswersToSetRequestsStayOutOfTheDump) {
    awaitedAnswer = {AwaitedKind::PsKeySet, 0x01a5};
    EXPECT_EQ(handleHciEvent(vendorEvent(answerMessage(0, 0x01a5, 1, {0x0001}))), MODULE_ANSWERED);
    EXPECT_FALSE(fileExists(kPsKeyDumpPath));
}

// Only the answer to the request that waits is taken; anything else is logged once per kind
// and leaves the request waiting.
TEST_F(ModuleAnswers, OnlyTheAwaitedAnswerIsTaken) {
    Bytes otherType = answerMessage(0, 0x01a5, 1, {1});
    otherType[0] = 0x02;
    Bytes otherVarid = answerMessage(0, 0x01a5, 1, {1});
    otherVarid[7] = 0x50;
    Bytes notBccmd = vendorEvent(answerMessage(0, 0x01a5, 1, {1}));
    notBccmd[3] = 0x43;
    const struct {
        const char* name;
        Bytes event;
        std::string log;
    } cases[] = {
        {"another key", vendorEvent(answerMessage(0, 0x01a6, 1, {1})),
         "ERR pskeyReqRsp: BCCMD answer ignored, for another PS-Key: type 0x0001 varid 0x7003 "
         "PS-Key 0x01a6 \n"},
        {"another type", vendorEvent(otherType),
         "ERR pskeyReqRsp: BCCMD answer ignored, not a response: type 0x0002 varid 0x7003 PS-Key "
         "0x01a5 \n"},
        {"another varid", vendorEvent(otherVarid),
         "ERR pskeyReqRsp: BCCMD answer ignored, not a PS-Key answer: type 0x0001 varid 0x5003 "
         "PS-Key 0x01a5 \n"},
        {"not a BCCMD answer", notBccmd,
         "ERR readBtModule: vendor event with payload descriptor 0x43 ignored, not a BCCMD answer "
         "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        awaitGet(0x01a5);
        for (int i = 0; i < 2; ++i) {
            ModuleAnswer answer = MODULE_ANSWERED;
            EXPECT_EQ(loggedBy([&] { answer = handleHciEvent(c.event); }), i == 0 ? c.log : "");
            EXPECT_EQ(answer, MODULE_NO_ANSWER);
        }
    }
    EXPECT_FALSE(fileExists(kPsKeyDumpPath));
    // The request's own answer is taken once; a second one finds no request waiting.
    EXPECT_EQ(handleHciEvent(vendorEvent(answerMessage(0, 0x01a5, 1, {1}))), MODULE_ANSWERED);
    EXPECT_EQ(loggedBy([] {
                  EXPECT_EQ(handleHciEvent(vendorEvent(answerMessage(0, 0x01a5, 1, {1}))),
                            MODULE_NO_ANSWER);
              }),
              "ERR pskeyReqRsp: BCCMD answer ignored, no request waits for it: type 0x0001 varid "
              "0x7003 PS-Key 0x01a5 \n");
    EXPECT_EQ(dump(), "&01a5 = 0001\r\n");
}

TEST_F(ModuleAnswers, WordsTakenAreBoundedByClaimFortyAndWhatArrived) {
    std::vector<std::uint16_t> fortyOne;
    std::string fortyWords;
    for (std::uint16_t i = 0; i < 41; ++i)
        fortyOne.push_back(static_cast<std::uint16_t>(0x100 + i));
    for (std::uint16_t i = 0; i < 40; ++i) {
        char word[6];
        std::snprintf(word, sizeof word, " %04x", 0x100 + i);
        fortyWords += word;
    }
    const struct {
        const char* name;
        Bytes payload;
        std::string line, log;
    } cases[] = {
        // The value field holds 40 words; an answer can't carry more.
        {"claims 41", channelRead(answerMessage(0, 0x0100, 41, fortyOne)),
         "&0100 =" + fortyWords + "\r\n",
         "ERR pskeyReqRsp: BCCMD answer for PS-Key 0x0100 claims 41 words, 40 taken \n"},
        // Header and two words and one byte arrived.
        {"cut short", channelRead(answerMessage(0, 0x0100, 40, fortyOne, 16 + 5)),
         "&0100 = 0100 0101\r\n",
         "ERR pskeyReqRsp: BCCMD answer for PS-Key 0x0100 claims 40 words, 2 taken \n"},
        {"claims fewer than sent", channelRead(answerMessage(0, 0x0100, 1, fortyOne)),
         "&0100 = 0100\r\n", ""},
        {"header only", channelRead(answerMessage(0, 0x0100, 3, {}, 16)), "&0100 =\r\n",
         "ERR pskeyReqRsp: BCCMD answer for PS-Key 0x0100 claims 3 words, 0 taken \n"},
        {"shorter than its header", channelRead(answerMessage(0, 0x0100, 1, {1}, 15)), "",
         "ERR pskeyReqRsp: BCCMD answer of 16 bytes is shorter than its header, no PS-Key "
         "taken \n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(kPsKeyDumpPath);
        awaitGet(0x0100);
        ModuleAnswer answer = MODULE_NO_ANSWER;
        EXPECT_EQ(loggedBy([&] { answer = handleBccmdChannelMessage(c.payload); }), c.log);
        EXPECT_EQ(answer, MODULE_ANSWERED);
        EXPECT_EQ(dump(), c.line);
    }
    // The HCI path passes what was read, not what the event's length byte claims.
    std::remove(kPsKeyDumpPath);
    Bytes event = vendorEvent(answerMessage(0, 0x0100, 40, fortyOne, 16 + 4));
    event[2] = 0xFF;
    awaitGet(0x0100);
    testing::internal::CaptureStderr();
    EXPECT_EQ(handleHciEvent(event), MODULE_ANSWERED);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(dump(), "&0100 = 0100 0101\r\n");
}

TEST_F(ModuleAnswers, CommandEventsAnswerOnlyForHciReset) {
    const struct {
        Bytes event;
        ModuleAnswer answer;
        std::string log;
    } cases[] = {
        {{0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00}, MODULE_ANSWERED, ""},
        {{0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x03},
         MODULE_REFUSED,
         "ERR readBtModule: HCI Reset refused by the module: status 0x03 \n"},
        {{0x04, 0x0E, 0x03, 0x01, 0x03, 0x0C},
         MODULE_REFUSED,
         "ERR readBtModule: HCI Reset refused by the module: status 0xFF \n"},
        {{0x04, 0x0E, 0x04, 0x01, 0x00, 0xFC, 0x00}, MODULE_NO_ANSWER, ""},
        {{0x04, 0x0E, 0x04, 0x01, 0x01, 0x10, 0x00}, MODULE_NO_ANSWER, ""},
        {{0x04, 0x0E, 0x02, 0x01, 0x03}, MODULE_NO_ANSWER, ""},
        {{0x04, 0x0F, 0x04, 0x00, 0x01, 0x03, 0x0C}, MODULE_NO_ANSWER, ""},
        {{0x04, 0x3E, 0x01, 0x00},
         MODULE_NO_ANSWER,
         "ERR readBtModule: unexpected hci event 0x3E received \n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.event));
        awaitedAnswer = {AwaitedKind::HciCommand, 0x0C03};
        ModuleAnswer answer = MODULE_ANSWERED;
        EXPECT_EQ(loggedBy([&] { answer = handleHciEvent(c.event); }), c.log);
        EXPECT_EQ(answer, c.answer);
    }
    EXPECT_FALSE(fileExists(kPsKeyDumpPath));
    // A reset's event when no reset waits for it is nobody's answer.
    awaitedAnswer = {};
    EXPECT_EQ(handleHciEvent(Bytes{0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00}), MODULE_NO_ANSWER);
}

TEST_F(ModuleAnswers, ReadsWithoutALinkAreLogged) {
    btModuleSlot = 0;
    EXPECT_EQ(loggedBy([] { EXPECT_EQ(readBtModule(), MODULE_NO_ANSWER); }),
              "ERR readBtModule: read error from module: counter = -1; error 9 Bad file "
              "descriptor \n");
    EXPECT_EQ(loggedBy([] { EXPECT_EQ(readBtModuleBccmdChannel(), MODULE_NO_ANSWER); }),
              "ERR readBtModuleBccmdChannel: BCCMD read error from module: counter = -1; error 9 "
              "Bad file descriptor \n");
}

}  // namespace
