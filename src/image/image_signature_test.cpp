// The signature block, the board's key files and the digests of an image's files, as the
// reception reads them; the signatures themselves are the system tests' (tests/signed_update).
#include "image/image_signature.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "image/key_set_statement.h"
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
    EXPECT_EQ(found.format, 1u);
    EXPECT_EQ(found.securityVersion, 0u) << "format 1 counts as security version 0";

    const Bytes secured = bytesOf("UPD-SIG\n" + word(2) + word(3) + id + word(0x01020304) + "sig");
    ASSERT_EQ(parseSignatureBlock(secured, &found), SignatureBlockParse::Found);
    EXPECT_EQ(found.format, 2u);
    EXPECT_EQ(found.securityVersion, 0x01020304u);
    EXPECT_EQ(std::string(found.signature.begin(), found.signature.end()), "sig");
    EXPECT_TRUE(found.note.empty());
    EXPECT_EQ(parseSignatureBlock(bytesOf("UPD-SIG\n" + word(3) + word(3) + id + word(1) + "sig"),
                                  &found),
              SignatureBlockParse::Damaged)
        << "a format to come is none of these";
}

// A format 2 signature covers the security version: the statement that binds it differs from
// the files' statement and from that of any other security version.
TEST(SignatureBlock, Format2StatementBindsTheSecurityVersion) {
    const Sha256Digest files = sha256(bytesOf("the files' statement"));
    SignatureBlock block{};
    block.format = 1;
    EXPECT_EQ(signedStatementDigest(block, files), files);
    block.format = 2;
    block.securityVersion = 7;
    auto statement = securityStatement(7, files);
    EXPECT_EQ(std::string(statement.begin(), statement.begin() + 8), word(2) + word(7));
    EXPECT_TRUE(std::equal(files.begin(), files.end(), statement.begin() + 8));
    EXPECT_EQ(signedStatementDigest(block, files), sha256(statement));
    block.securityVersion = 8;
    EXPECT_NE(signedStatementDigest(block, files), sha256(statement));
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

// A key is a release key unless its file says "role root"; one role line at most, spelt so.
TEST(UpdateKeyFile, NamesItsRoleOnceAtMost) {
    const std::string line = mkupdate::updateKeyFileText(makeOpensslKey("role-key", 2048).modulus);
    const struct {
        std::string text;
        std::optional<KeyRole> role;  // nothing: no key file
    } cases[] = {
        {line, KeyRole::Release},
        {"role root\n" + line, KeyRole::Root},
        {line + "role root\r\n", KeyRole::Root},
        {line + "role release\n", KeyRole::Release},
        {line + "role root\nrole root\n", std::nullopt},
        {line + "role release\nrole root\n", std::nullopt},
        {line + "role admin\n", std::nullopt},
        {line + "role  root\n", std::nullopt},
        {line + "role Root\n", std::nullopt},
        {line + "role root \n", std::nullopt},
    };
    for (const auto& c : cases) {
        RsaPublicKey key{};
        UpdateKeyId id{};
        KeyRole role = c.role == KeyRole::Root ? KeyRole::Release : KeyRole::Root;
        EXPECT_EQ(parseUpdateKey(c.text, &key, &id, &role), c.role.has_value()) << c.text;
        if (c.role) {
            EXPECT_EQ(role, *c.role) << c.text;
        }
        EXPECT_EQ(parseUpdateKey(c.text, &key, &id), c.role.has_value()) << c.text;
    }
}

// Only a regular file of bounded size is read as a key file: nothing at its name blocks the
// reader or leads it elsewhere.
TEST(UpdateKeyFile, IsOnlyARegularFileOfBoundedSize) {
    writeWholeFile("/tmp/real.key",
                   mkupdate::updateKeyFileText(makeOpensslKey("bounded-key", 2048).modulus));
    unlink("/tmp/fifo.key");
    ASSERT_EQ(mkfifo("/tmp/fifo.key", 0644), 0);
    unlink("/tmp/link.key");
    ASSERT_EQ(symlink("/tmp/real.key", "/tmp/link.key"), 0);
    mkdir("/tmp/folder.key", 0755);
    writeWholeFile("/tmp/big.key", std::string(4097, '#'));
    RsaPublicKey read{};
    UpdateKeyId id{};
    EXPECT_TRUE(readUpdateKeyFile("/tmp/real.key", &read, &id));
    for (const char* path :
         {"/tmp/fifo.key", "/tmp/link.key", "/tmp/folder.key", "/tmp/big.key", "/dev/null"})
        EXPECT_FALSE(readUpdateKeyFile(path, &read, &id)) << path;
}

// What a key folder is to the daemon: absent or empty, no check; keys; otherwise every image
// refused.
TEST(KeyFolder, IsReadAsTheDaemonTrustsIt) {
    const struct {
        const char* name;
        std::vector<std::string> files;  // "" makes the folder a file
        KeyFolderState state;
    } cases[] = {
        {"empty", {}, KeyFolderState::Empty},
        {"keys", {"a.key", "b.pub"}, KeyFolderState::Keys},
        {"onlyOthers", {"a.pub", ".a.key"}, KeyFolderState::NoKeyFile},
        {"aFile", {""}, KeyFolderState::Unlistable},
    };
    for (const auto& c : cases) {
        const std::string folder = std::string("/tmp/keys-") + c.name;
        if (c.files == std::vector<std::string>{""}) {
            writeWholeFile(folder, "not a folder");
        } else {
            mkdir(folder.c_str(), 0755);
            for (const std::string& file : c.files) writeWholeFile(folder + "/" + file, "");
        }
        std::vector<std::string> others;
        const OtherFileListener listener{
            [](void* context, const char* path) {
                static_cast<std::vector<std::string>*>(context)->push_back(path);
            },
            &others};
        KeyFolder read = inspectKeyFolder(folder.c_str(), &listener);
        EXPECT_EQ(read.state, c.state) << c.name;
        std::size_t named = 0;
        for (const std::string& file : c.files) named += !file.empty() && !file.ends_with(".key");
        named += c.state == KeyFolderState::NoKeyFile;  // the hidden key file too
        EXPECT_EQ(others.size(), named) << c.name;
    }
    EXPECT_EQ(inspectKeyFolder("/tmp/no-such-keys").state, KeyFolderState::Absent);
    unlink("/tmp/dangling-keys");
    ASSERT_EQ(symlink("/tmp/nowhere", "/tmp/dangling-keys"), 0);
    KeyFolder dangling = inspectKeyFolder("/tmp/dangling-keys");
    EXPECT_EQ(dangling.state, KeyFolderState::Unlistable);
    EXPECT_EQ(dangling.error, ENOENT);
}

// The set's statement and its signatures stand beside its keys: nobody is told of them as of
// a stray file, and they are no key: a folder of only them refuses every image.
TEST(KeyFolder, TheSetsStatementIsNoStrangerAndNoKey) {
    for (bool withKey : {true, false}) {
        const std::string folder = withKey ? "/tmp/stated-keys" : "/tmp/stated-only";
        mkdir(folder.c_str(), 0755);
        writeWholeFile(folder + "/keyset", "");
        writeWholeFile(folder + "/keyset.sig", "");
        if (withKey) writeWholeFile(folder + "/a.key", "");
        std::vector<std::string> others;
        const OtherFileListener listener{
            [](void* context, const char* path) {
                static_cast<std::vector<std::string>*>(context)->push_back(path);
            },
            &others};
        EXPECT_EQ(inspectKeyFolder(folder.c_str(), &listener).state,
                  withKey ? KeyFolderState::Keys : KeyFolderState::NoKeyFile);
        EXPECT_TRUE(others.empty()) << others.front();
    }
}

std::vector<std::string> unreadableKeys;

// A check lists the folder once: in that one listing each file that isn't a key is heard of
// and each key file met is tried (an unreadable one heard of), but only for a signed image.
TEST(KeyFolder, ACheckHearsOfEachFileOnce) {
    const std::string folder = "/tmp/checked-keys";
    mkdir(folder.c_str(), 0755);
    for (const char* name : {"a.key", "b.key", "c.pub", "keyset"})
        writeWholeFile(folder + "/" + name, "not a key");
    const std::string signedFile0 =
        "UPD-SIG\n" + word(kSignatureFormatFiles) + word(4) + std::string(16, 'k') + "sig!";
    for (const std::string& file0 : {signedFile0, std::string("a note")}) {
        const bool isSigned = file0 == signedFile0;
        SCOPED_TRACE(isSigned ? "signed" : "unsigned");
        unreadableKeys.clear();
        std::vector<std::string> others;
        const OtherFileListener listener{
            [](void* context, const char* path) {
                static_cast<std::vector<std::string>*>(context)->push_back(path);
            },
            &others};
        SignatureCheck check = checkImageSignature(
            {reinterpret_cast<const std::uint8_t*>(file0.data()), file0.size()}, Sha256Digest{},
            folder.c_str(), 0, [](const char* path) { unreadableKeys.push_back(path); }, &listener);
        EXPECT_EQ(check.verdict,
                  isSigned ? SignatureVerdict::UnknownKey : SignatureVerdict::NoSignature);
        EXPECT_EQ(others, std::vector<std::string>{folder + "/c.pub"});
        std::sort(unreadableKeys.begin(), unreadableKeys.end());
        std::vector<std::string> tried;
        if (isSigned) tried = {folder + "/a.key", folder + "/b.key"};
        EXPECT_EQ(unreadableKeys, tried);
    }
}

// The board's security version: a number on a line of its own, 0 without the file, and
// nothing (every signed image refused) for anything else.
TEST(BoardSecurityVersionFile, IsANumberOrNothing) {
    const struct {
        const char* text;  // nullptr: no file
        std::optional<std::uint32_t> version;
    } cases[] = {
        {nullptr, 0},
        {"3\n", 3},
        {"4294967295\n", 4294967295u},
        {"7", 7},
        {"", std::nullopt},
        {"4294967296\n", std::nullopt},
        {"-1\n", std::nullopt},
        {"3\n4\n", std::nullopt},
        {"three\n", std::nullopt},
    };
    for (const auto& c : cases) {
        unlink("/tmp/security-version");
        if (c.text != nullptr) writeWholeFile("/tmp/security-version", c.text);
        EXPECT_EQ(readBoardSecurityVersion("/tmp/security-version"), c.version)
            << (c.text ? c.text : "(none)");
    }
}

// A board's record that isn't a regular file of its own (a link to a good record, a folder,
// a FIFO, another user's file) is no record: every signed image is refused rather than read
// as 0.
TEST(BoardSecurityVersionFile, IsOnlyARegularFileOfItsOwn) {
    static constexpr char kRecord[] = "/tmp/security-version";
    const struct {
        const char* name;
        void (*make)();
    } cases[] = {
        {"link", [] { ASSERT_EQ(symlink("/tmp/good-version", kRecord), 0); }},
        {"danglingLink", [] { ASSERT_EQ(symlink("/tmp/no-version", kRecord), 0); }},
        {"folder", [] { ASSERT_EQ(mkdir(kRecord, 0755), 0); }},
        {"fifo", [] { ASSERT_EQ(mkfifo(kRecord, 0644), 0); }},
        {"anotherUsers",
         [] {
             writeWholeFile(kRecord, "3\n");
             ASSERT_EQ(chown(kRecord, 65534, 65534), 0);
         }},
    };
    writeWholeFile("/tmp/good-version", "3\n");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        unlink(kRecord);
        rmdir(kRecord);
        c.make();
        EXPECT_EQ(readBoardSecurityVersion(kRecord), std::nullopt);
    }
    unlink(kRecord);
    rmdir(kRecord);
}

