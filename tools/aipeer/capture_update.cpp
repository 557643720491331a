#include "tools/aipeer/capture_update.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "image/image_header.h"
#include "tools/common/image_builder.h"
#include "tools/common/tar_archive.h"

namespace {

constexpr std::string_view kCaptureName = "BT-LAP capture";
constexpr std::string_view kCaptureNote =
    "BT-LAP capture: reads the module's PS-Keys into /tmp/pskeydump.psr; changes nothing\n";
// The to-do file: the read step alone.
constexpr std::string_view kCaptureTodo =
    "# the steps of this update, in running order\nBT_MOD_SET_READ\n";

constexpr std::size_t kStoredBlockMax = 0xFFFF;
constexpr std::uint8_t kOsUnix = 3;

void appendLittleEndian32(CaptureBytes& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

CaptureBytes bytesOf(std::string_view text) { return CaptureBytes(text.begin(), text.end()); }

CaptureBytes captureArchive() {
    std::string error;
    const std::vector<mkupdate::TarMember> members{
        {"update.d/", true, false, {}},
        {"update.d/updatetodo.txt", false, false, bytesOf(kCaptureTodo)},
    };
    // Names and sizes that fit the format by construction: the archive is always made.
    return storedGzip(mkupdate::tarArchive(members, &error).value_or(CaptureBytes{}));
}

}  // namespace

CaptureBytes storedGzip(std::span<const std::uint8_t> data) {
    CaptureBytes out{0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, kOsUnix};
    std::size_t at = 0;
    do {
        const std::size_t length = std::min(kStoredBlockMax, data.size() - at);
        const bool last = at + length == data.size();
        // BFINAL, then BTYPE 00 (stored); the block's length follows at the next byte.
        out.push_back(last ? 1 : 0);
        const auto word = static_cast<std::uint16_t>(length);
        const auto complement = static_cast<std::uint16_t>(~word);
        out.push_back(static_cast<std::uint8_t>(word & 0xFF));
        out.push_back(static_cast<std::uint8_t>(word >> 8));
        out.push_back(static_cast<std::uint8_t>(complement & 0xFF));
        out.push_back(static_cast<std::uint8_t>(complement >> 8));
        out.insert(out.end(), data.begin() + static_cast<long>(at),
                   data.begin() + static_cast<long>(at + length));
        at += length;
    } while (at < data.size());
    appendLittleEndian32(out, calcCrc32(0, data.data(), data.size()));
    appendLittleEndian32(out, static_cast<std::uint32_t>(data.size()));
    return out;
}

CaptureBytes captureUpdateImage() {
    std::string error;
    return mkupdate::buildMultiImage({bytesOf(kCaptureNote), captureArchive()}, kCaptureName,
                                     &error)
        .value_or(CaptureBytes{});
}

std::string captureUpdateRefusal(std::span<const std::uint8_t> image) {
    const mkupdate::ImageListing listing = mkupdate::inspectImage(image);
    if (!listing.valid()) return "not a valid update image: " + listing.failure;
    const CaptureBytes own = captureUpdateImage();
    const mkupdate::ImageListing ownListing = mkupdate::inspectImage(own);
    if (listing.files.size() != ownListing.files.size())
        return "not the read-only update: it holds " + std::to_string(listing.files.size()) +
               " files, not " + std::to_string(ownListing.files.size());
    for (std::size_t i = 1; i < listing.files.size(); ++i) {
        const mkupdate::ListedFile& file = listing.files[i];
        const mkupdate::ListedFile& ownFile = ownListing.files[i];
        if (file.size != ownFile.size ||
            std::memcmp(image.data() + file.offset, own.data() + ownFile.offset, file.size) != 0)
            return "not the read-only update: its file " + std::to_string(i) +
                   " differs from that of \"aipeer capture-image\"";
    }
    return "";
}
