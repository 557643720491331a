#include "tools/common/signature_words.h"

#include "tools/common/formatted.h"

std::string signatureBlockWords(SignatureBlockParse parsed, const SignatureBlock& block) {
    switch (parsed) {
        case SignatureBlockParse::Absent:
            return std::string(kUnsignedWords);
        case SignatureBlockParse::Damaged:
            return "damaged signature block";
        case SignatureBlockParse::Found:
            break;
    }
    return formatted("key %s, format %u, security version %u", updateKeyIdText(block.keyId).data(),
                     static_cast<unsigned>(block.format),
                     static_cast<unsigned>(block.securityVersion));
}

std::string signatureBlockWords(std::span<const std::uint8_t> file0) {
    SignatureBlock block{};
    SignatureBlockParse parsed = parseSignatureBlock(file0, &block);
    return signatureBlockWords(parsed, block);
}
