#include "image/image_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "core/log.h"
#include "image/flash.h"
#include "image/image_header.h"
#include "sim/flash_model.h"
#include "sim/sim_state.h"
#include "tests/support/board.h"
#include "tools/mkupdate/image_builder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr const char* kImage = "/tmp/image";
constexpr const char* kReportStart = "Update qvl Software:   started ... ";

// A complete image: the 64-byte header with both checksums, then data.
Bytes makeImage(const std::string& name, std::uint8_t type, const Bytes& data) {
    std::string error;
    auto header = mkupdate::imageHeader(data, name, type, &error);
    EXPECT_TRUE(header) << error;
    Bytes image = header.value_or(Bytes(64, 0));
    image.insert(image.end(), data.begin(), data.end());
    return image;
}

// A LAP software image of length bytes in all, header included.
Bytes makeLapImage(std::size_t length, const std::string& name = "Linux-2.4.4 qvl") {
    Bytes data(length - 64);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 31 + i / 251);
    return makeImage(name, 2, data);
}

// The update image around a LAP image: a 5-byte and a 13-byte file come first, so that the
// LAP image starts behind rounded sizes.
Bytes makeUpdateImage(const Bytes& lapImage) {
    std::string error;
    auto image =
        mkupdate::buildMultiImage({Bytes(5, 'v'), Bytes(13, 'z'), lapImage}, "update", &error);
    EXPECT_TRUE(image) << error;
    return image.value_or(Bytes());
}

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// What the flash held before the update: every byte differs from its neighbours.
std::string oldFlash() {
    std::string contents(0x200000, '\0');
    for (std::size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<char>(i * 7 + 3);
    return contents;
}

std::string flashContents() { return readWholeFile(simStatePath(kFlashContentsFile)); }

std::string logged(const std::string& out) {
    static const std::regex prefix(
        R"(UPDATE_(LOG|ERR)-0\.1\.0 \d\d:\d\d:\d\d\.\d\d\d: src/update_process (\w+) line: \d+: )");
    return std::regex_replace(out, prefix, "$1 $2: ");
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

class WriteImage : public testing::Test {
protected:
    void SetUp() override {
        configSectorStart = kDefaultConfigSectorStart;
        writeWholeFile(simStatePath(kFlashContentsFile), oldFlash());
        writeWholeFile(kUpdateReportPath, kReportStart);
    }

    // Runs writeImage; its result, standard error in logged() form in out.
    int run(std::string* out) {
        testing::internal::CaptureStderr();
        int result = writeImage();
        *out = logged(testing::internal::GetCapturedStderr());
        return result;
    }

    // The flash holds lapImage at imageAreaStart, the rest of its last sector erased, and
    // the old contents everywhere else.
    void expectWritten(const Bytes& lapImage) {
        std::string contents = flashContents();
        std::string old = oldFlash();
        std::size_t end = imageAreaStart + lapImage.size();
        std::size_t sectorEnd = (end + sectorSize - 1) / sectorSize * sectorSize;
        ASSERT_EQ(contents.size(), old.size());
        EXPECT_TRUE(contents.compare(0, imageAreaStart, old, 0, imageAreaStart) == 0);
        EXPECT_TRUE(contents.compare(imageAreaStart, lapImage.size(), text(lapImage)) == 0);
        EXPECT_EQ(contents.substr(end, sectorEnd - end), std::string(sectorEnd - end, '\xFF'));
        EXPECT_TRUE(contents.compare(sectorEnd, std::string::npos, old, sectorEnd) == 0);
    }

    void expectRefused(int result) {
        EXPECT_EQ(result, -1);
        EXPECT_TRUE(flashContents() == oldFlash());
        EXPECT_EQ(readWholeFile(kUpdateReportPath).find("percent"), std::string::npos);
        EXPECT_FALSE(fileExists(kImage));
    }
};

TEST_F(WriteImage, ExampleOf200000BytesTakesFourPasses) {
    Bytes lap = makeLapImage(200000);
    writeWholeFile(kImage, makeUpdateImage(lap));
    std::string out;
    EXPECT_EQ(run(&out), 1);
    EXPECT_EQ(out, spaceLine(200000, 0x1D0000) + sectorLine(0x20000, 200000, 0) +
                       sectorLine(0x30000, 134464, 32) + sectorLine(0x40000, 68928, 65) +
                       sectorLine(0x50000, 3392, 98));
    EXPECT_EQ(readWholeFile(kUpdateReportPath), std::string(kReportStart) + "100 percent ");
    expectWritten(lap);
    EXPECT_FALSE(fileExists(kImage));
}

TEST_F(WriteImage, ExactlyThreeSectorsTakeThreePasses) {
    Bytes lap = makeLapImage(3 * 65536);
    writeWholeFile(kImage, makeUpdateImage(lap));
    std::string out;
    EXPECT_EQ(run(&out), 1);
    EXPECT_EQ(out, spaceLine(196608, 0x1D0000) + sectorLine(0x20000, 196608, 0) +
                       sectorLine(0x30000, 131072, 33) + sectorLine(0x40000, 65536, 66));
    EXPECT_EQ(readWholeFile(kUpdateReportPath), std::string(kReportStart) + "100 percent ");
    expectWritten(lap);
}

TEST_F(WriteImage, SmallImageTakesOnePass) {
    Bytes lap = makeLapImage(1000);
    writeWholeFile(kImage, makeUpdateImage(lap));
    std::string out;
    EXPECT_EQ(run(&out), 1);
    EXPECT_EQ(out, spaceLine(1000, 0x1D0000) + sectorLine(0x20000, 1000, 0));
    expectWritten(lap);
}

TEST_F(WriteImage, ImageFillingTheImageSpaceIsRefused) {
    writeWholeFile(kImage, makeUpdateImage(makeLapImage(0x1D0000)));
    std::string out;
    int result = run(&out);
    EXPECT_EQ(out, spaceLine(0x1D0000, 0x1D0000) +
                       "ERR writeImage: Not enough space (1900544 Bytes) in flash to write lap "
                       "image with 1900544 Bytes!\n");
    expectRefused(result);
    EXPECT_EQ(readWholeFile(kUpdateReportPath),
              std::string(kReportStart) +
                  "Not enough space (1900544 Bytes) in flash to write lap image with 1900544 "
                  "Bytes!\n");
}

TEST_F(WriteImage, ImageOneByteUnderTheImageSpaceIsWrittenUpToTheConfigSector) {
    Bytes lap = makeLapImage(0x1D0000 - 1);
    writeWholeFile(kImage, makeUpdateImage(lap));
    std::string out;
    EXPECT_EQ(run(&out), 1);
    std::string expected = spaceLine(0x1CFFFF, 0x1D0000);
    for (std::uint32_t pass = 0; pass < 29; ++pass) {
        std::uint32_t remaining = 0x1CFFFF - pass * 0x10000;
        int percent = static_cast<int>(100.0 - remaining / 1900543.0 * 100.0);
        expected += sectorLine(0x20000 + pass * 0x10000, remaining, percent);
    }
    EXPECT_EQ(out, expected);
    EXPECT_NE(out.find("writing sector 1E0000 to flash; missing 00065535 Bytes;  96%\n"),
              std::string::npos);
    expectWritten(lap);  // the config sector at 0x1F0000 keeps its contents
}

TEST_F(WriteImage, ConfigSectorBelowTheImageAreaLeavesNoSpace) {
    configSectorStart = 0x10000;
    writeWholeFile(kImage, makeUpdateImage(makeLapImage(100)));
    std::string out;
    int result = run(&out);
    EXPECT_EQ(out, spaceLine(100, 0) +
                       "ERR writeImage: Not enough space (0 Bytes) in flash to write lap image "
                       "with 100 Bytes!\n");
    expectRefused(result);
}

TEST_F(WriteImage, CorruptLapImageWritesNothing) {
    Bytes lap = makeLapImage(5000);
    lap[4000] ^= 0x01;  // the data checksum no longer fits
    writeWholeFile(kImage, makeUpdateImage(lap));
    std::string out;
    int result = run(&out);
    EXPECT_EQ(out.substr(0, out.find('\n') + 1), spaceLine(5000, 0x1D0000));
    EXPECT_NE(out.find("Bad Data Checksum\n"), std::string::npos) << out;
    expectRefused(result);
    EXPECT_EQ(readWholeFile(kUpdateReportPath), std::string(kReportStart) + "Bad Data Checksum\n");
}

TEST_F(WriteImage, CorruptUpdateImageWritesNothing) {
    Bytes image = makeUpdateImage(makeLapImage(5000));
    image[0] = 0x12;
    writeWholeFile(kImage, image);
    std::string out;
    int result = run(&out);
    EXPECT_NE(out.find("Bad Magic Number\n"), std::string::npos) << out;
    expectRefused(result);
}

TEST_F(WriteImage, MissingImageFile) {
    // Exactly one line: a removal command would have added rm's complaint.
    std::string out;
    EXPECT_EQ(run(&out), -1);
    EXPECT_EQ(out,
              "ERR writeImage: File opening error for file :/tmp/image errno = 2 No such file or "
              "directory \n");
    EXPECT_TRUE(flashContents() == oldFlash());
}

TEST_F(WriteImage, FileShorterThanAHeader) {
    writeWholeFile(kImage, std::string(63, 'x'));
    std::string out;
    int result = run(&out);
    EXPECT_EQ(out, "ERR writeImage: image file /tmp/image to small (63 Bytes) !\n");
    expectRefused(result);
}

TEST_F(WriteImage, ImageWithoutFiles) {
    // An image that isn't a multi-file image has no files; nor has one whose list is empty.
    for (const Bytes& image :
         {makeImage("single", 2, Bytes(100, 1)), makeImage("update", 4, Bytes(4, 0))}) {
        writeWholeFile(kImage, image);
        std::string out;
        int result = run(&out);
        EXPECT_EQ(out,
                  "ERR writeImage: image file /tmp/image holds no files; no lap image to write!\n");
        expectRefused(result);
    }
}

TEST_F(WriteImage, LastFileReachingBeyondTheImage) {
    Bytes image = makeUpdateImage(makeLapImage(1000));
    // The LAP image's entry in the size list claims 4 bytes more than the image holds; the
    // checksums are made anew so that only the file layout is wrong.
    Bytes data(image.begin() + 64, image.end());
    writeBigEndian32(data.data() + 8, 1004);
    writeWholeFile(kImage, makeImage("update", 4, data));
    std::string out;
    int result = run(&out);
    expectRefused(result);
}

TEST_F(WriteImage, LapImageShorterThanItsHeader) {
    writeWholeFile(kImage, makeUpdateImage(Bytes(10, 0xEE)));
    std::string out;
    int result = run(&out);
    EXPECT_EQ(out, spaceLine(10, 0x1D0000) +
                       "ERR writeImage: lap image with 10 Bytes is shorter than its header!\n");
    expectRefused(result);
}

TEST_F(WriteImage, OtherImageNameIsOnlyLogged) {
    Bytes lap = makeLapImage(300, "qvl-app");
    writeWholeFile(kImage, makeUpdateImage(lap));
    std::string out;
    EXPECT_EQ(run(&out), 1);
    EXPECT_EQ(out, spaceLine(300, 0x1D0000) +
                       "LOG writeImage: lap image name \"qvl-app\" doesn't begin with \"Linux\"\n" +
                       sectorLine(0x20000, 300, 0));
    expectWritten(lap);
}

TEST_F(WriteImage, EraseFailureStopsThePasses) {
    writeWholeFile(simStatePath(kFlashFaultFile), "erase");
    writeWholeFile(kImage, makeUpdateImage(makeLapImage(200000)));
    std::string out;
    EXPECT_EQ(run(&out), -1);
    EXPECT_EQ(out, spaceLine(200000, 0x1D0000) + sectorLine(0x20000, 200000, 0) +
                       "ERR eraseFlash: ioctl failed:-1 errno: 5 Input/output error\n");
    EXPECT_EQ(
        readWholeFile(kUpdateReportPath),
        std::string(kReportStart) + "  0 percent ioctl failed:-1 errno: 5 Input/output error\n");
    EXPECT_TRUE(flashContents() == oldFlash());
    EXPECT_FALSE(fileExists(kImage));
}

TEST_F(WriteImage, WriteFailureStopsThePasses) {
    writeWholeFile(simStatePath(kFlashFaultFile), "write 1");
    Bytes lap = makeLapImage(3 * 65536);
    writeWholeFile(kImage, makeUpdateImage(lap));
    std::string out;
    EXPECT_EQ(run(&out), -1);
    EXPECT_EQ(out, spaceLine(196608, 0x1D0000) + sectorLine(0x20000, 196608, 0) +
                       sectorLine(0x30000, 131072, 33) +
                       "ERR writeFlash: write failed errno: 5 Input/output error\n");
    EXPECT_EQ(readWholeFile(kUpdateReportPath),
              std::string(kReportStart) + " 33 percent write failed errno: 5 Input/output error\n");
    std::string contents = flashContents();
    std::string old = oldFlash();
    EXPECT_TRUE(contents.compare(0x20000, 0x10000, text(lap), 0, 0x10000) == 0);
    EXPECT_EQ(contents.substr(0x30000, 0x10000), std::string(0x10000, '\xFF'));
    EXPECT_TRUE(contents.compare(0x40000, std::string::npos, old, 0x40000) == 0);
}

TEST_F(WriteImage, ShortDeviceWritesStillWriteTheWholeImage) {
    writeWholeFile(simStatePath(kFlashFaultFile), "shortwrite");
    Bytes lap = makeLapImage(200000);
    writeWholeFile(kImage, makeUpdateImage(lap));
    std::string out;
    EXPECT_EQ(run(&out), 1);
    expectWritten(lap);
}

TEST_F(WriteImage, MissingFlashDevice) {
    writeWholeFile(simStatePath(kFlashFaultFile), "missing");
    writeWholeFile(kImage, makeUpdateImage(makeLapImage(1000)));
    std::string out;
    EXPECT_EQ(run(&out), -1);
    EXPECT_NE(out.find("ERR eraseFlash: open device_/dev/flash0 in mode_0 failed! errno: 2 No such "
                       "file or directory\n"),
              std::string::npos)
        << out;
    EXPECT_FALSE(fileExists(kImage));
}

TEST_F(WriteImage, ImageThatCannotBeMappedIsRefused) {
    // A directory opens read-only but can't be mapped.
    mkdir(kImage, 0755);
    for (int i = 0; i < 8; ++i)
        writeWholeFile(std::string(kImage) + "/entry" + std::to_string(i), "");
    struct stat info {};
    ASSERT_EQ(stat(kImage, &info), 0);
    if (info.st_size < 64) GTEST_SKIP() << "directory reports fewer than 64 bytes here";
    std::string out;
    EXPECT_EQ(run(&out), -1);
    const std::string refusal =
        "ERR writeImage: couldn't map image file /tmp/image! errno: 19 No such device\n";
    EXPECT_EQ(out.substr(0, refusal.size()), refusal);
    // The removal command runs all the same; rm refuses a directory.
    EXPECT_NE(out.find("rm: ", refusal.size()), std::string::npos) << out;
    EXPECT_TRUE(flashContents() == oldFlash());
}

}  // namespace
