// The key-set statement as mkupdate writes it and signs it: read back by the board's parser,
// its signatures verified by openssl, and every set refused that a board would refuse.
#include "tools/mkupdate/key_set_making.h"

#include <gtest/gtest.h>

#include "tests/support/board.h"
#include "tests/support/key_sets.h"
#include "tests/support/openssl_keys.h"
#include "tools/common/formatted.h"

namespace mkupdate {
namespace {

// A key of the set, made by openssl once for the whole suite.
struct MadeSetKey {
    OpensslKey openssl;
    SetKey key;
};

MadeSetKey madeSetKey(const std::string& name, KeyRole role) {
    MadeSetKey made{makeOpensslKey("key-set-" + name, 2048), {}};
    std::string text = updateKeyFileText(made.openssl.modulus, role);
    auto key = readSetKey(name + ".key", Bytes(text.begin(), text.end()));
    EXPECT_TRUE(key) << text;
    if (key) made.key = *key;
    return made;
}

class KeySetMaking : public testing::Test {
protected:
    static void SetUpTestSuite() {
        madeKeys = new std::vector<MadeSetKey>{
            madeSetKey("release", KeyRole::Release), madeSetKey("root-a", KeyRole::Root),
            madeSetKey("root-b", KeyRole::Root), madeSetKey("root-c", KeyRole::Root),
            madeSetKey("next-release", KeyRole::Release)};
    }
    static void TearDownTestSuite() { delete madeKeys; }
    static const MadeSetKey& made(std::size_t i) { return (*madeKeys)[i]; }
    static const SetKey& key(std::size_t i) { return made(i).key; }
    static constexpr std::size_t kRelease = 0, kRootA = 1, kRootB = 2, kRootC = 3, kNext = 4;

    static KeySetFiles setOf(std::initializer_list<std::size_t> which) {
        KeySetFiles set;
        for (std::size_t i : which) set.keys.push_back(key(i));
        return set;
    }
    static RootSigningKey signing(std::size_t i) {
        const OpensslKey& openssl = made(i).openssl;
        return {
            openssl.pem, key(i).id,
            [openssl](std::span<const std::uint8_t> message, std::string*) -> std::optional<Bytes> {
                return opensslSign(openssl, KeyBytes(message.begin(), message.end()));
            }};
    }
    static UpdateDescription updateOf(const KeySetFiles& set) {
        UpdateDescription update;
        update.installKeys.emplace();
        for (const SetKey& k : set.keys)
            update.installKeys->push_back(PartFile{"/tmp/keys/" + k.name, k.content, false});
        return update;
    }
    static std::string textOf(const std::optional<PartFile>& file) {
        return file ? std::string(file->content.begin(), file->content.end()) : "";
    }

