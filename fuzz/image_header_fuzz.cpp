// The update image as the daemon reads it from /tmp/image: checkHeader (magic number, header
// and data CRC-32, data size, the multi-file size list) and the lookup of a file in it.
//
// Input: one flags byte, then the image. Flags bit 0 "seals" the image: the harness sets the
// magic number, the data size and both CRCs, so that the fuzzer reaches the size list of
// CRC-valid images; bit 1 makes it a multi-file image (type 4) as well; bits 2-4 shift the
// image from its buffer's alignment (the CRC reads words where it can).
//
// Promises checked: the CRC equals a bit-by-bit CRC-32 and chains over any split; an image is
// accepted exactly when its header fields, CRCs and size list hold; the outputs are written
// only on acceptance; every file of an accepted multi-file image lies inside the image, on a
// 4-byte boundary behind the list's terminating 0, one after the other; the digests of its
// files and the statement that a signature covers are those of the files it lists, and a
// signature block in file 0 is parsed within it; the mapped image at /tmp/image gets the same
// verdict.
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/byte_order.h"
#include "core/mapped_file.h"
#include "fuzz/fuzz_support.h"
#include "image/image_header.h"
#include "image/image_signature.h"
#include "image/update_image.h"

namespace {

std::uint32_t bitwiseCrc32(const std::uint8_t* data, std::size_t length) {
    std::uint32_t reg = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < length; ++i) {
        reg ^= data[i];
        for (int bit = 0; bit < 8; ++bit) reg = (reg & 1) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    }
    return ~reg;
}

void seal(std::uint8_t* image, std::size_t length, bool multiFile) {
    writeBigEndian32(image + kMagicOffset, kImageMagic);
    if (multiFile) image[kImageTypeOffset] = kMultiFileImageType;
    auto dataLength = static_cast<std::uint32_t>(length - kImageHeaderSize);
    writeBigEndian32(image + kDataSizeOffset, dataLength);
    writeBigEndian32(image + kDataCrcOffset, bitwiseCrc32(image + kImageHeaderSize, dataLength));
    writeBigEndian32(image + kHeaderCrcOffset, 0);
    writeBigEndian32(image + kHeaderCrcOffset, bitwiseCrc32(image, kImageHeaderSize));
}

// The size list by the format: files before the first 0 word; nothing when no 0 word lies
// in the image.
bool listedFiles(const std::uint8_t* image, std::size_t length, std::uint32_t* count) {
    for (std::size_t at = kImageHeaderSize, files = 0; at + 4 <= length; at += 4, ++files) {
        if (readBigEndian32(image + at) == 0) {
            *count = static_cast<std::uint32_t>(files);
            return true;
        }
    }
    return false;
}

void checkCrc(const std::uint8_t* data, std::size_t length, std::size_t split) {
    std::uint32_t whole = calcCrc32(0, data, length);
    FUZZ_ASSERT(whole == bitwiseCrc32(data, length), "calcCrc32 is the CRC-32 of IEEE 802.3");
    split = length == 0 ? 0 : split % (length + 1);
    std::uint32_t chained = calcCrc32(calcCrc32(0, data, split), data + split, length - split);
    FUZZ_ASSERT(chained == whole, "calcCrc32 chains over consecutive pieces");
    FUZZ_ASSERT(calcCrc32(whole, data, 0) == whole, "no bytes leave the running value");
    FUZZ_ASSERT(calcCrc32(0x12345678u, nullptr, length) == 0, "a null pointer yields 0");
}

