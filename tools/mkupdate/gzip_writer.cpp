#include "tools/mkupdate/gzip_writer.h"

#include <algorithm>
#include <array>

#include "image/image_header.h"
#include "tools/mkupdate/deflate_tables.h"

namespace mkupdate {
namespace {

constexpr std::size_t kWindowSize = 32768;
constexpr std::size_t kMinMatch = 3;
constexpr std::size_t kMaxMatch = 258;
constexpr std::size_t kHashBits = 15;
// How many earlier places with the same three bytes are tried: enough for text and
// programs, and it bounds the time spent on long runs of equal bytes.
constexpr int kMaxChain = 128;

// Deflate's bit order: values low bit first, Huffman codes high bit first.
class BitWriter {
public:
    explicit BitWriter(std::vector<std::uint8_t>& out) : out_(out) {}
    void put(std::uint32_t value, int count) {
        bits_ |= value << used_;
        used_ += count;
        while (used_ >= 8) {
            out_.push_back(static_cast<std::uint8_t>(bits_));
            bits_ >>= 8;
            used_ -= 8;
        }
    }
    void putCode(std::uint32_t code, int length) {
        std::uint32_t reversed = 0;
        for (int i = 0; i < length; ++i) reversed |= ((code >> i) & 1) << (length - 1 - i);
        put(reversed, length);
    }
    void flush() {
        if (used_ > 0) out_.push_back(static_cast<std::uint8_t>(bits_));
        bits_ = 0;
        used_ = 0;
    }

private:
    std::vector<std::uint8_t>& out_;
    std::uint32_t bits_ = 0;
    int used_ = 0;
};

// The fixed literal/length code.
void putSymbol(BitWriter& bits, std::uint32_t symbol) {
    if (symbol < 144) {
        bits.putCode(0x30 + symbol, 8);
    } else if (symbol < 256) {
        bits.putCode(0x190 + symbol - 144, 9);
    } else if (symbol < 280) {
        bits.putCode(symbol - 256, 7);
    } else {
        bits.putCode(0xC0 + symbol - 280, 8);
    }
}

void putMatch(BitWriter& bits, std::size_t length, std::size_t distance) {
    std::size_t code = kLengthBase.size() - 1;
    while (kLengthBase[code] > length) --code;
    putSymbol(bits, static_cast<std::uint32_t>(257 + code));
    bits.put(static_cast<std::uint32_t>(length - kLengthBase[code]), kLengthExtra[code]);
    code = kDistanceBase.size() - 1;
    while (kDistanceBase[code] > distance) --code;
    bits.putCode(static_cast<std::uint32_t>(code), 5);
    bits.put(static_cast<std::uint32_t>(distance - kDistanceBase[code]), kDistanceExtra[code]);
}

std::uint32_t hashAt(std::span<const std::uint8_t> data, std::size_t at) {
    std::uint32_t key =
        (std::uint32_t{data[at]} << 16) | (std::uint32_t{data[at + 1]} << 8) | data[at + 2];
    return (key * 2654435761u) >> (32 - kHashBits);
}

// One final block with the fixed codes; greedy matching over hash chains.
void deflate(std::span<const std::uint8_t> data, std::vector<std::uint8_t>& out) {
    BitWriter bits(out);
    bits.put(1, 1);  // final block
    bits.put(1, 2);  // fixed codes
    std::vector<std::int64_t> head(std::size_t{1} << kHashBits, -1);
    std::vector<std::int64_t> previous(data.size(), -1);
    auto insert = [&](std::size_t at) {
        if (at + kMinMatch > data.size()) return;
        std::uint32_t hash = hashAt(data, at);
        previous[at] = head[hash];
        head[hash] = static_cast<std::int64_t>(at);
    };
    std::size_t at = 0;
    while (at < data.size()) {
        std::size_t bestLength = 0;
        std::size_t bestDistance = 0;
        if (at + kMinMatch <= data.size()) {
            std::size_t limit = std::min(kMaxMatch, data.size() - at);
            std::int64_t candidate = head[hashAt(data, at)];
            for (int tries = 0; candidate >= 0 && tries < kMaxChain; ++tries) {
                auto from = static_cast<std::size_t>(candidate);
                if (at - from > kWindowSize) break;
                std::size_t length = 0;
                while (length < limit && data[from + length] == data[at + length]) ++length;
                if (length > bestLength) {
                    bestLength = length;
                    bestDistance = at - from;
                    if (length == limit) break;
                }
                candidate = previous[from];
            }
        }
        if (bestLength >= kMinMatch) {
            putMatch(bits, bestLength, bestDistance);
            for (std::size_t i = 0; i < bestLength; ++i) insert(at + i);
            at += bestLength;
        } else {
            putSymbol(bits, data[at]);
            insert(at);
            ++at;
        }
    }
    putSymbol(bits, kEndOfBlock);
    bits.flush();
}

void putLittleEndian32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace

std::vector<std::uint8_t> gzipCompress(std::span<const std::uint8_t> data) {
    // Magic, deflate, no flags, time stamp 0, no extra flags, made on Unix.
    std::vector<std::uint8_t> out{0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3};
    deflate(data, out);
    putLittleEndian32(out, calcCrc32(0, data.data(), data.size()));
    putLittleEndian32(out, static_cast<std::uint32_t>(data.size()));
    return out;
}

}  // namespace mkupdate
