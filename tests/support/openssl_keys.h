// Keys and signatures that the openssl program makes at test time: the same tests run in the
// board's build under the emulator, where no crypto library exists for the board but the
// sandbox has this machine's /usr. Files go to the sandbox's own /tmp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/mkupdate/image_signing.h"

using KeyBytes = std::vector<std::uint8_t>;

// Hex digits to bytes, as openssl prints numbers: an odd count has a leading zero digit more.
KeyBytes bytesFromHex(std::string text);

// Runs the openssl program with arguments; true when it succeeded.
bool openssl(const std::string& arguments);

struct OpensslKey {
    std::string pem;
    KeyBytes modulus;  // big-endian, as openssl prints it: no leading zero byte
};
// An RSA key of bits, kept in /tmp/<name>.pem: the next of the build's pool, or a new one.
OpensslKey makeOpensslKey(const std::string& name, int bits);

// message's signature by openssl's own PKCS#1 v1.5 signing, over the named digest.
KeyBytes opensslSign(const OpensslKey& key, const KeyBytes& message,
                     const std::string& digest = "sha256");
// The private key's operation on a block of the modulus' length, with no padding: a signature
// that opens to exactly this block, for blocks that openssl would never sign.
KeyBytes opensslSignRawBlock(const OpensslKey& key, const KeyBytes& block);

// The key's file among the board's update keys (/etc/update-keys/<name>.key).
void installUpdateKey(const OpensslKey& key, const std::string& name);
// image signed with key, as "mkupdate sign" signs it (with --security-version when given).
mkupdate::Bytes signedWith(const mkupdate::Bytes& image, const OpensslKey& key,
                           bool replace = false,
                           std::optional<std::uint32_t> securityVersion = std::nullopt);