// The signature's parts of an accepted multi-file image: the digests of its files after
// file 0, as a statement built here from each file's own SHA-256, and file 0's signature
// block, whose parts lie inside file 0, one after the other.
void checkSignatureParts(std::span<const std::uint8_t> image, std::int32_t fileCount) {
    ImageDigests digests{};
    FUZZ_ASSERT(digestImageFiles(image, fileCount, &digests) == (fileCount >= 2),
                "the files after file 0 of an accepted image are digested, when there are any");
    if (fileCount < 2) return;
    std::vector<std::uint8_t> statement(4);
    writeBigEndian32(statement.data(), static_cast<std::uint32_t>(fileCount - 1));
    Sha256Digest own{};
    for (std::int32_t index = 1; index < fileCount; ++index) {
        ImageFile file{};
        locateImageFile(image, index, &file);
        own = sha256(image.subspan(file.offset, file.size));
        if (index == 1) FUZZ_ASSERT(own == digests.archive, "the archive's digest is file 1's");
        std::size_t at = statement.size();
        statement.resize(at + 4);
        writeBigEndian32(statement.data() + at, file.size);
        statement.insert(statement.end(), own.begin(), own.end());
    }
    FUZZ_ASSERT(own == digests.software, "the software's digest is the last file's");
    FUZZ_ASSERT(sha256(statement) == digests.signedDigest,
                "the signed digest is the statement's: count, then each file's size and digest");

    ImageFile file0{};
    locateImageFile(image, 0, &file0);
    std::span<const std::uint8_t> first = image.subspan(file0.offset, file0.size);
    SignatureBlock block{};
    if (parseSignatureBlock(first, &block) != SignatureBlockParse::Found) return;
    const std::size_t headerSize = block.format == kSignatureFormatSecurity
                                       ? kSecurityBlockHeaderSize
                                       : kSignatureBlockHeaderSize;
    FUZZ_ASSERT(block.signature.data() == first.data() + headerSize &&
                    block.note.data() == block.signature.data() + block.signature.size() &&
                    block.note.data() + block.note.size() == first.data() + first.size(),
                "the signature and the note follow the block's header to file 0's end");
}

// What must hold of an image that checkHeader accepted.
void checkAccepted(const std::uint8_t* image, std::size_t length, const char* name,
                   std::int32_t fileCount) {
    FUZZ_ASSERT(length >= kImageHeaderSize, "an accepted image holds its header");
    FUZZ_ASSERT(readBigEndian32(image + kMagicOffset) == kImageMagic, "accepted: magic number");
    FUZZ_ASSERT(readBigEndian32(image + kDataSizeOffset) == length - kImageHeaderSize,
                "accepted: data size is the file length less the header");
    FUZZ_ASSERT(readBigEndian32(image + kDataCrcOffset) ==
                    bitwiseCrc32(image + kImageHeaderSize, length - kImageHeaderSize),
                "accepted: data CRC");
    std::uint8_t header[kImageHeaderSize];
    std::memcpy(header, image, sizeof header);
    writeBigEndian32(header + kHeaderCrcOffset, 0);
    FUZZ_ASSERT(readBigEndian32(image + kHeaderCrcOffset) == bitwiseCrc32(header, sizeof header),
                "accepted: header CRC");
    FUZZ_ASSERT(std::memcmp(name, image + kImageNameOffset, kImageNameSize) == 0 &&
                    name[kImageNameSize] == '\0',
                "the name buffer holds the 32 name bytes and a terminating 0");

    std::span<const std::uint8_t> bytes(image, length);
    ImageFile file{};
    FUZZ_ASSERT(!locateImageFile(bytes, -1, &file), "no file before file 0");
    if (image[kImageTypeOffset] != kMultiFileImageType) {
        FUZZ_ASSERT(fileCount == 0, "an image of another type counts no files");
        FUZZ_ASSERT(!locateImageFile(bytes, 0, &file), "an image of another type holds no file");
        return;
    }
    std::uint32_t listed = 0;
    FUZZ_ASSERT(listedFiles(image, length, &listed), "accepted: the size list ends inside");
    FUZZ_ASSERT(fileCount >= 0 && static_cast<std::uint32_t>(fileCount) == listed,
                "the file count is the number of sizes before the terminating 0");
    std::uint64_t next = kImageHeaderSize + 4 * (std::uint64_t{listed} + 1);
    for (std::uint32_t i = 0; i < listed; ++i) {
        FUZZ_ASSERT(locateImageFile(bytes, static_cast<std::int32_t>(i), &file),
                    "every listed file of an accepted image is found");
        FUZZ_ASSERT(file.offset == next && file.offset % 4 == 0,
                    "files follow the list and each other on 4-byte boundaries");
        FUZZ_ASSERT(file.size == readBigEndian32(image + kImageHeaderSize + 4 * i),
                    "a file is as long as its size in the list");
        FUZZ_ASSERT(std::uint64_t{file.offset} + file.size <= length,
                    "every file of an accepted image lies inside the image");
        next = file.offset + ((std::uint64_t{file.size} + 3) & ~std::uint64_t{3});
    }
    FUZZ_ASSERT(!locateImageFile(bytes, static_cast<std::int32_t>(listed), &file),
                "no file after the last listed one");
    checkSignatureParts(bytes, static_cast<std::int32_t>(listed));
}

