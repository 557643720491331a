#include "image/image_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "core/log.h"
#include "image/flash.h"
#include "sim/flash_model.h"
#include "sim/sim_state.h"
#include "tests/support/board.h"
#include "tools/mkupdate/image_builder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string kReportStart = "Update qvl Software:   started ... ";

// A LAP software image of length bytes in all, header with both checksums included.
Bytes lapImage(std::size_t length) {
    Bytes data(length - 64);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 31 + i / 251);
    std::string error;
    Bytes image = mkupdate::imageHeader(data, "Linux-2.4.4 qvl", 2, &error).value_or(Bytes(64, 0));
    image.insert(image.end(), data.begin(), data.end());
    return image;
}

// The update image: a 5-byte and a 13-byte file first, so the LAP image starts behind
// rounded sizes.
Bytes updateImage(const Bytes& lap) {
    std::string error;
    return mkupdate::buildMultiImage({Bytes(5, 'v'), Bytes(13, 'z'), lap}, "update", &error)
        .value_or(Bytes());
}

// What the flash held before the update: every byte differs from its neighbours.
std::string oldFlash() {
    std::string contents(0x200000, '\0');
    for (std::size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<char>(i * 7 + 3);
    return contents;
}

std::string sectorLine(std::uint32_t offset, std::uint32_t remaining, int percent) {
    char line[100];
    std::snprintf(line, sizeof line,
                  "LOG writeImage: writing sector %06X to flash; missing %08u Bytes; %3d%%\n",
                  offset, remaining, percent);
    return line;
}

std::string spaceLine(std::size_t length) {
    return "LOG writeImage: write lap image with " + std::to_string(length) +
           " Bytes to 1900544 Bytes flash\n";
}

// Standard error with each prefix reduced to "LOG function: " or "ERR function: ".
std::string reduced(const std::string& log) {
    static const std::regex prefix(
        R"(UPDATE_(LOG|ERR)-0\.1\.0 \d\d:\d\d:\d\d\.\d\d\d: src/update_process (\w+) line: \d+: )");
    return std::regex_replace(log, prefix, "$1 $2: ");
}

// Writes image to /tmp/image and runs writeImage over the old flash contents, expecting
// result; then the flash holds the first written bytes of lap at imageAreaStart, erased
// bytes behind them and its old contents elsewhere. Gives standard error with each prefix
// reduced to "LOG function: " or "ERR function: ".
std::string run(const Bytes& image, int result, const Bytes& lap, std::size_t written,
                std::size_t erased) {
    configSectorStart = kDefaultConfigSectorStart;
    flashSizeKnown = true;
    std::string flash = oldFlash();
    writeWholeFile(simStatePath(kFlashContentsFile), flash);
    writeWholeFile(kUpdateReportPath, kReportStart);
    if (!image.empty()) writeWholeFile("/tmp/image", image);
    testing::internal::CaptureStderr();
    EXPECT_EQ(writeImage(), result);
    std::copy_n(lap.begin(), written, flash.begin() + imageAreaStart);
    std::fill_n(flash.begin() + imageAreaStart + written, erased, '\xFF');
    EXPECT_TRUE(readWholeFile(simStatePath(kFlashContentsFile)) == flash);
    EXPECT_FALSE(fileExists("/tmp/image"));
    return reduced(testing::internal::GetCapturedStderr());
}

TEST(WriteImage, WritesTheLapImageSectorBySectorOverOldData) {
    const std::pair<std::size_t, std::string> cases[] = {
        // length, the last lines
        {200000, sectorLine(0x20000, 200000, 0) + sectorLine(0x30000, 134464, 32) +
                     sectorLine(0x40000, 68928, 65) + sectorLine(0x50000, 3392, 98)},
        {3 * 65536, sectorLine(0x20000, 196608, 0) + sectorLine(0x30000, 131072, 33) +
                        sectorLine(0x40000, 65536, 66)},  // no fourth pass
        // Up to the config sector, which keeps its contents.
        {0x1D0000 - 1, sectorLine(0x1E0000, 65535, 96)},
    };
    for (const auto& [length, last] : cases) {
        SCOPED_TRACE(length);
        Bytes lap = lapImage(length);
        std::string out =
            run(updateImage(lap), 1, lap, length, (0x10000 - length % 0x10000) % 0x10000);
        EXPECT_TRUE(out.starts_with(spaceLine(length)) && out.ends_with(last)) << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1 + (length + 0xFFFF) / 0x10000);
        EXPECT_EQ(readWholeFile(kUpdateReportPath), kReportStart + "100 percent ");
    }
}