TEST(KeySetNumber, IsTheFolderNameAndADecimalNumber) {
    const struct {
        const char* name;
        std::int32_t number;  // -1: not a set's name
    } cases[] = {
        {"update-keys.0", 0},
        {"update-keys.17", 17},
        {"update-keys.999999999", 999999999},
        {"update-keys.1000000000", -1},
        {"update-keys.07", -1},
        {"update-keys.", -1},
        {"update-keys", -1},
        {"update-keys.enrolled", -1},
        {"update-keys.1/", -1},
        {"/etc/update-keys.1", -1},
        {"update-keys.-1", -1},
        {"update-keysX1", -1},
        {"other.1", -1},
    };
    for (const auto& c : cases) EXPECT_EQ(keySetNumber(c.name, "update-keys"), c.number) << c.name;
}

// The board's rules: its key folder's link is followed only to a real set folder beside it,
// and on a board that has held keys, none is no licence to take images unchecked.
TEST(KeyFolder, IsReadByTheBoardsRules) {
    const struct {
        const char* name;
        const char* link;  // nullptr: no link at /tmp/kf
        bool enrolled;
        SignatureVerdict verdict;
        const char* reason;
    } cases[] = {
        {"aSet", "kf.2", false, SignatureVerdict::NoSignature, "no signature"},
        {"aMissingSet", "kf.5", false, SignatureVerdict::KeyFolderUnlistable,
         "key folder /tmp/kf can't be listed (No such file or directory)"},
        {"aLinkToALink", "kf.3", false, SignatureVerdict::KeyFolderUnlistable,
         "key folder /tmp/kf is a link, but not to a key set beside it"},
        {"absolute", "/tmp/kf.2", false, SignatureVerdict::KeyFolderUnlistable,
         "key folder /tmp/kf is a link, but not to a key set beside it"},
        {"elsewhere", "../etc", false, SignatureVerdict::KeyFolderUnlistable,
         "key folder /tmp/kf is a link, but not to a key set beside it"},
        {"aFileSet", "kf.4", false, SignatureVerdict::KeyFolderUnlistable,
         "key folder /tmp/kf is a link, but not to a key set beside it"},
        {"anEmptySet", "kf.6", false, SignatureVerdict::NoKeyInstalled, nullptr},
        {"anEmptySetEnrolled", "kf.6", true, SignatureVerdict::KeysLost,
         "the board has held update keys (/etc/update-keys.enrolled), but key folder /tmp/kf "
         "is empty"},
        {"noFolder", nullptr, false, SignatureVerdict::NoKeyInstalled, nullptr},
        {"noFolderEnrolled", nullptr, true, SignatureVerdict::KeysLost,
         "the board has held update keys (/etc/update-keys.enrolled), but key folder /tmp/kf "
         "is missing"},
    };
    for (const char* path : {"/tmp/kf", "/tmp/kf.3", "/tmp/kf.4"}) unlink(path);
    mkdir("/tmp/kf.2", 0755);
    writeWholeFile("/tmp/kf.2/a.key", "");
    mkdir("/tmp/kf.6", 0755);
    ASSERT_EQ(symlink("kf.2", "/tmp/kf.3"), 0);
    writeWholeFile("/tmp/kf.4", "");
    const std::string unsignedFile0 = "a note";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        unlink("/tmp/kf");
        if (c.link != nullptr) {
            ASSERT_EQ(symlink(c.link, "/tmp/kf"), 0);
        }
        SignatureCheck check = checkImageSignature(
            {reinterpret_cast<const std::uint8_t*>(unsignedFile0.data()), unsignedFile0.size()},
            Sha256Digest{}, "/tmp/kf", 0, nullptr, nullptr, {true, c.enrolled});
        EXPECT_EQ(check.verdict, c.verdict);
        char reason[160] = "";
        EXPECT_EQ(describeSignatureRefusal(check, "/tmp/kf", reason, sizeof reason),
                  c.reason != nullptr);
        if (c.reason != nullptr) {
            EXPECT_STREQ(reason, c.reason);
        }
    }
    // Without the board's rules (a folder on the makers' machine), a link is followed.
    unlink("/tmp/kf");
    ASSERT_EQ(symlink("/tmp/kf.2", "/tmp/kf"), 0);
    EXPECT_EQ(inspectKeyFolder("/tmp/kf").state, KeyFolderState::Keys);
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