// A sealed multi-file image is refused only for its size list.
void checkRefusedSealed(const std::uint8_t* image, std::size_t length) {
    std::uint32_t listed = 0;
    if (!listedFiles(image, length, &listed)) return;
    std::uint64_t offset = kImageHeaderSize + 4 * (std::uint64_t{listed} + 1);
    for (std::uint32_t i = 0; i < listed; ++i) {
        std::uint64_t size = readBigEndian32(image + kImageHeaderSize + 4 * i);
        if (offset + size > length) return;
        offset += (size + 3) & ~std::uint64_t{3};
    }
    FUZZ_ASSERT(false, "a sealed image whose files all lie inside is accepted");
}

// The same image placed at /tmp/image, opened and mapped as the reception does.
void checkMapped(const std::uint8_t* image, std::size_t length, int verdict) {
    static constexpr ImageFileMessages kMessages{"image_header_fuzz", ImageFileWording::Reception,
                                                 false};
    writeWholeFile(kImagePath, {reinterpret_cast<const char*>(image), length});
    MappedFile file;
    CheckedImage checked{};
    ImageFileCheck result = openCheckedImage(file, kImagePath, kMessages, &checked);
    FUZZ_ASSERT((result == ImageFileCheck::Valid) == (verdict == 1),
                "the mapped image gets checkHeader's verdict");
    FUZZ_ASSERT(result != ImageFileCheck::NotOpened, "the image file opens");
    if (result == ImageFileCheck::Valid) {
        FUZZ_ASSERT(checked.bytes.size() == length, "the whole file is mapped");
    }
    file.close();
    removeFile(kImagePath);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    std::uint8_t flags = data[0];
    std::size_t length = size - 1;
    std::size_t shift = (flags >> 2) & 7;
    // The image ends where its buffer ends, so that a read past it meets ASan's red zone.
    std::vector<std::uint8_t> buffer(shift + length);
    std::uint8_t* image = buffer.data() + shift;
    if (length > 0) std::memcpy(image, data + 1, length);
    bool sealed = (flags & 1) != 0 && length >= kImageHeaderSize;
    if (sealed) seal(image, length, (flags & 2) != 0);

    checkCrc(image, length, flags);
    if (length < kImageHeaderSize) {
        // Callers refuse such files before the check; the check refuses them as well.
        std::vector<std::uint8_t> header(kImageHeaderSize, 0);
        if (length > 0) std::memcpy(header.data(), image, length);
        char name[kImageNameSize + 1];
        std::int32_t count = -7;
        FUZZ_ASSERT(
            checkHeader(header.data(), static_cast<std::uint32_t>(length), name, &count) == -1 &&
                count == -7,
            "an image shorter than its header is refused");
        return 0;
    }

    char name[kImageNameSize + 1];
    std::memset(name, 0xA5, sizeof name);
    std::int32_t fileCount = -7;
    int verdict = checkHeader(image, static_cast<std::uint32_t>(length), name, &fileCount);
    FUZZ_ASSERT(verdict == 1 || verdict == -1, "checkHeader answers 1 or -1");
    if (verdict == 1) {
        checkAccepted(image, length, name, fileCount);
    } else {
        char untouched[kImageNameSize + 1];
        std::memset(untouched, 0xA5, sizeof untouched);
        FUZZ_ASSERT(fileCount == -7 && std::memcmp(name, untouched, sizeof name) == 0,
                    "a refused image leaves both outputs alone");
        if (sealed && image[kImageTypeOffset] == kMultiFileImageType)
            checkRefusedSealed(image, length);
        FUZZ_ASSERT(!sealed || image[kImageTypeOffset] == kMultiFileImageType,
                    "a sealed image of another type is accepted");
    }
    checkMapped(image, length, verdict);
    return 0;
}
