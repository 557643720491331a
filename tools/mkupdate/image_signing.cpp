#include "tools/mkupdate/image_signing.h"

#include <bit>
#include <cstdio>

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

std::optional<Bytes> signImage(std::span<const std::uint8_t> image, const UpdateKeyId& keyId,
                               const Signer& sign, bool replace, std::string* error) {
    auto split = splitMultiImage(image, error);
    if (!split) return std::nullopt;
    Bytes& file0 = split->files.front();
    SignatureBlock old{};
    std::span<const std::uint8_t> note = file0;
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
            note = old.note;
            break;
    }
    auto signature = sign(signedMessage(split->files), error);
    if (!signature) return std::nullopt;
    Bytes block(kSignatureMagic.begin(), kSignatureMagic.end());
    appendWord(block, kSignatureFormat);
    appendWord(block, static_cast<std::uint32_t>(signature->size()));
    block.insert(block.end(), keyId.begin(), keyId.end());
    block.insert(block.end(), signature->begin(), signature->end());
    block.insert(block.end(), note.begin(), note.end());
    file0 = std::move(block);
    return buildMultiImage(split->files, split->name, error);
}

std::string updateKeyFileText(std::span<const std::uint8_t> modulus) {
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
    return "# BT-LAP update key " + std::string(updateKeyIdText(updateKeyIdOf(modulus)).data()) +
           " (RSA " + std::to_string(bits) + " bits): install it in " + kUpdateKeyFolder + "/\n" +
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
    UpdateKeyId keyId{};
    SignatureRefusal refusal = signatureRefusal(
        verifyImageSignature(split->files.front(), digests.signedDigest, folder.c_str(), &keyId));
    if (refusal.reason == nullptr) return std::nullopt;
    return refusal.reason + std::string(refusal.namesKey ? updateKeyIdText(keyId).data() : "");
}

}  // namespace mkupdate
