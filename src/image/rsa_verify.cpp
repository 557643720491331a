#include "image/rsa_verify.h"

#include <algorithm>

namespace {

using Number = std::array<std::uint32_t, kRsaMaxWords>;

// The DER DigestInfo of a SHA-256 digest (algorithm 2.16.840.1.101.3.4.2.1, NULL parameters),
// which the signed block carries in front of the digest.
constexpr std::array<std::uint8_t, 19> kSha256DigestInfo = {
    0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
    0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};

// Big-endian bytes into words; the bytes are at most 4 * kRsaMaxWords.
void loadNumber(std::span<const std::uint8_t> bytes, Number& number) {
    number.fill(0);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::size_t position = bytes.size() - 1 - i;  // in bytes from the least significant
        number[position / 4] |= std::uint32_t{bytes[i]} << (8 * (position % 4));
    }
}

bool lessThan(const Number& a, const Number& b, std::size_t words) {
    for (std::size_t i = words; i-- > 0;) {
        if (a[i] != b[i]) return a[i] < b[i];
    }
    return false;
}

// a -= b over words; returns the borrow out.
std::uint32_t subtract(Number& a, const Number& b, std::size_t words) {
    std::uint32_t borrow = 0;
    for (std::size_t i = 0; i < words; ++i) {
        std::uint64_t difference = std::uint64_t{a[i]} - b[i] - borrow;
        a[i] = static_cast<std::uint32_t>(difference);
        borrow = static_cast<std::uint32_t>(difference >> 32) & 1;
    }
    return borrow;
}

// a * b / 2^(32 * words) mod n (Montgomery's product), a and b below n. Word by word of b:
// add a * b[i], then the multiple of n that clears the lowest word, and drop that word. The
// sum stays below 2n, so one subtraction at the end brings it below n.
void montgomeryMultiply(const RsaPublicKey& key, const Number& a, const Number& b, Number& result) {
    const std::size_t words = key.words;
    std::array<std::uint32_t, kRsaMaxWords + 2> sum{};
    for (std::size_t i = 0; i < words; ++i) {
        // Each step's product plus two words fits 64 bits: (2^32-1)^2 + 2 (2^32-1) < 2^64.
        std::uint64_t carry = 0;
        for (std::size_t j = 0; j < words; ++j) {
            carry += std::uint64_t{sum[j]} + std::uint64_t{a[j]} * b[i];
            sum[j] = static_cast<std::uint32_t>(carry);
            carry >>= 32;
        }
        carry += sum[words];
        sum[words] = static_cast<std::uint32_t>(carry);
        sum[words + 1] = static_cast<std::uint32_t>(carry >> 32);

        std::uint32_t m = sum[0] * key.minusInverse;
        carry = (std::uint64_t{sum[0]} + std::uint64_t{m} * key.modulus[0]) >> 32;
        for (std::size_t j = 1; j < words; ++j) {
            carry += std::uint64_t{sum[j]} + std::uint64_t{m} * key.modulus[j];
            sum[j - 1] = static_cast<std::uint32_t>(carry);
            carry >>= 32;
        }
        carry += sum[words];
        sum[words - 1] = static_cast<std::uint32_t>(carry);
        sum[words] = sum[words + 1] + static_cast<std::uint32_t>(carry >> 32);
    }
    std::copy_n(sum.begin(), words, result.begin());
    std::fill(result.begin() + static_cast<std::ptrdiff_t>(words), result.end(), 0);
    if (sum[words] != 0 || !lessThan(result, key.modulus, words)) {
        subtract(result, key.modulus, words);
    }
}

// s^65537 mod n = s^(2^16) * s: in Montgomery's form, 16 squarings; the last product with the
// plain s takes the result out of the form again.
void publicOperation(const RsaPublicKey& key, const Number& s, Number& result) {
    Number x, t;
    montgomeryMultiply(key, s, key.rSquared, x);
    for (int i = 0; i < 16; ++i) {
        montgomeryMultiply(key, x, x, t);
        x = t;
    }
    montgomeryMultiply(key, x, s, result);
}

