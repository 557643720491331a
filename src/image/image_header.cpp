#include "image/image_header.h"

#include <array>
#include <cstring>
#include <type_traits>
#include <utility>

#include "core/byte_order.h"
#include "core/error_codes.h"
#include "core/log.h"

namespace {

// The CRC runs over the image in its mapping at about a byte per lookup. Several
// independent CRC registers ("braids") each take one word of every block of kBraids words,
// so the lookups of the braids overlap instead of waiting on each other; at the end the
// braids are folded into one register. Words are assembled from bytes, lowest address in the
// low byte, which is the order in which the reflected CRC consumes them: the result is the
// same on either byte order and at any alignment.
using CrcWord = std::conditional_t<sizeof(void*) >= 8, std::uint64_t, std::uint32_t>;
constexpr std::size_t kWordBytes = sizeof(CrcWord);
constexpr std::size_t kBraids = 5;
constexpr std::size_t kBlockBytes = kBraids * kWordBytes;
constexpr std::uint32_t kCrcPolynomial = 0xEDB88320;

struct CrcTables {
    // The CRC register after shifting the byte value n through the polynomial.
    std::array<std::uint32_t, 256> byte;
    // braid[b][n]: the register contribution of byte value n at position b of a word,
    // carried forward to the start of the same braid's next word, one block later.
    std::array<std::array<std::uint32_t, 256>, kWordBytes> braid;
};

// The tables are made at run time rather than stored in the program: they are 5 KiB that the
// board's flash would otherwise carry, and making them takes a fraction of a millisecond.
CrcTables makeCrcTables() {
    CrcTables tables{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t reg = n;
        for (int bit = 0; bit < 8; ++bit) reg = (reg & 1) ? (reg >> 1) ^ kCrcPolynomial : reg >> 1;
        tables.byte[n] = reg;
    }
    for (std::size_t position = 0; position < kWordBytes; ++position) {
        for (std::size_t n = 0; n < 256; ++n) {
            std::uint32_t reg = tables.byte[n];
            for (std::size_t zero = position + 1; zero < kBlockBytes; ++zero) {
                reg = tables.byte[reg & 0xFF] ^ (reg >> 8);
            }
            tables.braid[position][n] = reg;
        }
    }
    return tables;
}

// Made at the first CRC rather than with the other statics, so that a checksum taken while
// they are initialised never sees the tables still empty.
const CrcTables& crcTables() {
    static const CrcTables tables = makeCrcTables();
    return tables;
}
// The board's data cache holds the tables with room to spare.
static_assert(sizeof(CrcTables) <= 16 * 1024);

template <std::size_t... Position>
inline CrcWord loadWord(const std::uint8_t* bytes, std::index_sequence<Position...>) {
    return ((CrcWord{bytes[Position]} << (8 * Position)) | ...);
}
inline CrcWord loadWord(const std::uint8_t* bytes) {
    return loadWord(bytes, std::make_index_sequence<kWordBytes>{});
}

template <std::size_t... Position>
inline std::uint32_t braidWord(const CrcTables& tables, CrcWord word,
                               std::index_sequence<Position...>) {
    return (tables.braid[Position][(word >> (8 * Position)) & 0xFF] ^ ...);
}

// One block: every braid takes its word.
template <std::size_t... Braid>
inline void braidBlock(const CrcTables& tables, CrcWord* regs, const std::uint8_t* block,
                       std::index_sequence<Braid...>) {
    CrcWord words[kBraids] = {(regs[Braid] ^ loadWord(block + Braid * kWordBytes))...};
    ((regs[Braid] = braidWord(tables, words[Braid], std::make_index_sequence<kWordBytes>{})), ...);
}

inline std::uint32_t crcByte(const CrcTables& tables, std::uint32_t reg, std::uint8_t byte) {
    return tables.byte[(reg ^ byte) & 0xFF] ^ (reg >> 8);
}

// The register after a whole word whose data has already been combined into it.
inline CrcWord crcWord(const CrcTables& tables, CrcWord word) {
    for (std::size_t i = 0; i < kWordBytes; ++i) word = tables.byte[word & 0xFF] ^ (word >> 8);
    return word;
}

// The words of the size list of a multi-file image lie from offset 64 on; false when the
// list has no terminating 0 within length bytes. count receives the number of files.
bool countImageFiles(const std::uint8_t* image, std::uint64_t length, std::uint32_t* count) {
    std::uint32_t files = 0;
    for (std::uint64_t at = kImageHeaderSize; at + 4 <= length; at += 4, ++files) {
        if (readBigEndian32(image + at) == 0) {
            *count = files;
            return true;
        }
    }
    return false;
}

// Walks the files of a multi-file image of length bytes with count files. Returns the index
// of the first file that does not lie wholly within length bytes, or count when all do;
// the place of file stopAt (when below count) goes to *file.
std::uint32_t walkImageFiles(const std::uint8_t* image, std::uint64_t length, std::uint32_t count,
                             std::uint32_t stopAt, ImageFile* file) {
    std::uint64_t offset = kImageHeaderSize + 4 * (std::uint64_t{count} + 1);
    for (std::uint32_t index = 0; index < count; ++index) {
        std::uint64_t size = readBigEndian32(image + kImageHeaderSize + 4 * std::uint64_t{index});
        if (offset + size > length) return index;
        if (index == stopAt) {
            *file = {static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(size)};
            return count;
        }
        offset += (size + 3) & ~std::uint64_t{3};
    }
    return count;
}

}  // namespace

