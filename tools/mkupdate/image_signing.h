// Signing update images: the signature block that goes ahead of file 0's note, the bytes the
// signature covers, and the board's key file. The signing itself (a private key's operation)
// is the caller's: mkupdate's with libcrypto, the tests' with the openssl program.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "image/image_signature.h"
#include "image/key_set_statement.h"
#include "tools/common/image_builder.h"

namespace mkupdate {

// A valid multi-file image taken apart: its name and its files, file 0 first.
struct SplitImage {
    std::string name;
    std::vector<Bytes> files;
};
std::optional<SplitImage> splitMultiImage(std::span<const std::uint8_t> image, std::string* error);

// The statement that the signature covers: the count of the files after file 0, then each
// one's size and SHA-256 (files[0] is not part of it).
Bytes signedMessage(const std::vector<Bytes>& files);

// The signature of message with a private key (PKCS#1 v1.5, SHA-256), or nothing with a
// message in error.
using Signer =
    std::function<std::optional<Bytes>(std::span<const std::uint8_t> message, std::string* error)>;

// The bytes a signature covers: the files' statement (a format 1 block), or with a security
// version the format 2 statement that binds it.
Bytes signedStatement(const std::vector<Bytes>& files,
                      std::optional<std::uint32_t> securityVersion);
// The same of an image, for a signature made elsewhere.
std::optional<Bytes> imageStatement(std::span<const std::uint8_t> image,
                                    std::optional<std::uint32_t> securityVersion,
                                    std::string* error);

// image signed by the key of keyId: file 0 becomes the signature block followed by its note;
// a format 2 block with the security version when one is given, else format 1, which boards
// of every daemon that checks signatures read. An image that is signed already is refused,
// unless replace (its note is kept, the old block dropped).
std::optional<Bytes> signImage(std::span<const std::uint8_t> image, const UpdateKeyId& keyId,
                               const Signer& sign, bool replace, std::string* error,
                               std::optional<std::uint32_t> securityVersion = std::nullopt);

// image with a signature made elsewhere by key (of keyId): inserted as signImage inserts its
// own, only when it is that key's valid signature of the image's statement.
std::optional<Bytes> insertSignature(std::span<const std::uint8_t> image, const RsaPublicKey& key,
                                     const UpdateKeyId& keyId, const Bytes& signature,
                                     std::optional<std::uint32_t> securityVersion, bool replace,
                                     std::string* error);

// The board's key file (/etc/update-keys/*.key) of a public key's modulus (big-endian). A root
// key's file carries the line "role root"; a release key's has no role line, so that it reads
// as every key file did before roles.
std::string updateKeyFileText(std::span<const std::uint8_t> modulus,
                              KeyRole role = KeyRole::Release);

// The daemon's verdict on image's signature with the key files of folder: nothing when it
// takes the image, else the reason as its report gives it ("no signature", "signed by
// unknown key ID", ...). An image that isn't a valid multi-file image gets nothing here.
std::optional<std::string> signatureRefusalOf(std::span<const std::uint8_t> image,
                                              const std::string& folder);

}  // namespace mkupdate
