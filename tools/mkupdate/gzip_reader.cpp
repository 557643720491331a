#include "tools/mkupdate/gzip_reader.h"

#include <array>
#include <cstdio>

#include "image/image_header.h"
#include "tools/mkupdate/deflate_tables.h"

namespace mkupdate {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kMaxCodeLength = 15;
constexpr std::size_t kMaxLiteralSymbols = 288;
constexpr std::size_t kMaxDistanceSymbols = 32;
constexpr std::size_t kGzipHeaderSize = 10;
constexpr std::size_t kGzipTrailerSize = 8;
// Header flags (RFC 1952): a CRC-16 of the header, extra field, file name, comment.
constexpr std::uint8_t kFlagHeaderCrc = 0x02;
constexpr std::uint8_t kFlagExtra = 0x04;
constexpr std::uint8_t kFlagName = 0x08;
constexpr std::uint8_t kFlagComment = 0x10;
constexpr std::uint8_t kReservedFlags = 0xE0;
// The order in which a dynamic block lists the lengths of the code length code.
constexpr std::array<std::uint8_t, 19> kCodeLengthOrder{16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                        11, 4,  12, 3, 13, 2, 14, 1, 15};

// Input bits, low bit first. Reading past the end yields 0 bits and marks the reader short.
struct BitReader {
    std::span<const std::uint8_t> data;
    std::size_t next = 0;  // the next byte not yet taken into held
    std::uint32_t held = 0;
    int heldCount = 0;
    bool ranOut = false;

    std::uint32_t take(int count) {
        while (heldCount < count) {
            if (next == data.size()) {
                ranOut = true;
                return 0;
            }
            held |= std::uint32_t{data[next++]} << heldCount;
            heldCount += 8;
        }
        std::uint32_t value = held & ((std::uint32_t{1} << count) - 1);
        held >>= count;
        heldCount -= count;
        return value;
    }
    // Drops the rest of the current byte: stored blocks start on a byte boundary.
    void alignToByte() {
        held = 0;
        heldCount = 0;
    }
};

std::size_t littleEndian16(const std::uint8_t* bytes) {
    return std::size_t{bytes[0]} | (std::size_t{bytes[1]} << 8);
}

// A canonical Huffman code: how many codes each length has, and the symbols ordered by code.
struct HuffmanCode {
    std::array<std::uint16_t, kMaxCodeLength + 1> lengthCount{};
    std::array<std::uint16_t, kMaxLiteralSymbols> symbols{};
};

// False when the lengths ask for more codes than their lengths allow. An incomplete code is
// taken: a code missing from it is refused when it occurs.
bool buildCode(std::span<const std::uint8_t> lengths, HuffmanCode& code) {
    code.lengthCount.fill(0);
    for (std::uint8_t length : lengths) ++code.lengthCount[length];
    code.lengthCount[0] = 0;
    int left = 1;
    for (std::size_t length = 1; length <= kMaxCodeLength; ++length) {
        left = 2 * left - code.lengthCount[length];
        if (left < 0) return false;
    }
    std::array<std::uint16_t, kMaxCodeLength + 2> offset{};
    for (std::size_t length = 1; length <= kMaxCodeLength; ++length)
        offset[length + 1] = static_cast<std::uint16_t>(offset[length] + code.lengthCount[length]);
    for (std::size_t symbol = 0; symbol < lengths.size(); ++symbol) {
        if (lengths[symbol] != 0)
            code.symbols[offset[lengths[symbol]]++] = static_cast<std::uint16_t>(symbol);
    }
    return true;
}

// The next symbol, read one bit at a time (codes are sent high bit first); -1 for a code that
// isn't in the table or data that ends within it.
int decodeSymbol(BitReader& bits, const HuffmanCode& code) {
    int value = 0;  // the code read so far
    int first = 0;  // the first code of the current length
    int index = 0;  // the index in symbols of that first code
    for (std::size_t length = 1; length <= kMaxCodeLength; ++length) {
        value |= static_cast<int>(bits.take(1));
        if (bits.ranOut) return -1;
        int count = code.lengthCount[length];
        if (value - first < count)
            return code.symbols[static_cast<std::size_t>(index + value - first)];
        index += count;
        first = (first + count) << 1;
        value <<= 1;
    }
    return -1;
}

struct Inflater {
    BitReader bits;
    Bytes& out;
    std::size_t limit;
    std::string* error;

