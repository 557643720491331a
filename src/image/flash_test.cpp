#include "image/flash.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include "core/log.h"
#include "sim/flash_model.h"
#include "sim/sim_state.h"
#include "tests/support/board.h"

namespace {

// Standard error with each line prefix reduced to "LOG function: " or "ERR function: ".
std::string logged(const std::string& out) {
    static const std::regex prefix(
        R"(UPDATE_(LOG|ERR)-0\.1\.0 \d\d:\d\d:\d\d\.\d\d\d: src/update_process (\w+) line: \d+: )");
    return std::regex_replace(out, prefix, "$1 $2: ");
}

template <typename Call>
std::string loggedBy(Call call) {
    testing::internal::CaptureStderr();
    call();
    return logged(testing::internal::GetCapturedStderr());
}

void setFault(const char* fault) { writeWholeFile(simStatePath(kFlashFaultFile), fault); }

std::string flashContents() { return readWholeFile(simStatePath(kFlashContentsFile)); }

class Flash : public testing::Test {
protected:
    void SetUp() override { configSectorStart = kDefaultConfigSectorStart; }
};

TEST_F(Flash, RequestsCarryTypeNumberAndRecordSize) {
    struct Case {
        unsigned long request;
        unsigned nr, size, dir;
    };
    const Case cases[] = {{FLASH_GET_INFO, 1, 24, _IOC_READ},
                          {FLASH_GET_REGIONS, 2, 12, _IOC_READ},
                          {FLASH_ERASE, 3, 8, _IOC_WRITE}};
    for (const Case& c : cases) {
        EXPECT_EQ(_IOC_TYPE(c.request), unsigned{'F'});
        EXPECT_EQ(_IOC_NR(c.request), c.nr);
        EXPECT_EQ(_IOC_SIZE(c.request), c.size);
        EXPECT_EQ(_IOC_DIR(c.request), c.dir);
    }
}

#if defined(__powerpc__)
TEST_F(Flash, RequestValuesOfTheBoard) {
    EXPECT_EQ(FLASH_GET_INFO, 0x40184601UL);
    EXPECT_EQ(FLASH_GET_REGIONS, 0x400C4602UL);
    EXPECT_EQ(FLASH_ERASE, 0x80084603UL);
}
#endif

TEST_F(Flash, DefaultLayout) {
    EXPECT_EQ(configSectorStart, 0x1F0000u);
    EXPECT_EQ(configSectorSize, 0x10000u);
    EXPECT_EQ(imageAreaStart, 0x20000u);
    EXPECT_EQ(sectorSize, 0x10000u);
}

TEST_F(Flash, SizeOfTheDefaultFlash) { EXPECT_EQ(getFlashInfoUpdate(), 0x200000); }

TEST_F(Flash, LargerFlashMovesTheConfigSector) {
    writeWholeFile(simStatePath(kFlashSizeFile), "4194304");
    std::string out = loggedBy(checkFlashConfig);
    EXPECT_EQ(configSectorStart, 0x3F0000u);
    EXPECT_EQ(out,
              "LOG checkFlashConfig: Flash size =  4194304 (0x400000); LAP config file sector "
              "starts at 0x3F0000\n");
    EXPECT_FALSE(fileExists(kUpdateReportPath));
}

TEST_F(Flash, SizeZeroKeepsTheDefault) {
    setFault("size0");
    std::string out = loggedBy(checkFlashConfig);
    EXPECT_EQ(configSectorStart, 0x1F0000u);
    EXPECT_EQ(out, "ERR checkFlashConfig: Flash info not available; can't determine size \n");
    EXPECT_EQ(readWholeFile(kUpdateReportPath),
              "Flash info not available; can't determine size \n");
}

TEST_F(Flash, FlashNoLargerThanTheConfigSectorKeepsTheDefault) {
    writeWholeFile(simStatePath(kFlashSizeFile), "0x10000");
    std::string out = loggedBy(checkFlashConfig);
    EXPECT_EQ(configSectorStart, 0x1F0000u);
    EXPECT_EQ(out, "ERR checkFlashConfig: Flash info not available; can't determine size \n");
}

TEST_F(Flash, MissingDeviceGivesTheOpenMessageAndKeepsTheDefault) {
    setFault("missing");
    std::int32_t size = 0;
    std::string out = loggedBy([&] { size = getFlashInfoUpdate(); });
    EXPECT_EQ(size, -1);
    EXPECT_EQ(out,
              "ERR getFlashInfoUpdate: open device_/dev/flash0 in mode_0 failed! errno: 2 No such "
              "file or directory\n");
    out = loggedBy(checkFlashConfig);
    EXPECT_EQ(configSectorStart, 0x1F0000u);
    EXPECT_NE(out.find("ERR checkFlashConfig: Flash info not available; can't determine size \n"),
              std::string::npos);
}

TEST_F(Flash, FailingRequestsFailTheSizeQuery) {
    for (const char* fault : {"info", "regions", "close"}) {
        SCOPED_TRACE(fault);
        setFault(fault);
        std::int32_t size = 0;
        std::string out = loggedBy([&] { size = getFlashInfoUpdate(); });
        EXPECT_EQ(size, -1);
        std::string expected =
            std::string(fault) == "close"
                ? "ERR getFlashInfoUpdate: close failed errno: 5 Input/output error\n"
                : "ERR getFlashInfoUpdate: ioctl failed:-1 errno: 5 Input/output error\n";
        EXPECT_EQ(out, expected);
    }
}

TEST_F(Flash, EraseClearsTheRangeOnly) {
    writeWholeFile(simStatePath(kFlashContentsFile), std::string(0x200000, '\0'));
    EXPECT_EQ(eraseFlash(0x30000, 0x10000), 1);
    std::string contents = flashContents();
    EXPECT_EQ(contents.substr(0x2FFFF, 1), std::string(1, '\0'));
    EXPECT_EQ(contents.substr(0x30000, 0x10000), std::string(0x10000, '\xFF'));
    EXPECT_EQ(contents.substr(0x40000, 1), std::string(1, '\0'));
}

TEST_F(Flash, EraseFailuresAreReported) {
    std::string out = loggedBy([] { EXPECT_EQ(eraseFlash(0x30001, 0x10000), -1); });
    EXPECT_EQ(out, "ERR eraseFlash: ioctl failed:-1 errno: 22 Invalid argument\n");
    setFault("missing");
    out = loggedBy([] { EXPECT_EQ(eraseFlash(0x30000, 0x10000), -1); });
    EXPECT_EQ(out,
              "ERR eraseFlash: open device_/dev/flash0 in mode_0 failed! errno: 2 No such file or "
              "directory\n");
    setFault("close");
    out = loggedBy([] { EXPECT_EQ(eraseFlash(0x30000, 0x10000), -1); });
    EXPECT_EQ(out, "ERR eraseFlash: close failed errno: 5 Input/output error\n");
}

TEST_F(Flash, WriteLandsAtItsOffset) {
    const std::uint8_t data[] = {1, 2, 3, 4, 5};
    EXPECT_EQ(writeFlash(0x20002, data, sizeof data), 1);
    EXPECT_EQ(flashContents().substr(0x20000, 8), std::string("\xFF\xFF\1\2\3\4\5\xFF", 8));
}

TEST_F(Flash, WriteGoesOnAfterShortCountsAndInterruptions) {
    std::vector<std::uint8_t> data(1000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
    for (const char* fault : {"shortwrite", "eintr"}) {
        SCOPED_TRACE(fault);
        setFault(fault);
        writeWholeFile(simStatePath(kFlashContentsFile), std::string(0x200000, '\xFF'));
        EXPECT_EQ(writeFlash(0x40000, data.data(), static_cast<std::uint32_t>(data.size())), 1);
        EXPECT_EQ(flashContents().substr(0x40000, 1001),
                  std::string(data.begin(), data.end()) + "\xFF");
    }
}

TEST_F(Flash, WriteFailuresAreReported) {
    const std::uint8_t data[] = {0};
    std::string out = loggedBy([&] { EXPECT_EQ(writeFlash(0x20000, data, 0), -1); });
    EXPECT_EQ(out, "ERR writeFlash: write failed errno: 0 Success\n");
    out = loggedBy([&] { EXPECT_EQ(writeFlash(0x200001, data, 1), -1); });
    EXPECT_EQ(out, "ERR writeFlash: lseek failed errno: 22 Invalid argument\n");
    out = loggedBy([&] { EXPECT_EQ(writeFlash(0x200000, data, 1), -1); });
    EXPECT_EQ(out, "ERR writeFlash: write failed errno: 28 No space left on device\n");
    setFault("write");
    out = loggedBy([&] { EXPECT_EQ(writeFlash(0x20000, data, 1), -1); });
    EXPECT_EQ(out, "ERR writeFlash: write failed errno: 5 Input/output error\n");
    setFault("missing");
    out = loggedBy([&] { EXPECT_EQ(writeFlash(0x20000, data, 1), -1); });
    EXPECT_EQ(out,
              "ERR writeFlash: open device_/dev/flash0 in mode_2 failed! errno: 2 No such file or "
              "directory\n");
    setFault("close");
    out = loggedBy([&] { EXPECT_EQ(writeFlash(0x20000, data, 1), -1); });
    EXPECT_EQ(out, "ERR writeFlash: close failed errno: 5 Input/output error\n");
    EXPECT_EQ(readWholeFile(kUpdateReportPath),
              "write failed errno: 0 Success\n"
              "lseek failed errno: 22 Invalid argument\n"
              "write failed errno: 28 No space left on device\n"
              "write failed errno: 5 Input/output error\n"
              "open device_/dev/flash0 in mode_2 failed! errno: 2 No such file or directory\n"
              "close failed errno: 5 Input/output error\n");
}

}  // namespace
