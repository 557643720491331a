// The daemon's signature check (sha256 and verifyRsaSha256Pkcs1) against OpenSSL's libcrypto
// on the same message, signature and key: the verdicts must be equal on every input, and so
// must the digests. The keys are real ones, made once at start-up; the input picks one and
// says how the signature and the modulus are spoiled, so that good and bad signatures both
// come often, and signatures that open to blocks near the real one (made with the private
// key's raw operation) reach the comparison of the block.
//
// Input: a 15-byte head (missing bytes are 0), then the message.
//   byte 0   the key (2048, 2060, 3072 or 4096 bits)
//   byte 1   flags: bits 0-1 the signature: 0 the message's real signature, 1 the real one
//            with the changes below, 2 the private key's raw operation on the expected block
//            with the changes below, 3 the message's first bytes (up to the modulus' length);
//            bit 2 the changes flip bits of the modulus as well; bits 3-4 the signature's
//            length: 1 a zero byte in front, 2 its last byte cut, 3 its first byte cut;
//            bit 5 the modulus with a DER sign byte in front; bit 6 the signature is the
//            modulus plus byte 2 (not below the modulus)
//   byte 2   the number of changes (its value mod 5), and the split of the message for the
//            incremental SHA-256
//   3..14    four changes of 3 bytes: a big-endian position, and the byte to XOR there
//
// Promises checked: sha256 equals OpenSSL's SHA-256, piece by piece as well; a key is refused
// exactly when its modulus is even, outside 2048..4096 bits or has more than one leading zero
// byte; for a key that is made, the verdict equals EVP_PKEY_verify's (PKCS#1 v1.5, SHA-256).
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "image/rsa_verify.h"
#include "image/sha256.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct RealKey {
    EVP_PKEY* pkey;
    Bytes modulus;
};
std::vector<RealKey> realKeys;

constexpr std::size_t kHeadSize = 15;

Bytes bignumBytes(const BIGNUM* number) {
    Bytes bytes(static_cast<std::size_t>(BN_num_bytes(number)));
    BN_bn2bin(number, bytes.data());
    return bytes;
}

EVP_PKEY* publicKey(const Bytes& modulus) {
    BIGNUM* n = BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr);
    BIGNUM* e = BN_new();
    BN_set_word(e, 65537);
    OSSL_PARAM_BLD* build = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_N, n);
    OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_E, e);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(build);
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* pkey = nullptr;
    if (EVP_PKEY_fromdata_init(context) != 1 ||
        EVP_PKEY_fromdata(context, &pkey, EVP_PKEY_PUBLIC_KEY, params) != 1) {
        pkey = nullptr;
    }
    EVP_PKEY_CTX_free(context);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(build);
    BN_free(e);
    BN_free(n);
    return pkey;
}

bool opensslVerify(EVP_PKEY* pkey, const Bytes& signature, const Sha256Digest& digest) {
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(pkey, nullptr);
    bool good = EVP_PKEY_verify_init(context) == 1 &&
                EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING) == 1 &&
                EVP_PKEY_CTX_set_signature_md(context, EVP_sha256()) == 1 &&
                EVP_PKEY_verify(context, signature.data(), signature.size(), digest.data(),
                                digest.size()) == 1;
    EVP_PKEY_CTX_free(context);
    return good;
}

Bytes opensslSign(EVP_PKEY* pkey, const Bytes& message) {
    Bytes signature(static_cast<std::size_t>(EVP_PKEY_get_size(pkey)));
    std::size_t length = signature.size();
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    bool signed_ =
        EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, pkey) == 1 &&
        EVP_DigestSign(context, signature.data(), &length, message.data(), message.size()) == 1;
    EVP_MD_CTX_free(context);
    FUZZ_ASSERT(signed_, "OpenSSL signs with its own key");
    signature.resize(length);
    return signature;
}

// block^d mod n, the private key's operation without padding; the block itself when it is not
// below the modulus (no signature opens to it).
Bytes rawPrivate(EVP_PKEY* pkey, const Bytes& block) {
    Bytes result(block.size());
    std::size_t length = result.size();
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(pkey, nullptr);
    bool done = EVP_PKEY_decrypt_init(context) == 1 &&
                EVP_PKEY_CTX_set_rsa_padding(context, RSA_NO_PADDING) == 1 &&
                EVP_PKEY_decrypt(context, result.data(), &length, block.data(), block.size()) == 1;
    EVP_PKEY_CTX_free(context);
    if (!done) return block;
    result.resize(length);
    return result;
}

Sha256Digest opensslSha256(const Bytes& message) {
    Sha256Digest digest{};
    unsigned int length = 0;
    FUZZ_ASSERT(EVP_Digest(message.data(), message.size(), digest.data(), &length, EVP_sha256(),
                           nullptr) == 1 &&
                    length == digest.size(),
                "OpenSSL hashes");
    return digest;
}

