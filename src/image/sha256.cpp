#include "image/sha256.h"

#include <algorithm>

#include "core/byte_order.h"
#include "image/image_header.h"

namespace {

// The fractional parts of the cube roots of the first 64 primes.
constexpr std::array<std::uint32_t, 64> kRoundConstants = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void compress(std::array<std::uint32_t, 8>& state, const std::uint8_t* block) {
    std::uint32_t w[64];
    for (int t = 0; t < 16; ++t) w[t] = readBigEndian32(block + 4 * t);
    for (int t = 16; t < 64; ++t) {
        std::uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
        std::uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int t = 0; t < 64; ++t) {
        std::uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) +
                           kRoundConstants[static_cast<std::size_t>(t)] + w[t];
        std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

}  // namespace

void sha256Init(Sha256Context& context) {
    // The fractional parts of the square roots of the first 8 primes.
    context.state = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    context.length = 0;
}

void sha256Update(Sha256Context& context, std::span<const std::uint8_t> data) {
    std::size_t held = static_cast<std::size_t>(context.length % 64);
    context.length += data.size();
    std::size_t at = 0;
    if (held > 0) {
        std::size_t take = std::min(64 - held, data.size());
        std::copy_n(data.begin(), take, context.block.begin() + static_cast<std::ptrdiff_t>(held));
        at = take;
        if (held + take < 64) return;
        compress(context.state, context.block.data());
    }
    // Whole blocks straight from the caller's buffer: an image is hashed without a copy.
    for (; data.size() - at >= 64; at += 64) compress(context.state, data.data() + at);
    std::copy(data.begin() + static_cast<std::ptrdiff_t>(at), data.end(), context.block.begin());
}

Sha256Digest sha256Final(Sha256Context& context) {
    std::uint64_t bits = context.length * 8;
    // A one bit, zeros up to 56 bytes into a block, then the length in bits, big-endian.
    std::uint8_t padding[72] = {0x80};
    std::size_t padLength = 64 + 56 - static_cast<std::size_t>(context.length % 64);
    if (padLength > 64) padLength -= 64;
    writeBigEndian32(padding + padLength, static_cast<std::uint32_t>(bits >> 32));
    writeBigEndian32(padding + padLength + 4, static_cast<std::uint32_t>(bits));
    sha256Update(context, std::span<const std::uint8_t>(padding, padLength + 8));
    Sha256Digest digest;
    for (std::size_t i = 0; i < 8; ++i) writeBigEndian32(digest.data() + 4 * i, context.state[i]);
    return digest;
}

Sha256Digest sha256(std::span<const std::uint8_t> data) {
    Sha256Context context;
    sha256Init(context);
    sha256Update(context, data);
    return sha256Final(context);
}
