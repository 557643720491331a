// The key-set statement and its signatures as the board reads them: one spelling of each,
// everything else refused.
#include "image/key_set_statement.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kDigestA(64, 'a');
const std::string kDigestB = std::string(62, '0') + "1f";

std::string statementOf(const std::string& version, const std::string& threshold,
                        const std::string& keys) {
    return "update-keyset 1\nversion " + version + "\nthreshold " + threshold + "\n" + keys;
}

const std::string kKeys = "key a.key " + kDigestA + "\nkey b.key " + kDigestB + "\n";

TEST(KeySetStatement, ReadsVersionThresholdAndKeys) {
    const std::string text = statementOf("4294967295", "2", kKeys);
    KeySetStatement statement;
    ASSERT_TRUE(parseKeySetStatement(text, &statement));
    EXPECT_EQ(statement.version, 4294967295u);
    EXPECT_EQ(statement.threshold, 2u);
    ASSERT_EQ(statement.keyCount, 2u);
    EXPECT_EQ(statement.keys[0].name, "a.key");
    Sha256Digest allA;
    allA.fill(0xAA);
    EXPECT_EQ(statement.keys[0].digest, allA);
    EXPECT_EQ(statement.keys[1].name, "b.key");
    EXPECT_EQ(statement.keys[1].digest[31], 0x1F);
    EXPECT_EQ(statement.keys[1].digest[0], 0x00);
}

TEST(KeySetStatement, RefusesEveryOtherSpelling) {
    std::string sixteen;
    std::string seventeen;
    for (char c = 'a'; c < 'a' + 17; ++c) {
        std::string line = std::string("key ") + c + ".key " + kDigestA + "\n";
        if (c < 'a' + 16) sixteen += line;
        seventeen += line;
    }
    KeySetStatement statement;
    ASSERT_TRUE(parseKeySetStatement(statementOf("1", "16", sixteen), &statement));
    EXPECT_EQ(statement.keyCount, 16u);

    const std::string refused[] = {
        "",
        statementOf("1", "1", ""),                                 // no key
        statementOf("1", "1", seventeen),                          // too many keys
        "update-keyset 2\nversion 1\nthreshold 1\n" + kKeys,       // another format
        "update-keyset 1\nthreshold 1\nversion 1\n" + kKeys,       // lines out of order
        "update-keyset 1\nversion 1\n" + kKeys,                    // no threshold
        "# comment\n" + statementOf("1", "1", kKeys),              // a comment
        statementOf("1", "1", kKeys) + "\n",                       // a blank line
        statementOf("1", "1", kKeys.substr(0, kKeys.size() - 1)),  // last line unended
        statementOf("0", "1", kKeys),                              // version 0
        statementOf("01", "1", kKeys),                             // a leading zero
        statementOf("4294967296", "1", kKeys),                     // beyond 32 bits
        statementOf("+1", "1", kKeys),
        statementOf("1 ", "1", kKeys),
        statementOf("", "1", kKeys),
        statementOf("1", "0", kKeys),   // threshold 0
        statementOf("1", "17", kKeys),  // beyond 16
        statementOf("1", "1", "key b.key " + kDigestB + "\nkey a.key " + kDigestA + "\n"),
        statementOf("1", "1", "key a.key " + kDigestA + "\nkey a.key " + kDigestA + "\n"),
        statementOf("1", "1", "key a.pem " + kDigestA + "\n"),              // not a key file's name
        statementOf("1", "1", "key .a.key " + kDigestA + "\n"),             // hidden
        statementOf("1", "1", "key x/a.key " + kDigestA + "\n"),            // another folder
        statementOf("1", "1", "key a.key  " + kDigestA + "\n"),             // two spaces
        statementOf("1", "1", "key a.key " + std::string(64, 'A') + "\n"),  // upper case
        statementOf("1", "1", "key a.key " + kDigestA + "a\n"),             // 65 digits
        statementOf("1", "1", "key a.key " + kDigestA.substr(1) + "\n"),    // 63 digits
        statementOf("1", "1", "key a.key " + kDigestA.substr(1) + "g\n"),
        statementOf("1", "1", "key a.key\n"),
        statementOf("1", "1", "key  a.key " + kDigestA + "\n"),
        statementOf("1", "1", "key a.key " + kDigestA + "\r\n"),
        statementOf("1", "1", kKeys + std::string(4096, 'x')),  // beyond the size
        std::string("update-keyset 1\nversion 1\nthreshold 1\nkey a.key ") + kDigestA + "\n" +
            std::string(1, '\0'),
    };
    for (const std::string& text : refused)
        EXPECT_FALSE(parseKeySetStatement(text, &statement)) << text;
}