    bool fail(const std::string& message) {
        *error = message;
        return false;
    }
    bool cutShort() { return fail("deflate data cut short"); }
    bool grow(std::size_t count) {
        if (count > limit - out.size())
            return fail("decompressed data longer than " + std::to_string(limit) + " bytes");
        return true;
    }

    bool storedBlock() {
        bits.alignToByte();
        if (bits.data.size() - bits.next < 4) return cutShort();
        const std::uint8_t* at = bits.data.data() + bits.next;
        std::size_t length = littleEndian16(at);
        std::size_t complement = littleEndian16(at + 2);
        if (length != (~complement & 0xFFFF))
            return fail("stored block length doesn't match its complement");
        bits.next += 4;
        if (bits.data.size() - bits.next < length) return cutShort();
        if (!grow(length)) return false;
        out.insert(out.end(), at + 4, at + 4 + length);
        bits.next += length;
        return true;
    }

    bool codedBlock(const HuffmanCode& literals, const HuffmanCode& distances) {
        for (;;) {
            int symbol = decodeSymbol(bits, literals);
            if (symbol < 0) return bits.ranOut ? cutShort() : fail("invalid literal/length code");
            if (symbol < static_cast<int>(kEndOfBlock)) {
                if (!grow(1)) return false;
                out.push_back(static_cast<std::uint8_t>(symbol));
                continue;
            }
            if (symbol == static_cast<int>(kEndOfBlock)) return true;
            auto lengthCode = static_cast<std::size_t>(symbol) - kFirstLengthSymbol;
            if (lengthCode >= kLengthBase.size()) return fail("invalid length symbol");
            std::size_t length = kLengthBase[lengthCode] + bits.take(kLengthExtra[lengthCode]);
            int distanceCode = decodeSymbol(bits, distances);
            if (distanceCode < 0 || static_cast<std::size_t>(distanceCode) >= kDistanceBase.size())
                return bits.ranOut ? cutShort() : fail("invalid distance code");
            auto code = static_cast<std::size_t>(distanceCode);
            std::size_t distance = kDistanceBase[code] + bits.take(kDistanceExtra[code]);
            if (bits.ranOut) return cutShort();
            if (distance > out.size()) return fail("distance reaches before the start of the data");
            if (!grow(length)) return false;
            // One byte at a time: a copy may overlap the bytes it produces.
            for (std::size_t from = out.size() - distance; length > 0; --length, ++from)
                out.push_back(out[from]);
        }
    }

    bool fixedBlock() {
        std::array<std::uint8_t, kMaxLiteralSymbols> lengths{};
        for (std::size_t symbol = 0; symbol < lengths.size(); ++symbol)
            lengths[symbol] = symbol < 144 ? 8 : symbol < 256 ? 9 : symbol < 280 ? 7 : 8;
        std::array<std::uint8_t, kMaxDistanceSymbols> distanceLengths;
        distanceLengths.fill(5);
        HuffmanCode literals, distances;
        buildCode(lengths, literals);
        buildCode(distanceLengths, distances);
        return codedBlock(literals, distances);
    }

    bool dynamicBlock() {
        std::size_t literalCount = bits.take(5) + 257;
        std::size_t distanceCount = bits.take(5) + 1;
        std::size_t lengthCodeCount = bits.take(4) + 4;
        if (literalCount > 286 || distanceCount > 30) return fail("too many codes in a block");
        std::array<std::uint8_t, 19> codeLengths{};
        for (std::size_t i = 0; i < lengthCodeCount; ++i)
            codeLengths[kCodeLengthOrder[i]] = static_cast<std::uint8_t>(bits.take(3));
        HuffmanCode lengthCode;
        if (!buildCode(codeLengths, lengthCode)) return fail("invalid code length code");
        std::array<std::uint8_t, kMaxLiteralSymbols + kMaxDistanceSymbols> lengths{};
        std::size_t total = literalCount + distanceCount;
        for (std::size_t index = 0; index < total;) {
            int symbol = decodeSymbol(bits, lengthCode);
            if (symbol < 0) return bits.ranOut ? cutShort() : fail("invalid code length");
            if (symbol < 16) {
                lengths[index++] = static_cast<std::uint8_t>(symbol);
                continue;
            }
            std::uint8_t value = 0;
            std::size_t repeat;
            if (symbol == 16) {
                if (index == 0) return fail("a length repeat with no length before it");
                value = lengths[index - 1];
                repeat = 3 + bits.take(2);
            } else {
                repeat = symbol == 17 ? 3 + bits.take(3) : 11 + bits.take(7);
            }
            if (index + repeat > total) return fail("code lengths run past their count");
            for (; repeat > 0; --repeat) lengths[index++] = value;
        }
        if (bits.ranOut) return cutShort();
        if (lengths[kEndOfBlock] == 0) return fail("a block without an end-of-block code");
        HuffmanCode literals, distances;
        if (!buildCode(std::span(lengths).first(literalCount), literals) ||
            !buildCode(std::span(lengths).subspan(literalCount, distanceCount), distances))
            return fail("invalid code lengths");
        return codedBlock(literals, distances);
    }