    static std::vector<MadeSetKey>* madeKeys;
};
std::vector<MadeSetKey>* KeySetMaking::madeKeys = nullptr;

std::string digestHex(const Sha256Digest& digest) {
    std::string text;
    for (std::uint8_t byte : digest) text += formatted("%02x", static_cast<unsigned>(byte));
    return text;
}

TEST_F(KeySetMaking, KeyFilesCarryTheirRoleAndReleaseKeysStayAsBefore) {
    const std::string release = updateKeyFileText(made(kRelease).openssl.modulus);
    EXPECT_EQ(release, updateKeyFileText(made(kRelease).openssl.modulus, KeyRole::Release));
    EXPECT_EQ(release.find("role"), std::string::npos);
    const std::string root = updateKeyFileText(made(kRootA).openssl.modulus, KeyRole::Root);
    EXPECT_NE(root.find("\nrole root\nrsa-sha256 65537 "), std::string::npos) << root;
    EXPECT_EQ(key(kRelease).role, KeyRole::Release);
    EXPECT_EQ(key(kRootA).role, KeyRole::Root);
    EXPECT_EQ(key(kRootA).id, updateKeyIdOf(made(kRootA).openssl.modulus));
}

TEST_F(KeySetMaking, DefaultThresholdIsAMajorityOfTheRoots) {
    const std::pair<std::size_t, std::uint32_t> cases[] = {{1, 1}, {2, 2}, {3, 2},
                                                           {4, 3}, {5, 3}, {16, 9}};
    for (auto [roots, threshold] : cases) EXPECT_EQ(defaultKeySetThreshold(roots), threshold);
}

// Names ascend byte by byte (upper case before lower case), each with its file's SHA-256; the
// board's parser reads back what was written.
TEST_F(KeySetMaking, StatementListsTheKeysByNameAndReadsBack) {
    SetKey upper = key(kRootB);
    upper.name = "Z.key";
    const std::vector<const SetKey*> keys{&key(kRootA), &upper, &key(kRelease)};
    const std::string text = keySetStatementText(keys, 7, 2);
    EXPECT_EQ(text, "update-keyset 1\nversion 7\nthreshold 2\nkey Z.key " +
                        digestHex(sha256(upper.content)) + "\nkey release.key " +
                        digestHex(sha256(key(kRelease).content)) + "\nkey root-a.key " +
                        digestHex(sha256(key(kRootA).content)) + "\n");
    auto textOf = [](const SetKey& k) { return std::string(k.content.begin(), k.content.end()); };
    EXPECT_EQ(text, ::keySetStatementOf(7, 2,
                                        {{"Z.key", textOf(upper)},
                                         {"release.key", textOf(key(kRelease))},
                                         {"root-a.key", textOf(key(kRootA))}}))
        << "the daemon's tests' own author of statements writes the same";
    KeySetStatement statement;
    ASSERT_TRUE(parseKeySetStatement(text, &statement));
    EXPECT_EQ(statement.version, 7u);
    EXPECT_EQ(statement.threshold, 2u);
    ASSERT_EQ(statement.keyCount, 3u);
    EXPECT_EQ(statement.keys[0].name, "Z.key");
    EXPECT_EQ(statement.keys[2].digest, sha256(key(kRootA).content));
    EXPECT_EQ(keySetStatementText(keys, 4294967295u, 16).substr(16, 19), "version 4294967295\n");
}

// Roots that sign here and a signature made elsewhere: one line each, by key ID, which
// openssl verifies over the statement's bytes and the board's parser reads back.
TEST_F(KeySetMaking, SignaturesAreTheRootsOwnOverTheStatement) {
    const KeySetFiles set = setOf({kRelease, kRootA, kRootB, kRootC});
    UpdateDescription update = updateOf(set);
    std::vector<std::string> faults;
    ASSERT_TRUE(
        stateKeySet({1, std::nullopt, {signing(kRootA)}, {}, nullptr, ""}, &update, &faults))
        << "1 of 3 roots: below the default threshold 2 is the update's check's";
    const std::string statement = textOf(update.keySetStatement);
    ASSERT_TRUE(statement.starts_with("update-keyset 1\nversion 1\nthreshold 2\n")) << statement;
    const KeyBytes elsewhere =
        opensslSign(made(kRootC).openssl, KeyBytes(statement.begin(), statement.end()));
    update = updateOf(set);
    ASSERT_TRUE(stateKeySet({1,
                             std::nullopt,
                             {signing(kRootA), signing(kRootA)},
                             {PartFile{"/tmp/c.sig", elsewhere, false}},
                             nullptr,
                             ""},
                            &update, &faults))
        << testing::PrintToString(faults);
    const std::string signatures = textOf(update.keySetSignatures);
    std::vector<std::uint8_t> bytes(signatures.size() / 2);
    std::array<KeySetSignature, kMaxKeySetSignatures> parsed{};
    ASSERT_EQ(parseKeySetSignatures(signatures, bytes, parsed), 2) << signatures;
    EXPECT_LT(parsed[0].keyId, parsed[1].keyId);
    writeWholeFile("/tmp/statement", statement);
    for (int i = 0; i < 2; ++i) {
        std::size_t signer = parsed[i].keyId == key(kRootA).id ? kRootA : kRootC;
        ASSERT_EQ(parsed[i].keyId, key(signer).id);
        writeWholeFile("/tmp/signature",
                       KeyBytes(parsed[i].signature.begin(), parsed[i].signature.end()));
        EXPECT_TRUE(openssl("pkey -in " + made(signer).openssl.pem + " -pubout -out /tmp/pub"));
        EXPECT_TRUE(
            openssl("dgst -sha256 -verify /tmp/pub -signature /tmp/signature "
                    "/tmp/statement >/dev/null"));
    }
    KeySetFiles stated = set;
    stated.statement = statement;
    stated.signatures = signatures;
    KeySetReading reading = readKeySet(stated, "--install-keys");
    EXPECT_TRUE(reading.faults.empty()) << testing::PrintToString(reading.faults);
    ASSERT_EQ(reading.signers.size(), 2u);
    EXPECT_TRUE(reading.signers[0].valid && reading.signers[1].valid);
}

// Every set that no board takes, or that leaves a board stuck, refused as build refuses it;
// and with the board's keys, what that board refuses.
TEST_F(KeySetMaking, RefusesWhatABoardWouldRefuse) {
    KeySetFiles board = setOf({kRelease, kRootA, kRootB, kRootC});
    board.statement =
        keySetStatementText({&key(kRelease), &key(kRootA), &key(kRootB), &key(kRootC)}, 5, 2);
    const std::string id = updateKeyIdText(key(kRootA).id).data();
    const KeyBytes garbage(256, 0x5A);
    KeySetFiles blank = setOf({kRelease, kRootA});
    blank.keys[0].name = "release key.key";
    KeySetFiles longNames = setOf({kRelease, kRootA, kRootB, kRootC, kNext});
    for (SetKey& k : longNames.keys) k.name = std::string(900, 'n') + k.name;
    const struct {
        const char* what;
        KeySetFiles set;
        KeySetOrder order;
        std::string fault;
    } cases[] = {
        {"roots, no version",
         setOf({kRelease, kRootA}),
         {},
         "--install-keys: the set holds root keys: give --keyset-version N, above the boards' "
         "key-set version"},
        {"a statement without roots",
         setOf({kRelease}),
         {1, std::nullopt, {}, {}, nullptr, ""},
         "--install-keys: no root key, so no statement: a set of release keys travels without "
         "one (keygen --role root makes a root key)"},
        {"roots only",
         setOf({kRootA, kRootB}),
         {1, std::nullopt, {}, {}, nullptr, ""},
         "--install-keys: root keys only; without a release key no image could be signed for "
         "the boards that take it"},
        {"threshold above the roots",
         setOf({kRelease, kRootA}),
         {1, 2, {}, {}, nullptr, ""},
         "--threshold 2: the set holds 1 root keys"},
        {"a name with a blank",
         blank,
         {1, std::nullopt, {}, {}, nullptr, ""},
         "--install-keys/release key.key: a blank or control character in its name, which the "
         "statement can't carry"},
        {"a statement too long",
         longNames,
         {1, std::nullopt, {}, {}, nullptr, ""},
         "--install-keys: the statement takes 4945 bytes, a board reads 4096 at most (shorter "
         "names of the key files make it fit)"},
        {"a root key of neither set",
         setOf({kNext, kRootB}),
         {1, std::nullopt, {signing(kRootA)}, {}, nullptr, ""},
         made(kRootA).openssl.pem + ": key " + id + " is no root key of the set"},
        {"a release key as root",
         setOf({kNext, kRootB}),
         {1, std::nullopt, {signing(kNext)}, {}, &board, "/tmp/board"},
         made(kNext).openssl.pem + ": key " + std::string(updateKeyIdText(key(kNext).id).data()) +
             " is no root key of the set nor of --board-keys /tmp/board"},
        {"a signature of no root",
         setOf({kNext, kRootB}),
         {1, std::nullopt, {}, {PartFile{"/tmp/x.sig", garbage, false}}, &board, "/tmp/board"},
         "/tmp/x.sig: no root key of the set nor of --board-keys /tmp/board made this signature "
         "of the statement"},
        {"too few of the board's roots",
         setOf({kNext, kRootA, kRootB, kRootC}),
         {6, std::nullopt, {signing(kRootA)}, {}, &board, "/tmp/board"},
         "a board with the keys of /tmp/board refuses this key set: 1 of its root keys signed, "
         "it needs 2"},
        {"not above the board's version",
         setOf({kNext, kRootA}),
         {5, std::nullopt, {signing(kRootA), signing(kRootB)}, {}, &board, "/tmp/board"},
         "a board with the keys of /tmp/board refuses this key set: key-set version 5 is not "
         "above its 5"},
        {"no roots for a board with roots",
         setOf({kNext}),
         {std::nullopt, std::nullopt, {}, {}, &board, "/tmp/board"},
         "a board with the keys of /tmp/board refuses this key set: its set holds root keys, "
         "this one none"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        UpdateDescription update = updateOf(c.set);
        std::vector<std::string> faults;
        EXPECT_EQ(stateKeySet(c.order, &update, &faults), c.fault.empty());
        if (!c.fault.empty()) {
            ASSERT_FALSE(faults.empty());
            EXPECT_EQ(faults.back(), c.fault);
            EXPECT_FALSE(update.keySetStatement);
        }
    }
    // Fewer of the new set's roots than its threshold: every board refuses it.
    KeySetFiles set = setOf({kNext, kRootA, kRootB});
    UpdateDescription update = updateOf(set);
    std::vector<std::string> faults;
    ASSERT_TRUE(
        stateKeySet({6, std::nullopt, {signing(kRootA)}, {}, nullptr, ""}, &update, &faults));
    set.statement = textOf(update.keySetStatement);
    set.signatures = textOf(update.keySetSignatures);
    EXPECT_EQ(readKeySet(set, "--install-keys").faults,
              std::vector<std::string>{
                  "--install-keys: 1 of its root keys signed the statement; its threshold is 2"});
    // A statement that names another file, or a signature by a root over other bytes.
    KeySetFiles changed = set;
    changed.keys[0] = key(kRelease);
    KeySetReading reading = readKeySet(changed, "update.d/update-keys");
    EXPECT_NE(std::find(reading.faults.begin(), reading.faults.end(),
                        "update.d/update-keys/keyset: names next-release.key, which the set "
                        "doesn't hold"),
              reading.faults.end())
        << testing::PrintToString(reading.faults);
    KeySetFiles forged = set;
    forged.statement->replace(forged.statement->find("version 6"), 9, "version 9");
    reading = readKeySet(forged, "update.d/update-keys");
    EXPECT_NE(std::find(reading.faults.begin(), reading.faults.end(),
                        "update.d/update-keys/keyset.sig: bad signature by root key " + id),
              reading.faults.end())
        << testing::PrintToString(reading.faults);
}

}  // namespace
}  // namespace mkupdate