const std::string kIdA = std::string(30, '0') + "a1";
const std::string kIdB = std::string(30, '0') + "b2";

std::string signatureHex(std::size_t bytes, char digit) { return std::string(2 * bytes, digit); }

int parseSignatures(const std::string& text,
                    std::array<KeySetSignature, kMaxKeySetSignatures>& out) {
    static std::vector<std::uint8_t> bytes;
    bytes.assign(text.size() / 2, 0);
    return parseKeySetSignatures(text, bytes, out);
}

TEST(KeySetSignatures, ReadsEachKeyAndItsSignature) {
    std::array<KeySetSignature, kMaxKeySetSignatures> signatures;
    const std::string text =
        kIdA + " " + signatureHex(256, '1') + "\n" + kIdB + " " + signatureHex(512, 'f') + "\n";
    ASSERT_EQ(parseSignatures(text, signatures), 2);
    EXPECT_EQ(signatures[0].keyId[15], 0xA1);
    EXPECT_EQ(signatures[0].keyId[0], 0x00);
    ASSERT_EQ(signatures[0].signature.size(), 256u);
    EXPECT_EQ(signatures[0].signature[255], 0x11);
    EXPECT_EQ(signatures[1].keyId[15], 0xB2);
    ASSERT_EQ(signatures[1].signature.size(), 512u);
    EXPECT_EQ(signatures[1].signature[0], 0xFF);
    EXPECT_EQ(parseSignatures("", signatures), 0) << "no signature yet: the board counts none";

    std::string full;
    for (std::size_t i = 0; i < kMaxKeySetSignatures + 1; ++i) {
        std::string id =
            std::string(30, '0') + static_cast<char>('a' + i / 16) + "0123456789abcdef"[i % 16];
        if (i < kMaxKeySetSignatures) {
            full += id + " " + signatureHex(512, '2') + "\n";
        } else {
            EXPECT_EQ(parseSignatures(full, signatures), static_cast<int>(kMaxKeySetSignatures));
            full += id + " " + signatureHex(256, '2') + "\n";
        }
    }
    EXPECT_EQ(parseSignatures(full, signatures), -1) << "one signature more than may be";
}

TEST(KeySetSignatures, RefusesEveryOtherSpelling) {
    std::array<KeySetSignature, kMaxKeySetSignatures> signatures;
    const std::string good = signatureHex(256, '1');
    const std::string refused[] = {
        kIdA + " " + good,                                    // unended
        kIdA + " " + good + "\n" + kIdA + " " + good + "\n",  // a key twice
        kIdA + "  " + good + "\n",
        kIdA + good + "\n",
        kIdA.substr(1) + " " + good + "\n",          // 31 digits
        kIdA + "0 " + good + "\n",                   // 33 digits
        std::string(32, 'A') + " " + good + "\n",    // upper case ID
        kIdA + " " + signatureHex(256, 'A') + "\n",  // upper case signature
        kIdA + " " + good + "1\n",                   // odd digits
        kIdA + " " + signatureHex(255, '1') + "\n",  // shorter than any key's
        kIdA + " " + signatureHex(513, '1') + "\n",  // longer than any key's
        kIdA + " " + good + " \n",
        kIdA + " " + good + "\r\n",
        "\n",
        "# signatures\n" + kIdA + " " + good + "\n",
        kIdA + " " + good.substr(2) + "zz\n",
    };
    for (const std::string& text : refused)
        EXPECT_EQ(parseSignatures(text, signatures), -1) << text;
}

}  // namespace
