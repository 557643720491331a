// Unit tests of operations that send: the daemon's AI socket opened at its own address with
// the peer's address as destination, as after start-up, and what the daemon posted to itself.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/ai_socket.h"
#include "update/update_state.h"

// The bytes of a datagram of size bytes whose header says length, type and param, in the
// host's order as the board's peer lays them out; the rest is zero.
inline std::vector<std::uint8_t> datagramBytes(std::uint16_t length, std::uint32_t type,
                                               std::int32_t param, std::size_t size) {
    std::vector<std::uint8_t> bytes(size, 0);
    AiMessage message = makeHeaderFrame(type, param, length);
    std::memcpy(bytes.data(), &message, std::min(size, sizeof message));
    return bytes;
}

class DaemonSocketTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(openAiSocket(kAiOwnPath), 0);
        setAiDestination(kAiPeerPath);
    }
    void TearDown() override { closeAiSocket(); }

    // An update's to-do list of ids, its next step the first.
    static void setStepList(const std::vector<std::int32_t>& ids) {
        update.stepList.fill(STEP_NONE);
        std::copy(ids.begin(), ids.end(), update.stepList.begin());
        update.stepListNext = 0;
    }

    // The datagrams waiting at the daemon's own address: its wake-ups and child reports.
    static std::vector<std::vector<std::uint8_t>> ownQueue() {
        std::vector<std::vector<std::uint8_t>> datagrams;
        std::uint8_t buffer[kAiReceiveSize];
        ssize_t n;
        while ((n = recv(aiSocketDescriptor(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
            datagrams.emplace_back(buffer, buffer + n);
        return datagrams;
    }
};
