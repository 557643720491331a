// The module's trace: module.btsnoop byte for byte, and as hcidump reads it.
#include "sim/module/module_trace.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/module/module_model.h"
#include "sim/module/module_test_support.h"

namespace {

using ModuleTrace = ModuleTest;

struct TraceRecord {
    std::uint32_t flags;
    std::uint64_t stamp;
    Bytes packet;
};

std::uint64_t bigEndian(const std::string& bytes, std::size_t at, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i)
        value = value << 8 | static_cast<std::uint8_t>(bytes[at + i]);
    return value;
}

// The records behind the 16-byte header; each record's two lengths must agree, its drops be 0.
std::vector<TraceRecord> traceRecords(const std::string& trace) {
    std::vector<TraceRecord> records;
    for (std::size_t at = 16; at + 24 <= trace.size();) {
        auto length = static_cast<std::size_t>(bigEndian(trace, at, 4));
        EXPECT_EQ(bigEndian(trace, at + 4, 4), length);
        EXPECT_EQ(bigEndian(trace, at + 12, 4), 0U);
        records.push_back({static_cast<std::uint32_t>(bigEndian(trace, at + 8, 4)),
                           bigEndian(trace, at + 16, 8),
                           Bytes(trace.begin() + at + 24, trace.begin() + at + 24 + length)});
        at += 24 + length;
    }
    return records;
}

std::uint64_t nowInTraceTime() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(
               std::chrono::duration_cast<std::chrono::microseconds>(now).count()) +
           0x00dcddb30f2f8000ULL;
}

TEST_F(ModuleTrace, BtsnoopFileHasOneHeaderAndARecordPerPacket) {
    std::uint64_t before = nowInTraceTime();
    int fd = openHci();
    ASSERT_EQ(askModule(fd, hexBytes("01 03 0c 00")), hexBytes("04 0e 04 01 03 0c 00"));
    devClose(fd);
    std::uint64_t after = nowInTraceTime();
    std::string trace = readWholeFile(simStatePath(kModuleTraceFile));
    ASSERT_EQ(trace.size(), 16U + 24 + 4 + 24 + 7);
    EXPECT_EQ(trace.substr(0, 32), std::string("btsnoop\0\0\0\0\x01\0\0\x03\xea"  // header
                                               "\0\0\0\x04\0\0\0\x04\0\0\0\x02\0\0\0\0",
                                               32));
    EXPECT_EQ(trace.substr(40, 4), std::string("\x01\x03\x0c\x00", 4));
    std::uint64_t stamp = bigEndian(trace, 32, 8);
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);

    // A later open, as by another process, appends without a second header.
    loadBcspDriver();
    fd = openBccmdChannel();
    ASSERT_EQ(askModule(fd, getRequest(0x01a5)).size(), 96U);
    devClose(fd);
    std::vector<TraceRecord> records = traceRecords(readWholeFile(simStatePath(kModuleTraceFile)));
    ASSERT_EQ(records.size(), 4U);
    EXPECT_EQ(records[1].flags, 3U);
    EXPECT_EQ(records[1].packet, hexBytes("04 0e 04 01 03 0c 00"));
    EXPECT_EQ(records[2].flags, 2U);
    EXPECT_EQ(records[2].packet, inCarrier(getRequest(0x01a5)));
    EXPECT_EQ(records[3].flags, 3U);
    EXPECT_EQ(records[3].packet, inVendorEvent(answerMessage(0x01a5, 0, 1, 0x0007, {1})));
}

TEST_F(ModuleTrace, HcidumpDecodesTheTrace) {
    if (std::system("command -v hcidump >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "hcidump is not installed (scripts/deps.sh installs it)";
    }
    int fd = openHci();
    askModule(fd, hexBytes("01 03 0c 00"));
    askModule(fd, inCarrier(getRequest(0x01a5)));
    devClose(fd);
    std::string command = "hcidump -m 10 -r " + simStatePath(kModuleTraceFile) + " 2>&1";
    std::FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, n);
    int status = pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    for (const char* decoded : {"< HCI Command: Reset (0x03|0x0003) plen 0",
                                "> HCI Event: Command Complete (0x0e) plen 4",
                                "BCCMD: Get req: len 48 seqno 4005 varid 0x7003 status 0",
                                "PSKEY: key 0x01a5 len 40 stores 0x0007",
                                "BCCMD: Get rsp: len 48 seqno 4005 varid 0x7003 status 0",
                                "PSKEY: key 0x01a5 len 1 stores 0x0007"}) {
        EXPECT_NE(output.find(decoded), std::string::npos) << decoded << "\nin:\n" << output;
    }
}

}  // namespace