std::uint32_t calcCrc32(std::uint32_t crc, const std::uint8_t* data, std::size_t length) {
    if (data == nullptr) return 0;
    const CrcTables& tables = crcTables();
    std::uint32_t reg = ~crc;
    // Up to a word boundary: aligned loads are cheaper on the board.
    while (length != 0 && (reinterpret_cast<std::uintptr_t>(data) & (kWordBytes - 1)) != 0) {
        reg = crcByte(tables, reg, *data++);
        --length;
    }
    // The braids need one block after the last braided one to fold into a single register.
    std::size_t blocks = length / kBlockBytes;
    if (blocks >= 2) {
        length -= blocks * kBlockBytes;
        CrcWord regs[kBraids] = {reg};
        for (std::size_t left = blocks - 1; left != 0; --left) {
            braidBlock(tables, regs, data, std::make_index_sequence<kBraids>{});
            data += kBlockBytes;
        }
        CrcWord folded = 0;
        for (std::size_t braid = 0; braid < kBraids; ++braid) {
            folded = crcWord(tables, folded ^ regs[braid] ^ loadWord(data));
            data += kWordBytes;
        }
        reg = static_cast<std::uint32_t>(folded);
    }
    // The rest eight bytes per pass, then the last 0 to 7 one at a time.
    for (; length >= 8; length -= 8, data += 8) {
        for (std::size_t i = 0; i < 8; ++i) reg = crcByte(tables, reg, data[i]);
    }
    while (length != 0) {
        reg = crcByte(tables, reg, *data++);
        --length;
    }
    return ~reg;
}

int checkHeader(const std::uint8_t* image, std::uint32_t fileLength, char* name,
                std::int32_t* fileCount) {
    // Never read past the file: a caller that checks a piece of a mapping passes its length.
    if (fileLength < kImageHeaderSize) {
        UPDATE_ERR(LogLevel::Critical, kErrorOperationFailed,
                   "image file size %u shorter than the image header\n", fileLength);
        return -1;
    }
    std::array<std::uint8_t, kImageHeaderSize> header;
    std::memcpy(header.data(), image, header.size());

    if (readBigEndian32(header.data() + kMagicOffset) != kImageMagic) {
        UPDATE_ERR(LogLevel::Critical, kErrorOperationFailed, "Bad Magic Number\n");
        return -1;
    }
    std::uint32_t headerCrc = readBigEndian32(header.data() + kHeaderCrcOffset);
    writeBigEndian32(header.data() + kHeaderCrcOffset, 0);
    if (calcCrc32(0, header.data(), header.size()) != headerCrc) {
        UPDATE_ERR(LogLevel::Critical, kErrorOperationFailed, "Bad Header Checksum\n");
        return -1;
    }
    std::uint32_t dataLength = fileLength - static_cast<std::uint32_t>(kImageHeaderSize);
    std::uint32_t dataSize = readBigEndian32(header.data() + kDataSizeOffset);
    if (dataSize != dataLength) {
        UPDATE_ERR(LogLevel::Critical, kErrorOperationFailed,
                   "image file size %d not equal image data size %d\n",
                   static_cast<int>(dataLength), static_cast<int>(dataSize));
        return -1;
    }
    if (calcCrc32(0, image + kImageHeaderSize, dataLength) !=
        readBigEndian32(header.data() + kDataCrcOffset)) {
        UPDATE_ERR(LogLevel::Critical, kErrorOperationFailed, "Bad Data Checksum\n");
        return -1;
    }

    // The readers of a multi-file image rely on its size list and files lying in the data.
    std::uint32_t files = 0;
    bool multiFile = header[kImageTypeOffset] == kMultiFileImageType;
    if (multiFile) {
        if (!countImageFiles(image, fileLength, &files)) {
            UPDATE_ERR(LogLevel::Critical, kErrorOperationFailed,
                       "multi-file image: list of file sizes not ended by 0 within the data\n");
            return -1;
        }
        std::uint32_t outside = walkImageFiles(image, fileLength, files, files, nullptr);
        if (outside < files) {
            UPDATE_ERR(LogLevel::Critical, kErrorOperationFailed,
                       "multi-file image: file %u of %u Bytes reaches beyond the data\n", outside,
                       readBigEndian32(image + kImageHeaderSize + 4 * std::size_t{outside}));
            return -1;
        }
    }

    std::memset(name, 0, kImageNameSize + 1);
    std::memcpy(name, header.data() + kImageNameOffset, kImageNameSize);
    *fileCount = static_cast<std::int32_t>(files);
    return 1;
}

bool locateImageFile(std::span<const std::uint8_t> image, std::int32_t index, ImageFile* file) {
    if (index < 0 || image.size() < kImageHeaderSize ||
        image[kImageTypeOffset] != kMultiFileImageType) {
        return false;
    }
    std::uint32_t count = 0;
    if (!countImageFiles(image.data(), image.size(), &count)) return false;
    auto wanted = static_cast<std::uint32_t>(index);
    if (wanted >= count) return false;
    ImageFile found{};
    if (walkImageFiles(image.data(), image.size(), count, wanted, &found) != count) return false;
    *file = found;
    return true;
}