    // All blocks up to the final one.
    bool run() {
        for (bool final = false; !final;) {
            final = bits.take(1) == 1;
            std::uint32_t type = bits.take(2);
            if (bits.ranOut) return cutShort();
            bool good = type == 0   ? storedBlock()
                        : type == 1 ? fixedBlock()
                        : type == 2 ? dynamicBlock()
                                    : fail("invalid block type 3");
            if (!good) return false;
        }
        return true;
    }
};

std::uint32_t littleEndian32(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} | (std::uint32_t{bytes[1]} << 8) |
           (std::uint32_t{bytes[2]} << 16) | (std::uint32_t{bytes[3]} << 24);
}

// Where the deflate data of the member at the start of data begins, past the optional header
// fields; 0 with a message in error for a header that is cut short or damaged.
std::size_t deflateStart(std::span<const std::uint8_t> data, std::string* error) {
    if (data.size() < kGzipHeaderSize || data[0] != 0x1F || data[1] != 0x8B) {
        *error = "not gzip data";
        return 0;
    }
    std::uint8_t flags = data[3];
    if (data[2] != 8 || (flags & kReservedFlags) != 0) {
        *error = data[2] != 8 ? "unknown compression method" : "reserved header flags set";
        return 0;
    }
    std::size_t at = kGzipHeaderSize;
    bool cut = false;
    if ((flags & kFlagExtra) != 0) {
        cut = data.size() - at < 2 || data.size() - at - 2 < littleEndian16(&data[at]);
        if (!cut) at += 2 + littleEndian16(&data[at]);
    }
    for (std::uint8_t textFlag : {kFlagName, kFlagComment}) {
        if (cut || (flags & textFlag) == 0) continue;
        while (at < data.size() && data[at] != 0) ++at;
        cut = at == data.size();
        ++at;  // the terminating zero
    }
    if (!cut && (flags & kFlagHeaderCrc) != 0) {
        cut = data.size() - at < 2;
        if (!cut && (calcCrc32(0, data.data(), at) & 0xFFFF) != littleEndian16(&data[at])) {
            *error = "gzip header checksum mismatch";
            return 0;
        }
        at += 2;
    }
    if (cut) *error = "gzip header cut short";
    return cut ? 0 : at;
}

// One member from the start of data into out; the number of bytes it takes, or 0.
std::size_t readMember(std::span<const std::uint8_t> data, Bytes& out, std::size_t limit,
                       std::string* error) {
    std::size_t at = deflateStart(data, error);
    if (at == 0) return 0;
    std::size_t start = out.size();
    Inflater inflater{{data.subspan(at)}, out, limit, error};
    if (!inflater.run()) return 0;
    at += inflater.bits.next;
    if (data.size() - at < kGzipTrailerSize) {
        *error = "gzip trailer cut short";
        return 0;
    }
    std::size_t size = out.size() - start;
    if (littleEndian32(data.data() + at) != calcCrc32(0, out.data() + start, size)) {
        *error = "data checksum mismatch";
        return 0;
    }
    if (littleEndian32(data.data() + at + 4) != static_cast<std::uint32_t>(size)) {
        *error = "data length mismatch";
        return 0;
    }
    return at + kGzipTrailerSize;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> gzipDecompress(std::span<const std::uint8_t> data,
                                                        std::size_t limit, std::string* error) {
    Bytes out;
    std::size_t at = 0;
    do {
        std::size_t taken = readMember(data.subspan(at), out, limit, error);
        if (taken == 0) {
            if (at > 0 && error->starts_with("not gzip"))
                *error = std::to_string(data.size() - at) + " bytes after the gzip data";
            return std::nullopt;
        }
        at += taken;
    } while (at < data.size());
    return out;
}

}  // namespace mkupdate
