// Helpers of the module model's tests: packets written as hex text, BCCMD messages, and the
// module's devices opened as the daemon opens them.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "core/platform.h"
#include "sim/module/module_model.h"
#include "sim/sim_state.h"
#include "tests/support/board.h"

using Bytes = std::vector<std::uint8_t>;

// "01 03 0c 00" -> the bytes.
inline Bytes hexBytes(const std::string& text) {
    Bytes bytes;
    std::istringstream in(text);
    for (std::string pair; in >> pair;) {
        bytes.push_back(static_cast<std::uint8_t>(std::strtoul(pair.c_str(), nullptr, 16)));
    }
    return bytes;
}

inline Bytes joined(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// A 96-byte BCCMD PS-Key message with the daemon's length word, sequence number and varid.
inline Bytes bccmdMessage(std::uint16_t type, std::uint16_t key, std::uint16_t status,
                          std::uint16_t length, std::uint16_t stores,
                          const std::vector<std::uint16_t>& words = {}) {
    Bytes bytes(96, 0);
    auto put = [&bytes](std::size_t at, std::uint16_t value) {
        bytes[at] = static_cast<std::uint8_t>(value & 0xFF);
        bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
    };
    const std::uint16_t header[] = {type, 0x0030, 0x0FA5, 0x7003, status, key, length, stores};
    for (std::size_t i = 0; i < 8; ++i) put(2 * i, header[i]);
    for (std::size_t i = 0; i < words.size(); ++i) put(16 + 2 * i, words[i]);
    return bytes;
}

inline Bytes getRequest(std::uint16_t key) { return bccmdMessage(0x0000, key, 0, 40, 0x0007); }

// The answer message as the module sends it: GETRESP behind the request's header.
inline Bytes answerMessage(std::uint16_t key, std::uint16_t status, std::uint16_t length,
                           std::uint16_t stores, const std::vector<std::uint16_t>& words = {}) {
    return bccmdMessage(0x0001, key, status, length, stores, words);
}

// The message in the HCI carrier command, and in the vendor-specific event.
inline Bytes inCarrier(const Bytes& message) { return joined(hexBytes("01 00 fc 61 c2"), message); }
inline Bytes inVendorEvent(const Bytes& message) {
    return joined(hexBytes("04 ff 61 c2"), message);
}

// insmod.log as the firmware step's loads of the BCSP driver leave it.
inline void loadBcspDriver() {
    writeWholeFile(simStatePath(kInsmodLogFile),
                   "/tmp/update.d/linabcsp_uart.o\n/tmp/update.d/bcsp.o\n"
                   "/tmp/update.d/linabcsp_upChan.o\n");
}

inline int openHci() { return devOpen(kModuleHciPath, O_RDWR | O_NONBLOCK); }

// Opens "/dev/bcspRel2" and configures it with the four setup requests; -1 on any failure.
inline int openBccmdChannel() {
    int fd = devOpen(kModuleBccmdPath, O_RDWR | O_NONBLOCK);
    if (fd < 0) return -1;
    for (const BcspSetupRequest& setup : kBcspSetupRequests) {
        int value = setup.value.value_or(0);
        if (devIoctl(fd, setup.code, setup.value ? &value : nullptr) != 0) {
            devClose(fd);
            return -1;
        }
    }
    return fd;
}

// One answer once the device reports it ready; empty when none comes within the time.
inline Bytes readAnswer(int fd, int timeoutMs = 200) {
    pollfd entry{fd, POLLIN | POLLPRI, 0};
    if (devPoll(&entry, 1, timeoutMs, nullptr) != 1) return {};
    Bytes answer(1031);
    ssize_t n = devRead(fd, answer.data(), answer.size());
    EXPECT_GT(n, 0);
    answer.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return answer;
}

// Writes the packet in one write and reads one answer.
inline Bytes askModule(int fd, const Bytes& packet, int timeoutMs = 200) {
    EXPECT_EQ(devWrite(fd, packet.data(), packet.size()), static_cast<ssize_t>(packet.size()));
    return readAnswer(fd, timeoutMs);
}

// Every test starts with answers at once, unless it sets another speed.
class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override { writeWholeFile(simStatePath(kModuleBaudFile), "0\n"); }
};
