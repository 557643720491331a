// RSA verification against keys and signatures that the openssl program makes at test time.
#include "image/rsa_verify.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/bytes.h"
#include "tests/support/openssl_keys.h"

namespace {

using TestKey = OpensslKey;

TestKey makeKey(int bits) { return makeOpensslKey("rsa-test-" + std::to_string(bits), bits); }

Bytes sign(const TestKey& key, const Bytes& message, const std::string& digest = "sha256") {
    return opensslSign(key, message, digest);
}

bool verify(const Bytes& modulus, const Bytes& signature, const Bytes& message) {
    RsaPublicKey key;
    EXPECT_TRUE(makeRsaPublicKey(modulus, &key));
    return verifyRsaSha256Pkcs1(key, signature, sha256(message));
}

Bytes flipBit(Bytes bytes, std::size_t bit) {
    bytes[bytes.size() - 1 - bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    return bytes;
}

// a + b, big-endian, in a's length; nothing when the sum needs more.
std::optional<Bytes> sumInLength(Bytes a, const Bytes& b) {
    unsigned carry = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        std::size_t ia = a.size() - 1 - i;
        unsigned sum = a[ia] + carry + (i < b.size() ? b[b.size() - 1 - i] : 0u);
        a[ia] = static_cast<std::uint8_t>(sum);
        carry = sum >> 8;
    }
    if (carry != 0) return std::nullopt;
    return a;
}

// A key of bits whose modulus leaves room above it in its own length (its top byte below
// 0xF0): openssl's moduli lie between 0.56 and 1 times 2^bits, and one too near the top leaves
// room for the sum of a signature and the modulus only with few signatures.
TestKey keyWithRoomAboveTheModulus(int bits) {
    TestKey key = makeKey(bits);
    for (int tries = 1; tries < 8 && !key.modulus.empty() && key.modulus[0] >= 0xF0; ++tries)
        key = makeKey(bits);
    return key;
}

// A good signature s, and s + n in the signature's length: the same number modulo n, which
// opens to the same block. Messages are signed until one's signature has room for n above it
// (one in fifteen at least with keyWithRoomAboveTheModulus).
struct SignaturePlusModulus {
    Bytes message;
    Bytes signature;
    Bytes plusModulus;
};
SignaturePlusModulus signaturePlusModulus(const TestKey& key) {
    for (int attempt = 0; attempt < 400; ++attempt) {
        Bytes message = bytesOf("an update image, attempt " + std::to_string(attempt));
        Bytes signature = sign(key, message);
        if (std::optional<Bytes> sum = sumInLength(signature, key.modulus))
            return {message, signature, *sum};
    }
    ADD_FAILURE() << "no signature with room for the modulus above it";
    return {};
}

class RsaVerify : public ::testing::TestWithParam<int> {};

TEST_P(RsaVerify, OpensslSignatures) {
    const int bits = GetParam();
    const TestKey key = keyWithRoomAboveTheModulus(bits);
    ASSERT_EQ(key.modulus.size(), static_cast<std::size_t>((bits + 7) / 8));
    const Bytes message = bytesOf("BT-LAP update image, " + std::to_string(bits) + " bits");
    const Bytes signature = sign(key, message);
    ASSERT_EQ(signature.size(), key.modulus.size());

    EXPECT_TRUE(verify(key.modulus, signature, message));

    const std::size_t signatureBits = 8 * signature.size();
    for (std::size_t bit : {std::size_t{0}, std::size_t{1}, std::size_t{700}, signatureBits / 2,
                            signatureBits - 20, signatureBits - 1}) {
        EXPECT_FALSE(verify(key.modulus, flipBit(signature, bit), message))
            << "signature bit " << bit;
    }
    for (std::size_t bit : {std::size_t{0}, std::size_t{7}, 8 * message.size() - 1}) {
        EXPECT_FALSE(verify(key.modulus, signature, flipBit(message, bit)))
            << "message bit " << bit;
    }
    // Bit 0 would make the modulus even, which the key refuses.
    for (std::size_t bit : {std::size_t{1}, std::size_t{100}, std::size_t(bits) - 2}) {
        EXPECT_FALSE(verify(flipBit(key.modulus, bit), signature, message))
            << "modulus bit " << bit;
    }
    RsaPublicKey evenKey;
    EXPECT_FALSE(makeRsaPublicKey(flipBit(key.modulus, 0), &evenKey));

    RsaPublicKey rsaKey;
    ASSERT_TRUE(makeRsaPublicKey(key.modulus, &rsaKey));
    const Sha256Digest digest = sha256(message);
    // The same number in one byte more, or cut by its last byte, is not the signature.
    Bytes longer = signature;
    longer.insert(longer.begin(), 0);
    EXPECT_FALSE(verifyRsaSha256Pkcs1(rsaKey, longer, digest));
    EXPECT_FALSE(
        verifyRsaSha256Pkcs1(rsaKey, std::span(signature).first(signature.size() - 1), digest));
    EXPECT_FALSE(verifyRsaSha256Pkcs1(rsaKey, {}, digest));
    // Numbers not below the modulus are refused, also those that are a good signature's
    // residue: a verifier that reduced them first would take them.
    const SignaturePlusModulus raised = signaturePlusModulus(key);
    ASSERT_TRUE(verify(key.modulus, raised.signature, raised.message));
    const struct {
        const char* what;
        Bytes number;
        Bytes message;
    } notBelowTheModulus[] = {
        {"the modulus", key.modulus, message},
        {"the modulus plus one", sumInLength(key.modulus, {1}).value_or(Bytes()), message},
        {"all ones", Bytes(signature.size(), 0xff), message},
        {"a good signature plus the modulus", raised.plusModulus, raised.message},
    };
    for (const auto& number : notBelowTheModulus) {
        ASSERT_EQ(number.number.size(), signature.size()) << number.what;
        EXPECT_FALSE(verifyRsaSha256Pkcs1(rsaKey, number.number, sha256(number.message)))
            << number.what;
    }

    // The DER form's sign byte before the modulus gives the same key.
    Bytes signedModulus = key.modulus;
    signedModulus.insert(signedModulus.begin(), 0);
    EXPECT_TRUE(verify(signedModulus, signature, message));
    // A signature over another digest, of the same message, is not one over SHA-256.
    EXPECT_FALSE(verify(key.modulus, sign(key, message, "sha384"), message));
}

// 2060 bits: a modulus whose top byte and top word are partly used.
INSTANTIATE_TEST_SUITE_P(Bits, RsaVerify, ::testing::Values(2048, 2060, 3072, 4096),
                         [](const auto& param) { return std::to_string(param.param); });

// The expected block is built and compared whole: blocks that a lax parser of the opened
// signature would take are refused, however near the real one they are.
TEST(RsaVerifyBlock, OnlyTheExactBlockVerifies) {
    const TestKey key = makeKey(2048);
    const std::size_t length = key.modulus.size();
    const Bytes message = bytesOf("an update image");
    const Sha256Digest digest = sha256(message);
    const Bytes digestInfo = bytesFromHex("3031300d060960864801650304020105000420");
    const Bytes digestInfoWithoutNull = bytesFromHex(
        "302f300b0609608648016503040201"
        "0420");

    // 00 01 FF..FF 00 || info || digest, the FF run filling the length.
    auto block = [&](const Bytes& info, const Bytes& tail) {
        Bytes b = {0x00, 0x01};
        b.resize(length - info.size() - digest.size() - tail.size() - 1, 0xff);
        b.push_back(0x00);
        b.insert(b.end(), info.begin(), info.end());
        b.insert(b.end(), digest.begin(), digest.end());
        b.insert(b.end(), tail.begin(), tail.end());
        return b;
    };
    const Bytes good = block(digestInfo, {});
    ASSERT_EQ(good.size(), length);

    struct Case {
        const char* what;
        Bytes block;
        bool verifies;
    };
    std::vector<Case> cases = {
        {"the exact block", good, true},
        {"garbage behind the digest, a shorter FF run", block(digestInfo, Bytes(8, 0x5a)), false},
        {"DigestInfo without its NULL parameters", block(digestInfoWithoutNull, {}), false},
        {"block type 3", flipBit(good, 8 * length - 15), false},
        {"block type 0", flipBit(good, 8 * length - 16), false},
        {"an FE in the FF run", flipBit(good, 8 * length - 24), false},
        {"the last digest byte changed", flipBit(good, 0), false},
        {"the digest's length byte changed", flipBit(good, 8 * 32 + 1), false},
    };
    Bytes typeTwo = good;
    typeTwo[1] = 0x02;
    cases.push_back({"block type 2 with FF padding", typeTwo, false});
    Bytes noSeparator = good;
    noSeparator[length - digestInfo.size() - digest.size() - 1] = 0xff;
    cases.push_back({"no zero byte before the DigestInfo", noSeparator, false});

    RsaPublicKey rsaKey;
    ASSERT_TRUE(makeRsaPublicKey(key.modulus, &rsaKey));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(c.block.size(), length);
        Bytes signature = opensslSignRawBlock(key, c.block);
        ASSERT_EQ(signature.size(), length);
        EXPECT_EQ(verifyRsaSha256Pkcs1(rsaKey, signature, digest), c.verifies);
    }
    // openssl's own signature of the message is the signature of the exact block.
    EXPECT_EQ(sign(key, message), opensslSignRawBlock(key, good));
}

}  // namespace
