// RSA signature verification (PKCS#1 v1.5 with SHA-256, public exponent 65537), for the
// makers' signature on an update image. The board has no crypto library: the daemon carries
// this one, which only ever checks a signature and so holds nothing secret.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "image/sha256.h"

inline constexpr std::size_t kRsaMinBits = 2048;
inline constexpr std::size_t kRsaMaxBits = 4096;
inline constexpr std::size_t kRsaMaxWords = kRsaMaxBits / 32;

// A public key ready for verification. Numbers are 32-bit words, least significant first, in
// fixed arrays: no allocation on the board.
struct RsaPublicKey {
    std::array<std::uint32_t, kRsaMaxWords> modulus;
    std::array<std::uint32_t, kRsaMaxWords> rSquared;  // 2^(64 * words) mod n, taken once
    std::size_t words;                                 // words of the modulus in use
    std::size_t bytes;           // the modulus' length in bytes: every signature's length
    std::uint32_t minusInverse;  // -1/n mod 2^32, for Montgomery's reduction
};

// Builds the key from the modulus' big-endian bytes. Refuses an even modulus and one outside
// 2048..4096 bits. One leading zero byte is allowed (the sign byte that a DER INTEGER puts
// before a modulus whose top bit is set) and dropped; after it the first byte must not be
// zero, so that the key's byte length, and with it the signatures', has one meaning.
bool makeRsaPublicKey(std::span<const std::uint8_t> modulus, RsaPublicKey* key);

// True when signature is the PKCS#1 v1.5 signature of digest (a SHA-256) under key. A
// signature of another length than the modulus', or not below the modulus, is refused.
bool verifyRsaSha256Pkcs1(const RsaPublicKey& key, std::span<const std::uint8_t> signature,
                          const Sha256Digest& digest);