TEST(WriteImage, FailureWritesNothingFurtherAndRemovesTheImage) {
    Bytes corrupt = lapImage(5000);
    corrupt[4000] ^= 0x01;  // the data checksum no longer fits
    Bytes lap = lapImage(3 * 65536);
    const std::string passes = spaceLine(196608) + sectorLine(0x20000, 196608, 0);
    struct Case {
        const char* fault;
        Bytes image;
        std::string out, progress;  // progress: in the report before the error message
        std::size_t written;        // bytes of lap written, and as many erased behind them
    };
    const Case cases[] = {
        // Exactly one line, no removal (rm would have complained).
        {"", Bytes(),
         "ERR writeImage: File opening error for file :/tmp/image errno = 2 No such file or "
         "directory \n",
         "", 0},
        {"", updateImage(lapImage(0x1D0000)),
         spaceLine(0x1D0000) +
             "ERR writeImage: Not enough space (1900544 Bytes) in flash to write lap image with "
             "1900544 Bytes!\n",
         "", 0},
        {"", updateImage(corrupt), spaceLine(5000) + "ERR checkHeader: Bad Data Checksum\n", "", 0},
        {"erase", updateImage(lap),
         passes + "ERR eraseFlash: ioctl failed:-1 errno: 5 Input/output error\n", "  0 percent ",
         0},
        {"write 1", updateImage(lap),
         passes + sectorLine(0x30000, 131072, 33) +
             "ERR writeFlash: write failed errno: 5 Input/output error\n",
         " 33 percent ", 0x10000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.out);
        writeWholeFile(simStatePath(kFlashFaultFile), c.fault);
        EXPECT_EQ(run(c.image, -1, lap, c.written, c.written), c.out);
        std::size_t message = c.out.find(": ", c.out.rfind("ERR ")) + 2;
        EXPECT_EQ(readWholeFile(kUpdateReportPath),
                  kReportStart + c.progress + c.out.substr(message));
    }
}

// A flash size that start-up couldn't have is asked for again before the image is written;
// the image then goes by the flash's real layout. (Still unknown, nothing is written: the
// fault table of the system tests.)
TEST(WriteImage, FlashSizeUnknownAtStartUpIsAskedAgain) {
    Bytes lap = lapImage(5000);
    flashSizeKnown = false;
    writeWholeFile(simStatePath(kFlashSizeFile), "0x100000");
    writeWholeFile(simStatePath(kFlashContentsFile), oldFlash().substr(0, 0x100000));
    writeWholeFile("/tmp/image", updateImage(lap));
    testing::internal::CaptureStderr();
    EXPECT_EQ(writeImage(), 1);
    std::string out = reduced(testing::internal::GetCapturedStderr());
    EXPECT_TRUE(
        out.starts_with("LOG checkFlashConfig: Flash size =  1048576 (0x100000); LAP "
                        "config file sector starts at 0x0F0000\n"
                        "LOG writeImage: write lap image with 5000 Bytes to 851968 "
                        "Bytes flash\n"))
        << out;
    std::string flash = oldFlash().substr(0, 0x100000);
    std::copy(lap.begin(), lap.end(), flash.begin() + imageAreaStart);
    std::fill_n(flash.begin() + imageAreaStart + 5000, 0x10000 - 5000, '\xFF');
    EXPECT_TRUE(readWholeFile(simStatePath(kFlashContentsFile)) == flash);
    configSectorStart = kDefaultConfigSectorStart;
}

}  // namespace
