#include "tools/common/signature_words.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// File 0 that begins with a format 2 block: the magic text, the format, the signature's length
// (none here), the key's ID and the security version, each number big-endian.
std::vector<std::uint8_t> securityBlock(std::uint32_t securityVersion) {
    std::vector<std::uint8_t> file0(kSignatureMagic.begin(), kSignatureMagic.end());
    auto word = [&](std::uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8)
            file0.push_back(static_cast<std::uint8_t>(value >> shift));
    };
    word(kSignatureFormatSecurity);
    word(0);
    for (std::uint8_t i = 0; i < kUpdateKeyIdSize; ++i)
        file0.push_back(static_cast<std::uint8_t>(0x11 * (i % 16)));
    word(securityVersion);
    for (char c : std::string("note\n")) file0.push_back(static_cast<std::uint8_t>(c));
    return file0;
}

TEST(SignatureWords, SayOneWordingForEveryTool) {
    const std::vector<std::uint8_t> note{'n', 'o', 't', 'e', '\n'};
    EXPECT_EQ(signatureBlockWords(note), "unsigned");
    EXPECT_EQ(signatureBlockWords(securityBlock(4294967295u)),
              "key 00112233445566778899aabbccddeeff, format 2, security version 4294967295");
    std::vector<std::uint8_t> damaged = securityBlock(1);
    damaged.resize(kSignatureBlockHeaderSize);  // format 2's header cut short
    EXPECT_EQ(signatureBlockWords(damaged), "damaged signature block");
}

}  // namespace
