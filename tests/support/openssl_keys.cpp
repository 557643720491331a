#include "tests/support/openssl_keys.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>

#include "tests/support/board.h"

namespace {

KeyBytes readBytes(const std::string& path) {
    std::string text = readWholeFile(path);
    return KeyBytes(text.begin(), text.end());
}

}  // namespace

// Hex digits to bytes; openssl leaves out a leading zero digit, so an odd count has one more.
KeyBytes bytesFromHex(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    KeyBytes bytes;
    // An odd count: the first digit alone is the first byte.
    std::size_t at = text.size() % 2;
    if (at != 0)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(0, 1), nullptr, 16)));
    for (; at + 1 < text.size(); at += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(at, 2), nullptr, 16)));
    return bytes;
}

bool openssl(const std::string& arguments) {
    return std::system(("openssl " + arguments + " 2>/dev/null").c_str()) == 0;
}

OpensslKey makeOpensslKey(const std::string& name, int bits) {
    OpensslKey key{"/tmp/" + name + ".pem", {}};
    // The build's pool first (tests/support/make-key-pool), each of its keys once per test
    // program, so that the keys a test makes differ as openssl's would.
    static std::map<int, int> taken;
    const std::string pooled = std::string(TEST_KEY_POOL_PATH) + "/rsa-" + std::to_string(bits) +
                               "-" + std::to_string(taken[bits]++);
    std::string text;
    if (access((pooled + ".pem").c_str(), R_OK) == 0) {
        writeWholeFile(key.pem, readWholeFile(pooled + ".pem"));
        text = readWholeFile(pooled + ".modulus");
    } else {
        EXPECT_TRUE(openssl("genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:" +
                            std::to_string(bits) + " -out " + key.pem));
        EXPECT_TRUE(
            openssl("rsa -in " + key.pem + " -modulus -noout -out " + key.pem + ".modulus"));
        text = readWholeFile(key.pem + ".modulus");
    }
    if (text.rfind("Modulus=", 0) == 0) key.modulus = bytesFromHex(text.substr(8));
    EXPECT_FALSE(key.modulus.empty()) << "no modulus from openssl for " << bits << " bits";
    return key;
}

KeyBytes opensslSign(const OpensslKey& key, const KeyBytes& message, const std::string& digest) {
    writeWholeFile("/tmp/openssl-message", message);
    EXPECT_TRUE(openssl("dgst -" + digest + " -sign " + key.pem +
                        " -out /tmp/openssl-signature /tmp/openssl-message"));
    return readBytes("/tmp/openssl-signature");
}

KeyBytes opensslSignRawBlock(const OpensslKey& key, const KeyBytes& block) {
    writeWholeFile("/tmp/openssl-block", block);
    EXPECT_TRUE(openssl("pkeyutl -decrypt -inkey " + key.pem +
                        " -pkeyopt rsa_padding_mode:none -in /tmp/openssl-block"
                        " -out /tmp/openssl-signature"));
    return readBytes("/tmp/openssl-signature");
}

void installUpdateKey(const OpensslKey& key, const std::string& name) {
    mkdir(kUpdateKeyFolder, 0755);
    writeWholeFile(std::string(kUpdateKeyFolder) + "/" + name + ".key",
                   mkupdate::updateKeyFileText(key.modulus));
}

mkupdate::Bytes signedWith(const mkupdate::Bytes& image, const OpensslKey& key, bool replace,
                           std::optional<std::uint32_t> securityVersion) {
    std::string error;
    auto signedImage = mkupdate::signImage(
        image, updateKeyIdOf(key.modulus),
        [&](std::span<const std::uint8_t> message, std::string*) -> std::optional<mkupdate::Bytes> {
            return opensslSign(key, KeyBytes(message.begin(), message.end()));
        },
        replace, &error, securityVersion);
    EXPECT_TRUE(signedImage) << error;
    return signedImage.value_or(mkupdate::Bytes());
}
