// SHA-256, for the digest that an update image's signature covers. The board has no crypto
// library, so the daemon carries its own; words are built from bytes, so the same code gives
// the same digest on the big-endian board and on a little-endian build host.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr std::size_t kSha256DigestSize = 32;
using Sha256Digest = std::array<std::uint8_t, kSha256DigestSize>;

// An image is hashed as it is read, piece by piece, without holding it twice.
struct Sha256Context {
    std::array<std::uint32_t, 8> state;
    std::array<std::uint8_t, 64> block;  // the input not yet hashed: length % 64 bytes
    std::uint64_t length;                // bytes taken in so far
};

void sha256Init(Sha256Context& context);
void sha256Update(Sha256Context& context, std::span<const std::uint8_t> data);
// The digest of all that was taken in; the context must be initialised again before reuse.
Sha256Digest sha256Final(Sha256Context& context);

Sha256Digest sha256(std::span<const std::uint8_t> data);