// 00 01 FF..FF 00 || DigestInfo || digest: the block that the message's real signature opens
// to, here only the start of the blocks near it (OpenSSL alone gives the verdict).
Bytes expectedBlock(std::size_t length, const Sha256Digest& digest) {
    static const std::uint8_t info[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                        0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    Bytes block(length, 0xff);
    block[0] = 0x00;
    block[1] = 0x01;
    std::size_t tail = sizeof info + digest.size();
    block[length - tail - 1] = 0x00;
    std::memcpy(block.data() + length - tail, info, sizeof info);
    std::memcpy(block.data() + length - digest.size(), digest.data(), digest.size());
    return block;
}

// Whether the daemon must take the modulus, by its documented rules, judged with OpenSSL's
// numbers.
bool keyAcceptable(const Bytes& modulus) {
    std::size_t skip = !modulus.empty() && modulus[0] == 0 ? 1 : 0;
    if (modulus.size() == skip || modulus[skip] == 0) return false;
    BIGNUM* n = BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr);
    int bits = BN_num_bits(n);
    bool acceptable = BN_is_odd(n) && bits >= 2048 && bits <= 4096;
    BN_free(n);
    return acceptable;
}

}  // namespace

void setUpHarness() {
    for (unsigned bits : {2048u, 2060u, 3072u, 4096u}) {
        EVP_PKEY* pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", std::size_t{bits});
        FUZZ_ASSERT(pkey != nullptr, "OpenSSL makes the harness's keys");
        BIGNUM* n = nullptr;
        FUZZ_ASSERT(EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_N, &n) == 1,
                    "the key's modulus");
        realKeys.push_back({pkey, bignumBytes(n)});
        BN_free(n);
    }
    // Freed before the list goes, or the leak check at the end takes the keys for leaks.
    std::atexit([] {
        for (RealKey& real : realKeys) EVP_PKEY_free(real.pkey);
    });
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::array<std::uint8_t, kHeadSize> head{};
    std::memcpy(head.data(), data, std::min(size, kHeadSize));
    const Bytes message(data + std::min(size, kHeadSize), data + size);
    const RealKey& real = realKeys[head[0] % realKeys.size()];
    const std::uint8_t flags = head[1];
    const std::size_t changes = head[2] % 5u;
    auto applyChanges = [&](Bytes& bytes, bool bitsOnly) {
        for (std::size_t i = 0; i < changes && !bytes.empty(); ++i) {
            std::size_t position = std::size_t{head[3 + 3 * i]} << 8 | head[4 + 3 * i];
            std::uint8_t value = head[5 + 3 * i];
            if (bitsOnly) {
                position %= 8 * bytes.size();
                bytes[position / 8] ^= static_cast<std::uint8_t>(1u << (position % 8));
            } else {
                bytes[position % bytes.size()] ^= value == 0 ? std::uint8_t{1} : value;
            }
        }
    };

    const Sha256Digest digest = sha256(message);
    FUZZ_ASSERT(digest == opensslSha256(message), "sha256 is OpenSSL's SHA-256");
    Sha256Context context;
    sha256Init(context);
    std::size_t split = message.empty() ? 0 : head[2] % (message.size() + 1);
    sha256Update(context, std::span(message).first(split));
    sha256Update(context, std::span(message).subspan(split));
    FUZZ_ASSERT(sha256Final(context) == digest, "sha256 in two pieces is the same");

    Bytes signature;
    switch (flags & 3) {
        case 0:
            signature = opensslSign(real.pkey, message);
            break;
        case 1:
            signature = opensslSign(real.pkey, message);
            applyChanges(signature, false);
            break;
        case 2: {
            Bytes block = expectedBlock(real.modulus.size(), digest);
            applyChanges(block, false);
            signature = rawPrivate(real.pkey, block);
            break;
        }
        default:
            signature.assign(message.begin(),
                             message.begin() + static_cast<std::ptrdiff_t>(
                                                   std::min(message.size(), real.modulus.size())));
    }
    if (flags & 0x40) {
        // The modulus plus a small number, in the modulus' length where it fits.
        signature = real.modulus;
        unsigned carry = head[2];
        for (std::size_t i = signature.size(); i-- > 0 && carry != 0;) {
            carry += signature[i];
            signature[i] = static_cast<std::uint8_t>(carry);
            carry >>= 8;
        }
    }
    switch ((flags >> 3) & 3) {
        case 1:
            signature.insert(signature.begin(), 0);
            break;
        case 2:
            if (!signature.empty()) signature.pop_back();
            break;
        case 3:
            if (!signature.empty()) signature.erase(signature.begin());
            break;
    }

    Bytes modulus = real.modulus;
    bool modulusChanged = (flags & 4) != 0 && changes > 0;
    if (modulusChanged) applyChanges(modulus, true);
    Bytes given = modulus;
    if (flags & 0x20) given.insert(given.begin(), 0);

    RsaPublicKey key;
    bool made = makeRsaPublicKey(given, &key);
    FUZZ_ASSERT(made == keyAcceptable(given),
                "a key is refused exactly when even, of the wrong size or zero-led");
    if (!made) return 0;

    EVP_PKEY* pkey = modulusChanged ? publicKey(modulus) : real.pkey;
    FUZZ_ASSERT(pkey != nullptr, "OpenSSL takes the modulus");
    bool ours = verifyRsaSha256Pkcs1(key, signature, digest);
    bool theirs = opensslVerify(pkey, signature, digest);
    if (modulusChanged) EVP_PKEY_free(pkey);
    FUZZ_ASSERT(ours == theirs, ours ? "the daemon takes a signature that OpenSSL refuses"
                                     : "the daemon refuses a signature that OpenSSL takes");
    return 0;
}
