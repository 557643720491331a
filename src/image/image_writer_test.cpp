#include "image/image_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "core/log.h"
#include "image/flash.h"
#include "image/image_header.h"
#include "sim/flash_model.h"
#include "sim/sim_state.h"
#include "tests/support/board.h"
#include "tests/support/bytes.h"
#include "tools/common/image_builder.h"

namespace {

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

// The identity of an image as its reception keeps it.
ImageIdentity identityOf(const Bytes& image) {
    if (image.size() < kImageHeaderSize) return {};
    return {image.size(), readBigEndian32(&image[kHeaderCrcOffset]),
            readBigEndian32(&image[kDataCrcOffset])};
}

// The SHA-256 of an update image's software image (its file 2), as its reception takes it.
Sha256Digest softwareDigestOf(const Bytes& image) {
    ImageFile file{};
    if (!locateImageFile(image, 2, &file)) return {};
    return sha256(std::span(image).subspan(file.offset, file.size));
}

// Writes image to /tmp/image and runs writeImage over the old flash contents, expecting
// result, with accepted as the image received; then the flash holds the first written bytes of lap
// at imageAreaStart, erased bytes behind them and its old contents elsewhere, and /tmp/image is
// gone.
void run(const Bytes& image, int result, const Bytes& lap, std::size_t written, std::size_t erased,
         const Bytes& accepted) {
    flashLayout.configSectorStart = kDefaultConfigSectorStart;
    flashLayout.sizeKnown = true;
    std::string flash = oldFlash();
    writeWholeFile(simStatePath(kFlashContentsFile), flash);
    writeWholeFile(kUpdateReportPath, kReportStart);
    if (!image.empty()) writeWholeFile("/tmp/image", image);
    testing::internal::CaptureStderr();
    EXPECT_EQ(writeImage(identityOf(accepted), softwareDigestOf(accepted)), result);
    std::copy_n(lap.begin(), written, flash.begin() + imageAreaStart);
    std::fill_n(flash.begin() + imageAreaStart + written, erased, '\xFF');
    EXPECT_TRUE(readWholeFile(simStatePath(kFlashContentsFile)) == flash);
    EXPECT_FALSE(fileExists("/tmp/image"));
    testing::internal::GetCapturedStderr();
}

TEST(WriteImage, WritesTheLapImageSectorBySectorOverOldData) {
    // Within a sector, whole sectors, and up to the config sector, which keeps its contents.
    for (std::size_t length : {200000, 3 * 65536, 0x1D0000 - 1}) {
        SCOPED_TRACE(length);
        Bytes lap = lapImage(length);
        Bytes image = updateImage(lap);
        run(image, 1, lap, length, (0x10000 - length % 0x10000) % 0x10000, image);
        EXPECT_EQ(readWholeFile(kUpdateReportPath), kReportStart + "100 percent ");
    }
}

// The report carries the failure; the flash keeps its contents. (A failing erase or write, in
// the first sector or a later one: the fault table; an image other than the one received, or
// its software image another: the firmware step's and the software image's system tests.)
TEST(WriteImage, FailureWritesNothingAndRemovesTheImage) {
    Bytes corrupt = lapImage(5000);
    corrupt[4000] ^= 0x01;  // the data checksum no longer fits
    Bytes lap = lapImage(3 * 65536);
    const struct {
        Bytes image;
        std::string report;  // behind the step's start
        Bytes accepted;      // the image received; none: image itself
    } cases[] = {
        {Bytes(), "File opening error for file :/tmp/image errno = 2 No such file or directory \n",
         updateImage(lap)},
        {updateImage(lapImage(0x1D0000)),
         "Not enough space (1900544 Bytes) in flash to write lap image with 1900544 Bytes!\n",
         {}},
        {updateImage(corrupt), "Bad Data Checksum\n", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.report);
        run(c.image, -1, lap, 0, 0, c.accepted.empty() ? c.image : c.accepted);
        EXPECT_EQ(readWholeFile(kUpdateReportPath), kReportStart + c.report);
    }
}

// A flash size that start-up couldn't have is asked for again before the image is written;
// the image then goes by the flash's real layout. (Still unknown, nothing is written: the
// fault table of the system tests.)
TEST(WriteImage, FlashSizeUnknownAtStartUpIsAskedAgain) {
    Bytes lap = lapImage(5000);
    flashLayout.sizeKnown = false;
    writeWholeFile(simStatePath(kFlashSizeFile), "0x100000");
    writeWholeFile(simStatePath(kFlashContentsFile), oldFlash().substr(0, 0x100000));
    Bytes image = updateImage(lap);
    writeWholeFile("/tmp/image", image);
    testing::internal::CaptureStderr();
    EXPECT_EQ(writeImage(identityOf(image), softwareDigestOf(image)), 1);
    testing::internal::GetCapturedStderr();
    std::string flash = oldFlash().substr(0, 0x100000);
    std::copy(lap.begin(), lap.end(), flash.begin() + imageAreaStart);
    std::fill_n(flash.begin() + imageAreaStart + 5000, 0x10000 - 5000, '\xFF');
    EXPECT_TRUE(readWholeFile(simStatePath(kFlashContentsFile)) == flash);
    flashLayout.configSectorStart = kDefaultConfigSectorStart;
}

}  // namespace
