// The signature block, the board's key files and the digests of an image's files, as the
// reception reads them; the signatures themselves are the system tests' (tests/signed_update).
#include "image/image_signature.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/board.h"
#include "tests/support/bytes.h"
#include "tests/support/openssl_keys.h"

namespace {

std::string word(std::uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
            static_cast<char>(value >> 8), static_cast<char>(value)};
}

TEST(SignatureBlock, IsFoundOnlyWhereItIsWhole) {
    const std::string id(16, 'I');
    const std::string block = "UPD-SIG\n" + word(1) + word(3) + id + "sig" + "the note";
    const Bytes file0 = bytesOf(block);  // the block's spans point into it
    SignatureBlock found{};
    ASSERT_EQ(parseSignatureBlock(file0, &found), SignatureBlockParse::Found);
    EXPECT_EQ(std::string(found.signature.begin(), found.signature.end()), "sig");
    EXPECT_EQ(std::string(found.note.begin(), found.note.end()), "the note");
    EXPECT_EQ(std::string(found.keyId.begin(), found.keyId.end()), id);

    const struct {
        std::string file0;
        SignatureBlockParse parse;
    } cases[] = {
        {"a note", SignatureBlockParse::Absent},
        {"UPD-SIG", SignatureBlockParse::Absent},
        {"UPD-SIG\n" + word(2) + word(3) + id + "sig", SignatureBlockParse::Damaged},
        {"UPD-SIG\n" + word(1) + word(4) + id + "sig", SignatureBlockParse::Damaged},
        {"UPD-SIG\n" + word(1) + word(0xFFFFFFFF) + id, SignatureBlockParse::Damaged},
        {"UPD-SIG\n" + word(1), SignatureBlockParse::Damaged},
    };
    for (const auto& c : cases) EXPECT_EQ(parseSignatureBlock(bytesOf(c.file0), &found), c.parse);
}

// Only a file of comments and one key line of a modulus the verifier takes is a key.
TEST(UpdateKeyFile, IsReadOnlyInItsOwnFormat) {
    const OpensslKey key = makeOpensslKey("key-file", 2048);
    std::string hex;
    for (std::uint8_t byte : key.modulus) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02X", static_cast<unsigned>(byte));
        hex += digits;
    }
    const std::string line = "rsa-sha256 65537 " + hex;
    const struct {
        std::string text;
        bool key;
    } cases[] = {
        {line + "\n", true},
        {"# a comment\n\n" + line + "\r\n# another\n", true},
        {line, true},
        {"# no key\n", false},
        {line + "\n" + line + "\n", false},
        {"rsa-sha256 3 " + hex + "\n", false},
        {line.substr(0, line.size() - 1) + "\n", false},
        {line.substr(0, line.size() - 2) + "zz\n", false},
        {"rsa-sha256 65537 " + hex.substr(0, 200) + "\n", false},
        {std::string(4000, '#') + "\n" + line + "\n", false},
    };
    for (const auto& c : cases) {
        writeWholeFile("/tmp/test.key", c.text);
        RsaPublicKey read{};
        UpdateKeyId id{};
        EXPECT_EQ(readUpdateKeyFile("/tmp/test.key", &read, &id), c.key) << c.text;
        if (c.key) {
            EXPECT_EQ(id, updateKeyIdOf(key.modulus));
        }
    }
    RsaPublicKey read{};
    UpdateKeyId id{};
    EXPECT_FALSE(readUpdateKeyFile("/tmp/missing.key", &read, &id));
}

// The digests need every file after file 0 inside the image.
TEST(ImageDigests, NeedEveryFileInsideTheImage) {
    std::string image(64, '\0');
    image[30] = 4;  // a multi-file image
    image +=
        word(4) + word(7) + word(3) + word(0) + "note" + "archive" + std::string(1, '\0') + "lap";
    ImageDigests digests{};
    ASSERT_TRUE(digestImageFiles(bytesOf(image), 3, &digests));
    EXPECT_EQ(digests.archive, sha256(bytesOf("archive")));
    EXPECT_EQ(digests.software, sha256(bytesOf("lap")));
    EXPECT_FALSE(digestImageFiles(bytesOf(image.substr(0, image.size() - 1)), 3, &digests));
    EXPECT_FALSE(digestImageFiles(bytesOf(image), 1, &digests)) << "no file after file 0";
}

}  // namespace
