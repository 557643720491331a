// The makers' private keys, with libcrypto: made, read from PEM files, and used to sign.
#pragma once

#include <optional>
#include <string>

#include "tools/mkupdate/image_signing.h"

namespace mkupdate {

inline constexpr int kDefaultKeyBits = 3072;

struct SigningKey {
    Bytes modulus;  // big-endian, no leading zero byte
    UpdateKeyId id;
    Signer sign;
};

// A new RSA key of bits (2048 to 4096, exponent 65537): its private key as PEM text.
std::optional<std::string> generateKeyPem(int bits, std::string* error);

// The private key of a PEM file (or PEM text, with fromText): an RSA key of 2048 to 4096 bits
// with exponent 65537, which is what the board's daemon verifies. An encrypted key is opened
// with passphrase; without one, it is asked for on the terminal, once. Its refusals: "PEM:
// encrypted: wrong passphrase", "PEM: encrypted: give --passin" (no terminal to ask on).
std::optional<SigningKey> loadSigningKey(const std::string& pem, bool fromText, std::string* error,
                                         const std::optional<std::string>& passphrase = {});

// The modulus (big-endian) of the key in PEM text, which source names: a public key ("PUBLIC
// KEY" or "RSA PUBLIC KEY") or a private key, opened as loadSigningKey opens one; the same
// kind of key as there. What the board's key file of a key held elsewhere is made from.
std::optional<Bytes> loadPublicModulus(const std::string& pem, const std::string& source,
                                       std::string* error,
                                       const std::optional<std::string>& passphrase = {});

// The passphrase that a --passin value names, in the forms of the openssl program: "pass:TEXT",
// "env:VARIABLE", "file:PATH" and "fd:NUMBER" (their first line). Nothing, with a message in
// error, for another form or a source that can't be read.
std::optional<std::string> readPassphrase(const std::string& source, std::string* error);

}  // namespace mkupdate