// The block that a good signature of digest opens to, as long as the key's modulus: built
// here and compared whole, since a block that is only parsed lets forged signatures through
// the parser's gaps.
void expectedBlock(const Sha256Digest& digest, std::span<std::uint8_t> block) {
    const std::size_t length = block.size();
    std::size_t tail = kSha256DigestInfo.size() + digest.size();
    std::fill(block.begin(), block.end(), std::uint8_t{0xff});
    block[0] = 0x00;
    block[1] = 0x01;
    block[length - tail - 1] = 0x00;
    std::copy(kSha256DigestInfo.begin(), kSha256DigestInfo.end(),
              block.begin() + static_cast<std::ptrdiff_t>(length - tail));
    std::copy(digest.begin(), digest.end(),
              block.begin() + static_cast<std::ptrdiff_t>(length - digest.size()));
}

// The number's bytes, most significant first, are the expected block's.
bool opensTo(const Number& opened, std::span<const std::uint8_t> expected) {
    const std::size_t length = expected.size();
    bool same = true;
    for (std::size_t i = 0; i < length; ++i) {
        std::size_t position = length - 1 - i;
        auto byte = static_cast<std::uint8_t>(opened[position / 4] >> (8 * (position % 4)));
        same = same && byte == expected[i];
    }
    return same;
}

}  // namespace

bool makeRsaPublicKey(std::span<const std::uint8_t> modulus, RsaPublicKey* key) {
    if (!modulus.empty() && modulus[0] == 0) modulus = modulus.subspan(1);
    if (modulus.empty() || modulus[0] == 0 || modulus.size() > kRsaMaxBits / 8) return false;
    std::size_t bits = 8 * modulus.size();
    for (std::uint8_t top = modulus[0]; (top & 0x80) == 0;
         top = static_cast<std::uint8_t>(top << 1))
        --bits;
    if (bits < kRsaMinBits || (modulus.back() & 1) == 0) return false;

    key->bytes = modulus.size();
    key->words = (modulus.size() + 3) / 4;
    loadNumber(modulus, key->modulus);
    // The inverse of an odd number mod 2^32 by Newton's steps: n * x = 1 holds mod 2^3 for
    // x = n, and each step doubles the bits that hold (3, 6, 12, 24, 48).
    std::uint32_t inverse = key->modulus[0];
    for (int step = 0; step < 4; ++step) inverse *= 2 - key->modulus[0] * inverse;
    key->minusInverse = 0 - inverse;

    // R^2 mod n, R = 2^(32 * words), by doubling 1 (64 * words) times, reduced each time: once
    // per key, so that a signature enters Montgomery's form with one product.
    Number& value = key->rSquared;
    value.fill(0);
    value[0] = 1;
    for (std::size_t doubling = 0; doubling < 64 * key->words; ++doubling) {
        std::uint32_t out = 0;
        for (std::size_t i = 0; i < key->words; ++i) {
            std::uint32_t next = value[i] >> 31;
            value[i] = (value[i] << 1) | out;
            out = next;
        }
        // value < n before the doubling, so 2 * value - n < n: one subtraction is enough.
        if (out != 0 || !lessThan(value, key->modulus, key->words)) {
            subtract(value, key->modulus, key->words);
        }
    }
    return true;
}

bool verifyRsaSha256Pkcs1(const RsaPublicKey& key, std::span<const std::uint8_t> signature,
                          const Sha256Digest& digest) {
    // A key that makeRsaPublicKey did not make must not lead outside the arrays either.
    const std::size_t length = key.bytes;
    if (length < kRsaMinBits / 8 || length > kRsaMaxBits / 8) return false;
    if (signature.size() != length) return false;
    Number s;
    loadNumber(signature, s);
    if (!lessThan(s, key.modulus, key.words)) return false;
    Number opened;
    publicOperation(key, s, opened);
    std::array<std::uint8_t, kRsaMaxBits / 8> expected;
    expectedBlock(digest, {expected.data(), length});
    return opensTo(opened, {expected.data(), length});
}
