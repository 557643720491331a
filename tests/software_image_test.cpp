// The software image on the simulated board: whatever becomes of /tmp/image between the
// update's reception and its software step, only the bytes received reach the flash, and they
// are checked before anything is erased, so that the old software stays bootable.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>

#include "core/ai_message.h"
#include "image/image_header.h"
#include "sim/flash_model.h"
#include "sim/sim_state.h"
#include "tests/support/board.h"
#include "tests/support/bytes.h"
#include "tests/support/openssl_keys.h"
#include "tests/support/updates.h"
#include "tools/common/image_builder.h"

using namespace std::chrono_literals;

namespace {

// The CRC-32 register of the image headers (reflected, polynomial 0xEDB88320) after one byte.
std::uint32_t crcRegisterAfter(std::uint32_t reg, std::uint8_t byte) {
    reg ^= byte;
    for (int bit = 0; bit < 8; ++bit) reg = (reg >> 1) ^ (0xEDB88320u & (0u - (reg & 1u)));
    return reg;
}

std::uint32_t crcRegisterOver(std::uint32_t reg, const Bytes& bytes, std::size_t from,
                              std::size_t to) {
    for (std::size_t i = from; i < to; ++i) reg = crcRegisterAfter(reg, bytes[i]);
    return reg;
}

// image with changed put at offset at, and the 4 bytes behind them chosen so that the CRC-32
// register ends the same after them: then every CRC-32 over a range that holds all of them
// is what it was, and the image keeps its size and the CRC-32s of both headers around them.
Bytes withBytesChangedKeepingCrcs(Bytes image, std::size_t at, const Bytes& changed) {
    const std::size_t compensation = at + changed.size();
    const std::uint32_t target = crcRegisterOver(~0u, image, at, compensation + 4);
    std::copy(changed.begin(), changed.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
    // Each step takes the table entry whose top byte is the next register's: going back from
    // the target gives the four entries, going forward the bytes that pick them.
    std::array<std::uint32_t, 256> table{};
    std::array<std::uint8_t, 256> entryWithTopByte{};
    for (unsigned entry = 0; entry < 256; ++entry) {
        table[entry] = crcRegisterAfter(0, static_cast<std::uint8_t>(entry));
        entryWithTopByte[table[entry] >> 24] = static_cast<std::uint8_t>(entry);
    }
    std::array<std::uint8_t, 4> entries{};
    std::uint32_t reg = target;
    for (std::size_t k = 4; k-- > 0;) {
        entries[k] = entryWithTopByte[reg >> 24];
        reg = (reg ^ table[entries[k]]) << 8;
    }
    reg = crcRegisterOver(~0u, image, at, compensation);
    for (std::size_t k = 0; k < 4; ++k) {
        auto byte = static_cast<std::uint8_t>((reg ^ entries[k]) & 0xFFu);
        image[compensation + k] = byte;
        reg = crcRegisterAfter(reg, byte);
    }
    EXPECT_EQ(reg, target);
    return image;
}

// The update's DFU program: it writes /tmp/image.changed over /tmp/image, in place (the same
// file, the same size), then loads the firmware as the DFU stand-in does. So the change lands
// after the reception took the image's digests and before the software step, however fast
// either runs.
constexpr const char* kChangingDfu =
    "#!/bin/sh\n"
    "/usr/bin/dd if=/tmp/image.changed of=/tmp/image conv=notrunc status=none || exit 1\n"
    "exec /tmp/update.d/dfu-standin \"$@\"\n";

struct ChangedImageRow {
    const char* name;
    bool makersKey;  // the board has the makers' key, and the image is signed with it
};

void PrintTo(const ChangedImageRow& row, std::ostream* out) { *out << row.name; }

class ChangedSoftwareImage : public testing::TestWithParam<ChangedImageRow> {};

TEST_P(ChangedSoftwareImage, NeverReachesTheFlash) {
    writeWholeFile(simStatePath("module.baud"), "0\n");
    writeWholeFile(simStatePath("dfu.seconds"), "1\n");
    const std::string oldFlash = seedOldFlash();

    std::map<std::string, std::string> files = firmwareParts();
    files["dfu-standin"] = files["dfu"];
    files["dfu"] = kChangingDfu;
    files["updatetodo.txt"] = "BT_MOD_SET_FIRM_STACK\nLAP_SOFTWARE\n";
    Bytes image = makeUpdateImage(files, true, {"dfu", "dfu-standin"});
    if (GetParam().makersKey) {
        const OpensslKey makers = makeOpensslKey("makers", 3072);
        installUpdateKey(makers, "makers");
        image = signedWith(image, makers);
    }
    const mkupdate::ImageListing listing = mkupdate::inspectImage(image);
    ASSERT_EQ(listing.files.size(), 3u);
    const mkupdate::ListedFile lap = listing.files.back();
    const auto lapStart = static_cast<std::size_t>(lap.offset);

    // Within the software image's first sector, behind its header.
    const Bytes changed = withBytesChangedKeepingCrcs(image, lapStart + kImageHeaderSize + 0x8000,
                                                      bytesOf("not the makers' software"));
    ASSERT_EQ(changed.size(), image.size());
    ASSERT_NE(changed, image);
    ASSERT_TRUE(std::equal(image.begin(), image.begin() + kImageHeaderSize, changed.begin()));
    const auto lapHeader = image.begin() + static_cast<std::ptrdiff_t>(lapStart);
    ASSERT_TRUE(std::equal(lapHeader, lapHeader + std::ptrdiff_t{kImageHeaderSize},
                           changed.begin() + static_cast<std::ptrdiff_t>(lapStart)));
    char name[kImageNameSize + 1];
    std::int32_t fileCount = 0;
    ASSERT_EQ(
        checkHeader(changed.data(), static_cast<std::uint32_t>(changed.size()), name, &fileCount),
        1)
        << "the image's checksums hold";
    ASSERT_EQ(checkHeader(changed.data() + lapStart, static_cast<std::uint32_t>(lap.size), name,
                          &fileCount),
              1)
        << "the software image's checksums hold";
    writeWholeFile("/tmp/image.changed", changed);

    TestPeer peer;
    SimDaemon daemon;
    EXPECT_EQ(runUpdateOnBoard(daemon, peer, image, kEventCap), "NOK") << daemon.standardError();
    const std::string report = readWholeFile("/tmp/update.log");
    EXPECT_TRUE(
        report.ends_with("OK\nUpdate qvl Software:   started ... lap image in /tmp/image "
                         "differs from the image received; flash untouched\n NOK\n"
                         "*UPDATE_FINISHED* ... NOK\n"))
        << report;
    EXPECT_TRUE(readWholeFile(simStatePath(kFlashContentsFile)) == oldFlash)
        << "the old software stays as it was";
    EXPECT_EQ(readWholeFile(simStatePath("module.firmware")), "2114 17.3.5\n")
        << "the firmware step ran";
}

INSTANTIATE_TEST_SUITE_P(Board, ChangedSoftwareImage,
                         testing::Values(ChangedImageRow{"withoutKeys", false},
                                         ChangedImageRow{"signedByTheMakers", true}),
                         testing::PrintToStringParamName());

}  // namespace
