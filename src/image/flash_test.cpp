#include "image/flash.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "core/log.h"
#include "sim/flash_model.h"
#include "sim/sim_state.h"
#include "tests/support/board.h"

namespace {

// Standard error of call with each line prefix reduced to "LOG function: " or "ERR function: ".
template <typename Call>
std::string loggedBy(Call call) {
    static const std::regex prefix(
        R"(UPDATE_(LOG|ERR)-0\.1\.0 \d\d:\d\d:\d\d\.\d\d\d: src/update_process (\w+) line: \d+: )");
    testing::internal::CaptureStderr();
    call();
    return std::regex_replace(testing::internal::GetCapturedStderr(), prefix, "$1 $2: ");
}

void setFault(const char* fault) { writeWholeFile(simStatePath(kFlashFaultFile), fault); }

std::string flashContents() { return readWholeFile(simStatePath(kFlashContentsFile)); }

#if defined(__powerpc__)
TEST(Flash, RequestValuesOfTheBoard) {
    EXPECT_EQ(FLASH_GET_INFO, 0x40184601UL);
    EXPECT_EQ(FLASH_GET_REGIONS, 0x400C4602UL);
    EXPECT_EQ(FLASH_ERASE, 0x80084603UL);
}
#endif

TEST(Flash, ConfigSectorFollowsTheFlashSize) {
    const std::string unknown =
        "ERR checkFlashConfig: Flash info not available; can't determine size \n";
    struct Case {
        const char* file;  // written with text before the check
        const char* text;
        std::uint32_t start;
        std::string out;
    };
    const Case cases[] = {
        {kFlashSizeFile, "4194304", 0x3F0000,
         "LOG checkFlashConfig: Flash size =  4194304 (0x400000); LAP config file sector starts "
         "at 0x3F0000\n"},
        {kFlashFaultFile, "size0", 0x1F0000, unknown},
        // No larger than the config sector itself.
        {kFlashSizeFile, "0x10000", 0x1F0000, unknown},
        {kFlashFaultFile, "missing", 0x1F0000,
         "ERR getFlashInfoUpdate: open device_/dev/flash0 in mode_0 failed! errno: 2 No such "
         "file or directory\n" +
             unknown},
        {kFlashFaultFile, "info", 0x1F0000,
         "ERR getFlashInfoUpdate: ioctl failed:-1 errno: 5 Input/output error\n" + unknown},
        {kFlashFaultFile, "regions", 0x1F0000,
         "ERR getFlashInfoUpdate: ioctl failed:-1 errno: 5 Input/output error\n" + unknown},
        {kFlashFaultFile, "close", 0x1F0000,
         "ERR getFlashInfoUpdate: close failed errno: 5 Input/output error\n" + unknown},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::remove(simStatePath(kFlashSizeFile).c_str());
        std::remove(simStatePath(kFlashFaultFile).c_str());
        std::remove(kUpdateReportPath);
        writeWholeFile(simStatePath(c.file), c.text);
        configSectorStart = kDefaultConfigSectorStart;
        EXPECT_EQ(loggedBy(checkFlashConfig), c.out);
        EXPECT_EQ(configSectorStart, c.start);
        // Errors go to the update report as well, log lines don't.
        std::string report = c.out.starts_with("LOG")
                                 ? ""
                                 : std::regex_replace(c.out, std::regex(R"(ERR \w+: )"), "");
        EXPECT_EQ(readWholeFile(kUpdateReportPath), report);
    }
}

TEST(Flash, EraseSetsTheRangeOnly) {
    writeWholeFile(simStatePath(kFlashContentsFile), std::string(0x200000, '\0'));
    EXPECT_EQ(eraseFlash(0x30000, 0x10000), 1);
    EXPECT_EQ(flashContents().substr(0x2FFFF, 0x10002), '\0' + std::string(0x10000, '\xFF') + '\0');
    std::string out = loggedBy([] { EXPECT_EQ(eraseFlash(0x30001, 0x10000), -1); });
    EXPECT_EQ(out, "ERR eraseFlash: ioctl failed:-1 errno: 22 Invalid argument\n");
}

TEST(Flash, WriteLandsAtItsOffsetAndGoesOnAfterShortCountsAndInterruptions) {
    std::vector<std::uint8_t> data(1000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
    for (const char* fault : {"", "shortwrite", "eintr"}) {
        SCOPED_TRACE(fault);
        setFault(fault);
        writeWholeFile(simStatePath(kFlashContentsFile), std::string(0x200000, '\xFF'));
        EXPECT_EQ(writeFlash(0x40002, data.data(), static_cast<std::uint32_t>(data.size())), 1);
        EXPECT_EQ(flashContents().substr(0x40000, 1003),
                  "\xFF\xFF" + std::string(data.begin(), data.end()) + "\xFF");
    }
}

TEST(Flash, WriteFailuresAreLoggedAndReported) {
    struct Case {
        const char* fault;
        std::uint32_t offset, length;
        std::string message;
    };
    const Case cases[] = {
        {"", 0x20000, 0, "write failed errno: 0 Success\n"},  // nothing to write
        {"", 0x200001, 1, "lseek failed errno: 22 Invalid argument\n"},
        {"", 0x200000, 1, "write failed errno: 28 No space left on device\n"},
        {"write", 0x20000, 1, "write failed errno: 5 Input/output error\n"},
        {"missing", 0x20000, 1,
         "open device_/dev/flash0 in mode_2 failed! errno: 2 No such file or directory\n"},
        {"close", 0x20000, 1, "close failed errno: 5 Input/output error\n"},
    };
    const std::uint8_t data[] = {0};
    std::string report;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        setFault(c.fault);
        std::string out = loggedBy([&] { EXPECT_EQ(writeFlash(c.offset, data, c.length), -1); });
        EXPECT_EQ(out, "ERR writeFlash: " + c.message);
        report += c.message;
    }
    EXPECT_EQ(readWholeFile(kUpdateReportPath), report);
}

}  // namespace
