#include "tools/mkupdate/image_signing.h"

#include <bit>
#include <cstdio>

#include "image/rsa_verify.h"

namespace mkupdate {
namespace {

void appendWord(Bytes& bytes, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes.push_back(static_cast<std::uint8_t>(value >> shift));
}

}  // namespace

std::optional<SplitImage> splitMultiImage(std::span<const std::uint8_t> image, std::string* error) {
    ImageListing listing = inspectImage(image);
    if (!listing.valid()) {
        *error = listing.failure;
        return std::nullopt;
    }
    if (!listing.multiFile || listing.files.size() < 2) {
        *error = "not a multi-file update image of at least two files";
        return std::nullopt;
    }
    SplitImage split{listing.name, {}};
    for (const ListedFile& file : listing.files) {
        auto start = image.begin() + static_cast<long>(file.offset);
        split.files.emplace_back(start, start + file.size);
    }
    return split;
}

Bytes signedMessage(const std::vector<Bytes>& files) {
    Bytes message;
    appendWord(message, static_cast<std::uint32_t>(files.size() - 1));
    for (std::size_t i = 1; i < files.size(); ++i) {
        appendWord(message, static_cast<std::uint32_t>(files[i].size()));
        Sha256Digest digest = sha256(files[i]);
        message.insert(message.end(), digest.begin(), digest.end());
    }
    return message;
}

Bytes signedStatement(const std::vector<Bytes>& files,
                      std::optional<std::uint32_t> securityVersion) {
    Bytes message = signedMessage(files);
    if (!securityVersion) return message;
    auto statement = securityStatement(*securityVersion, sha256(message));
    return Bytes(statement.begin(), statement.end());
}

namespace {

// image taken apart with its note: file 0 without a signature block (the old one dropped
// when replace).
std::optional<SplitImage> unsignedParts(std::span<const std::uint8_t> image, bool replace,
                                        std::string* error) {
    auto split = splitMultiImage(image, error);
    if (!split) return std::nullopt;
    Bytes& file0 = split->files.front();
    SignatureBlock old{};
    switch (parseSignatureBlock(file0, &old)) {
        case SignatureBlockParse::Absent:
            break;
        case SignatureBlockParse::Damaged:
            *error = "file 0 holds a damaged signature block; it can't be signed again";
            return std::nullopt;
        case SignatureBlockParse::Found:
            if (!replace) {
                *error = "signed already (by key " +
                         std::string(updateKeyIdText(old.keyId).data()) +
                         "); --resign replaces the signature";
                return std::nullopt;
            }
            file0 = Bytes(old.note.begin(), old.note.end());
            break;
    }
    return split;
}

std::optional<Bytes> withBlock(SplitImage& split, const UpdateKeyId& keyId, const Bytes& signature,
                               std::optional<std::uint32_t> securityVersion, std::string* error) {
    Bytes& file0 = split.files.front();
    Bytes block(kSignatureMagic.begin(), kSignatureMagic.end());
    appendWord(block, securityVersion ? kSignatureFormatSecurity : kSignatureFormatFiles);
    appendWord(block, static_cast<std::uint32_t>(signature.size()));
    block.insert(block.end(), keyId.begin(), keyId.end());
    if (securityVersion) appendWord(block, *securityVersion);
    block.insert(block.end(), signature.begin(), signature.end());
    block.insert(block.end(), file0.begin(), file0.end());
    file0 = std::move(block);
    return buildMultiImage(split.files, split.name, error);
}

}  // namespace

std::optional<Bytes> imageStatement(std::span<const std::uint8_t> image,
                                    std::optional<std::uint32_t> securityVersion,
                                    std::string* error) {
    auto split = splitMultiImage(image, error);
    if (!split) return std::nullopt;
    return signedStatement(split->files, securityVersion);
}

std::optional<Bytes> signImage(std::span<const std::uint8_t> image, const UpdateKeyId& keyId,
                               const Signer& sign, bool replace, std::string* error,
                               std::optional<std::uint32_t> securityVersion) {
    auto split = unsignedParts(image, replace, error);
    if (!split) return std::nullopt;
    auto signature = sign(signedStatement(split->files, securityVersion), error);
    if (!signature) return std::nullopt;
    return withBlock(*split, keyId, *signature, securityVersion, error);
}

std::optional<Bytes> insertSignature(std::span<const std::uint8_t> image, const RsaPublicKey& key,
                                     const UpdateKeyId& keyId, const Bytes& signature,
                                     std::optional<std::uint32_t> securityVersion, bool replace,
                                     std::string* error) {
    auto split = unsignedParts(image, replace, error);
    if (!split) return std::nullopt;
    if (!verifyRsaSha256Pkcs1(key, signature,
                              sha256(signedStatement(split->files, securityVersion)))) {
        *error = "the signature is not the key's over this image's statement" +
                 std::string(securityVersion
                                 ? " with security version " + std::to_string(*securityVersion)
                                 : " of format 1 (no --security-version)");
        return std::nullopt;
    }
    return withBlock(*split, keyId, signature, securityVersion, error);
}

std::string updateKeyFileText(std::span<const std::uint8_t> modulus, KeyRole role) {
    while (!modulus.empty() && modulus.front() == 0) modulus = modulus.subspan(1);
    std::string hex;
    for (std::uint8_t byte : modulus) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned>(byte));
        hex += digits;
    }
    std::size_t bits = modulus.empty() ? 0
                                       : (modulus.size() - 1) * 8 +
                                             static_cast<std::size_t>(std::bit_width(modulus[0]));
    const bool root = role == KeyRole::Root;
    return std::string("# BT-LAP update ") + (root ? "root key " : "key ") +
           updateKeyIdText(updateKeyIdOf(modulus)).data() + " (RSA " + std::to_string(bits) +
           " bits" + (root ? "; signs key sets, not images" : "") + "): install it in " +
           kUpdateKeyFolder + "/\n" + (root ? std::string(kKeyRoleRootLine) + "\n" : "") +
           std::string(kUpdateKeyLinePrefix) + hex + "\n";
}

std::optional<std::string> signatureRefusalOf(std::span<const std::uint8_t> image,
                                              const std::string& folder) {
    std::string error;
    auto split = splitMultiImage(image, &error);
    ImageDigests digests{};
    if (!split ||
        !digestImageFiles(image, static_cast<std::int32_t>(split->files.size()), &digests))
        return std::nullopt;
    SignatureCheck check =
        checkImageSignature(split->files.front(), digests.signedDigest, folder.c_str(), 0);
    char reason[256];
    if (!describeSignatureRefusal(check, folder.c_str(), reason, sizeof reason))
        return std::nullopt;
    return std::string(reason);
}

}  // namespace mkupdate
