#include "tools/aipeer/capture_update.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/support/board.h"
#include "tests/support/updates.h"
#include "tools/aipeer/board_capture.h"
#include "tools/common/image_builder.h"

namespace {

// data, through gzip's stored blocks and the board's own gunzip (the same program here) back.
std::string throughGunzip(const std::string& data) {
    const CaptureBytes packed =
        storedGzip(std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
    writeWholeFile("/tmp/stored.gz", packed);
    ProgramRun unpacked = runProgram("gunzip -c /tmp/stored.gz");
    EXPECT_EQ(unpacked.status, 0) << unpacked.err;
    return unpacked.out;
}

TEST(CaptureUpdate, StoredGzipUnpacksWhateverItsLength) {
    // Blocks hold at most 65535 bytes: empty, one short block, one full, and several.
    for (std::size_t length : {0, 1, 65535, 65536, 200000}) {
        std::string data(length, '\0');
        for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<char>(i * 7 + i / 251);
        EXPECT_EQ(throughGunzip(data), data) << length;
    }
}

// The read-only update is recognised by its files after file 0, which a signature leaves as
// they are; any other image is refused with the reason.
TEST(CaptureUpdate, OnlyTheReadOnlyUpdateIsTakenSignedOrNot) {
    const CaptureBytes own = captureUpdateImage();
    EXPECT_EQ(captureUpdateRefusal(own), "");
    const mkupdate::ImageListing listing = mkupdate::inspectImage(own);
    ASSERT_EQ(listing.files.size(), 2u);
    auto fileOf = [&](std::size_t i) {
        return CaptureBytes(
            own.begin() + static_cast<long>(listing.files[i].offset),
            own.begin() + static_cast<long>(listing.files[i].offset + listing.files[i].size));
    };
    std::string error;
    CaptureBytes note{'s', 'i', 'g', 'n', 'e', 'd', '\n'};
    EXPECT_EQ(captureUpdateRefusal(*mkupdate::buildMultiImage({note, fileOf(1)}, "x", &error)), "");

    CaptureBytes archive = fileOf(1);
    archive[archive.size() / 2] ^= 1;
    EXPECT_EQ(captureUpdateRefusal(*mkupdate::buildMultiImage({note, archive}, "x", &error)),
              "not the read-only update: its file 1 differs from that of \"aipeer "
              "capture-image\"");
    EXPECT_EQ(captureUpdateRefusal(sampleUpdateWithoutModule()),
              "not the read-only update: it holds 3 files, not 2");
    CaptureBytes damaged = own;
    damaged.back() ^= 1;
    EXPECT_TRUE(captureUpdateRefusal(damaged).starts_with("not a valid update image: "));
}

// module.psr: the dump as it came, after the lines that say what the dump can't; the firmware
// as the version check reads data.txt, whatever its line ends.
TEST(CaptureUpdate, TheDumpGetsTheFirmwareAndStartLines) {
    const std::string dump = "&0001 = 0012\r\n&0002 = 0000\r\n";
    const std::string head =
        "// captured by aipeer capture on lap-17, 2026-12-08 08:00:00 UTC: the read step's dump "
        "of the module's PS-Keys\r\n";
    const std::string tail =
        "// starts on: hci\r\n"
        "// keys the module's firmware refuses to set can't be read off a board: add them as // "
        "refuses: &kkkk &kkkk\r\n" +
        dump;
    struct Case {
        const char* dataTxt;
        const char* firmwareLine;
    } cases[] = {
        {"DEVICE=x\r\nBTFIRMWARE=2114 17.3.5\r\nBTFIRMWARE=1\r\n", "// firmware: 2114 17.3.5\r\n"},
        {"BTFIRMWARE=2114 17.3.5 \n", "// firmware: 2114 17.3.5\r\n"},
        {"BTFIRMWARE=2114 17.3.5", "// firmware: 2114 17.3.5\r\n"},
        {"DEVICE=x\r\n",
         "// the module's firmware is not named in /etc/data.txt (BTFIRMWARE=): add it as // "
         "firmware: VERSION\r\n"},
        {"BTFIRMWARE=\r\n",
         "// the module's firmware is not named in /etc/data.txt (BTFIRMWARE=): add it as // "
         "firmware: VERSION\r\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(capturedModulePsr(dump, c.dataTxt, "lap-17, 2026-12-08 08:00:00 UTC"),
                  head + c.firmwareLine + tail)
            << c.dataTxt;
    }
    EXPECT_EQ(flashSizeText(0x400000), "4M\n");
    EXPECT_EQ(flashSizeText(0x30000), "196608\n");
}

}  // namespace
