#include "image/image_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "core/log.h"
#include "image/flash.h"
#include "sim/flash_model.h"
#include "sim/sim_state.h"
#include "tests/support/board.h"
#include "tools/mkupdate/image_builder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr const char* kImage = "/tmp/image";
const std::string kReportStart = "Update qvl Software:   started ... ";

// A complete image: the 64-byte header with both checksums, then data.
Bytes makeImage(const std::string& name, std::uint8_t type, const Bytes& data) {
    std::string error;
    Bytes image = mkupdate::imageHeader(data, name, type, &error).value_or(Bytes(64, 0));
    image.insert(image.end(), data.begin(), data.end());
    return image;
}

// A LAP software image of length bytes in all, header included.
Bytes lapImage(std::size_t length, const std::string& name = "Linux-2.4.4 qvl") {
    Bytes data(length - 64);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 31 + i / 251);
    return makeImage(name, 2, data);
}

// The update image: a 5-byte and a 13-byte file come first, so that the LAP image starts
// behind rounded sizes.
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

std::string spaceLine(std::size_t length, std::uint32_t space) {
    return "LOG writeImage: write lap image with " + std::to_string(length) + " Bytes to " +
           std::to_string(space) + " Bytes flash\n";
}

// The flash holds the first written bytes of lap at imageAreaStart, erased bytes behind them
// and its old contents everywhere else.
void expectFlash(const Bytes& lap, std::size_t written, std::size_t erased) {
    std::string expected = oldFlash();
    std::copy_n(lap.begin(), written, expected.begin() + imageAreaStart);
    std::fill_n(expected.begin() + imageAreaStart + written, erased, '\xFF');
    EXPECT_TRUE(readWholeFile(simStatePath(kFlashContentsFile)) == expected);
}

// Runs writeImage over the old flash contents, expecting result; standard error with each
// prefix reduced to "LOG function: " or "ERR function: ".
std::string run(int result, std::uint32_t configStart = kDefaultConfigSectorStart) {
    static const std::regex prefix(
        R"(UPDATE_(LOG|ERR)-0\.1\.0 \d\d:\d\d:\d\d\.\d\d\d: src/update_process (\w+) line: \d+: )");
    configSectorStart = configStart;
    writeWholeFile(simStatePath(kFlashContentsFile), oldFlash());
    writeWholeFile(kUpdateReportPath, kReportStart);
    testing::internal::CaptureStderr();
    EXPECT_EQ(writeImage(), result);
    return std::regex_replace(testing::internal::GetCapturedStderr(), prefix, "$1 $2: ");
}

TEST(WriteImage, WritesTheLapImageSectorBySectorOverOldData) {
    struct Case {
        std::size_t length;
        const char* name;
        long lines;        // in all
        std::string last;  // the last of them
    };
    const Case cases[] = {
        {200000, "Linux-2.4.4 qvl", 5,
         sectorLine(0x20000, 200000, 0) + sectorLine(0x30000, 134464, 32) +
             sectorLine(0x40000, 68928, 65) + sectorLine(0x50000, 3392, 98)},
        // Exactly three sectors: no fourth pass.
        {3 * 65536, "Linux-2.4.4 qvl", 4,
         sectorLine(0x20000, 196608, 0) + sectorLine(0x30000, 131072, 33) +
             sectorLine(0x40000, 65536, 66)},
        // One byte under the image space: 29 passes, up to the config sector, which keeps
        // its contents.
        {0x1D0000 - 1, "Linux-2.4.4 qvl", 30, sectorLine(0x1E0000, 65535, 96)},
        // Another name is only logged.
        {300, "qvl-app", 3,
         "LOG writeImage: lap image name \"qvl-app\" doesn't begin with \"Linux\"\n" +
             sectorLine(0x20000, 300, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        Bytes lap = lapImage(c.length, c.name);
        writeWholeFile(kImage, updateImage(lap));
        std::string out = run(1);
        EXPECT_EQ(out.substr(0, out.find('\n') + 1), spaceLine(c.length, 0x1D0000));
        EXPECT_TRUE(out.ends_with(c.last)) << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), c.lines);
        EXPECT_EQ(readWholeFile(kUpdateReportPath), kReportStart + "100 percent ");
        expectFlash(lap, c.length, (sectorSize - c.length % sectorSize) % sectorSize);
        EXPECT_FALSE(fileExists(kImage));
    }
}

TEST(WriteImage, FailureWritesNothingFurtherAndRemovesTheImage) {
    Bytes corrupt = lapImage(5000);
    corrupt[4000] ^= 0x01;  // the data checksum no longer fits
    Bytes lap = lapImage(3 * 65536);
    const std::string passes = spaceLine(196608, 0x1D0000) + sectorLine(0x20000, 196608, 0);
    constexpr std::uint32_t kStart = kDefaultConfigSectorStart;
    struct Case {
        const char* fault;
        std::uint32_t configStart;
        Bytes image;
        std::string out;
        std::string progress;  // in the report before the error message
        std::size_t written;   // bytes of lap written, and as many erased behind them
    };
    const Case cases[] = {
        // No image file: exactly one line, no removal (rm would have complained).
        {"", kStart, Bytes(),
         "ERR writeImage: File opening error for file :/tmp/image errno = 2 No such file or "
         "directory \n",
         "", 0},
        {"", kStart, updateImage(lapImage(0x1D0000)),
         spaceLine(0x1D0000, 0x1D0000) +
             "ERR writeImage: Not enough space (1900544 Bytes) in flash to write lap image with "
             "1900544 Bytes!\n",
         "", 0},
        {"", 0x10000, updateImage(lapImage(100)),
         spaceLine(100, 0) +
             "ERR writeImage: Not enough space (0 Bytes) in flash to write lap image with 100 "
             "Bytes!\n",
         "", 0},
        {"", kStart, updateImage(corrupt),
         spaceLine(5000, 0x1D0000) + "ERR checkHeader: Bad Data Checksum\n", "", 0},
        {"", kStart, Bytes(63, 'x'),
         "ERR writeImage: image file /tmp/image to small (63 Bytes) !\n", "", 0},
        {"", kStart, makeImage("single", 2, Bytes(100, 1)),
         "ERR writeImage: image file /tmp/image holds no files; no lap image to write!\n", "", 0},
        {"", kStart, updateImage(Bytes(10, 0xEE)),
         spaceLine(10, 0x1D0000) +
             "ERR writeImage: lap image with 10 Bytes is shorter than its header!\n",
         "", 0},
        // A failing erase or write stops the passes.
        {"erase", kStart, updateImage(lap),
         passes + "ERR eraseFlash: ioctl failed:-1 errno: 5 Input/output error\n", "  0 percent ",
         0},
        {"write 1", kStart, updateImage(lap),
         passes + sectorLine(0x30000, 131072, 33) +
             "ERR writeFlash: write failed errno: 5 Input/output error\n",
         " 33 percent ", 0x10000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.out);
        writeWholeFile(simStatePath(kFlashFaultFile), c.fault);
        if (!c.image.empty()) writeWholeFile(kImage, c.image);
        EXPECT_EQ(run(-1, c.configStart), c.out);
        // The report ends with the error message, behind the progress text if any.
        std::size_t message = c.out.find(": ", c.out.rfind("ERR ")) + 2;
        EXPECT_EQ(readWholeFile(kUpdateReportPath),
                  kReportStart + c.progress + c.out.substr(message));
        expectFlash(lap, c.written, c.written);
        EXPECT_FALSE(fileExists(kImage));
    }
}

}  // namespace
