// Root keys on the simulated board: while its set holds them, only they change it, through a
// statement that K of them signed; release keys sign images and nothing else.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "image/key_set_statement.h"
#include "tests/support/board.h"
#include "tests/support/key_sets.h"
#include "tests/support/openssl_keys.h"
#include "tests/support/updates.h"

using namespace std::chrono_literals;

namespace {

using KeyFiles = std::map<std::string, std::string>;

struct Fleet {
    OpensslKey r1 = makeOpensslKey("r1", 2048);
    OpensslKey r2 = makeOpensslKey("r2", 2048);
    OpensslKey r3 = makeOpensslKey("r3", 2048);
    OpensslKey a = makeOpensslKey("a", 2048);
    OpensslKey b = makeOpensslKey("b", 2048);
};

std::string keyIdOf(const OpensslKey& key) {
    return updateKeyIdText(updateKeyIdOf(key.modulus)).data();
}

// The fleet's first set: roots R1, R2, R3 (two of them change it), release keys A and B.
KeyFiles firstSet(const Fleet& fleet) {
    return {{"a.key", keyFileOf(fleet.a)},
            {"b.key", keyFileOf(fleet.b)},
            {"r1.key", keyFileOf(fleet.r1, true)},
            {"r2.key", keyFileOf(fleet.r2, true)},
            {"r3.key", keyFileOf(fleet.r3, true)}};
}

// keys with their statement of version and threshold, signed by signers.
KeyFiles withStatement(KeyFiles keys, std::uint32_t version, std::uint32_t threshold,
                       const std::vector<const OpensslKey*>& signers) {
    std::string statement = keySetStatementOf(version, threshold, keys);
    keys[kKeySetStatementName] = statement;
    keys[kKeySetSignaturesName] = keySetSignaturesOf(statement, signers);
    return keys;
}

// The board's key folder holding files.
void installBoardSet(const KeyFiles& files) {
    std::filesystem::create_directories(kUpdateKeyFolder);
    for (const auto& [name, content] : files)
        writeWholeFile((std::filesystem::path(kUpdateKeyFolder) / name).string(), content);
}

// The names of the board's key folder and their contents.
KeyFiles boardSet() {
    KeyFiles files;
    for (const auto& entry : std::filesystem::directory_iterator(kUpdateKeyFolder))
        files[entry.path().filename().string()] = readWholeFile(entry.path().string());
    return files;
}

struct KeyUpdateOutcome {
    std::string notice;
    std::string report;
};

KeyUpdateOutcome runKeyUpdate(const std::vector<std::uint8_t>& image) {
    TestPeer peer;
    SimDaemon daemon;
    KeyUpdateOutcome outcome;
    outcome.notice = runUpdateOnBoard(daemon, peer, image, 120s);
    outcome.report = readWholeFile("/tmp/update.log");
    return outcome;
}

// The report of an update signed by signer whose key step refused the set for reason.
std::string refusedReport(const OpensslKey& signer, const std::string& reason) {
    return "image signed by key " + keyIdOf(signer) + ", security version 0\n" +
           "Update keys:           started ... key set refused: " + reason + "\n" +
           "the board's keys are kept\n NOK\n*UPDATE_FINISHED* ... NOK\n";
}

// The report of an update signed by signer that put in set number of keys, of key-set version
// (none: a set without statement).
std::string takenReport(const OpensslKey* signer, int number, int keys,
                        std::optional<int> version) {
    return (signer == nullptr
                ? std::string()
                : "image signed by key " + keyIdOf(*signer) + ", security version 0\n") +
           "Update keys:           started ... OK\n" + "board's update keys now /etc/update-keys." +
           std::to_string(number) + " (keys: " + std::to_string(keys) + ")\n" +
           (version ? "board's key-set version now " + std::to_string(*version) + "\n" : "") +
           "*UPDATE_FINISHED* ... OK\n";
}

// Each refusal leaves the board with its keys and no key-set version recorded: the step ends
// NOK, and the report says why in one line.
struct RefusedRow {
    const char* name;
    // The new set, from the fleet's keys; the board holds the fleet's first set (version 1,
    // threshold 2).
    KeyFiles (*set)(const Fleet&);
    const char* reason;
    const char* record = nullptr;          // the board's key-set version record, when it has one
    const char* boardStatement = nullptr;  // the board's own statement, when not its first
    bool boardHoldsR1Twice = false;        // under a second name too
};

void PrintTo(const RefusedRow& row, std::ostream* out) { *out << row.name; }

KeyFiles boardsFirstSet(const Fleet& fleet) {
    return withStatement(firstSet(fleet), 1, 2, {&fleet.r1, &fleet.r2, &fleet.r3});
}

const std::vector<RefusedRow>& refusedRows() {
    static const std::vector<RefusedRow> rows = {
        {"releaseKeyAloneNoStatement",
         [](const Fleet& f) {
             return KeyFiles{{"a.key", keyFileOf(f.a)}};
         },
         "no statement (keyset) beside its keys"},
        {"releaseKeySignsAStatement",
         [](const Fleet& f) {
             return withStatement({{"a.key", keyFileOf(f.a, true)}}, 2, 1, {&f.a});
         },
         "signed by 0 of the board's root keys, 2 needed"},
        {"oneRootOfTwo",
         [](const Fleet& f) {
             return withStatement(firstSet(f), 2, 2, {&f.r1, &f.a});
         },
         "signed by 1 of the board's root keys, 2 needed"},
        {"oneRootTwiceUnderTwoNames",
         [](const Fleet& f) { return withStatement(firstSet(f), 2, 1, {&f.r1}); },
         "signed by 1 of the board's root keys, 2 needed", nullptr, nullptr, true},
        {"notSignedByItsOwnRoots",
         [](const Fleet& f) {
             return withStatement({{"a.key", keyFileOf(f.a)},
                                   {"r1.key", keyFileOf(f.r1, true)},
                                   {"r2.key", keyFileOf(f.r2, true)}},
                                  2, 2, {&f.r1, &f.r3});
         },
         "signed by 1 of its own root keys, 2 needed"},
        {"noRootKey",
         [](const Fleet& f) {
             return withStatement({{"a.key", keyFileOf(f.a)}, {"b.key", keyFileOf(f.b)}}, 2, 1,
                                  {&f.r1, &f.r2});
         },
         "it holds no root key"},
        {"thresholdAboveItsRoots",
         [](const Fleet& f) {
             return withStatement({{"a.key", keyFileOf(f.a)}, {"r1.key", keyFileOf(f.r1, true)}}, 2,
                                  2, {&f.r1, &f.r2});
         },
         "its threshold 2 is above its 1 root keys"},
        {"equalVersion",
         [](const Fleet& f) {
             return withStatement(firstSet(f), 1, 2, {&f.r1, &f.r2});
         },
         "key-set version 1 is not higher than the board's 1"},
        {"belowTheRecord",
         [](const Fleet& f) {
             return withStatement(firstSet(f), 4, 2, {&f.r1, &f.r2});
         },
         "key-set version 4 is not higher than the board's 5", "5\n"},
        {"recordUnreadable",
         [](const Fleet& f) {
             return withStatement(firstSet(f), 4, 2, {&f.r1, &f.r2});
         },
         "the board's key-set version (/etc/update-keyset-version) can't be read", "five\n"},
        {"boardsStatementDamaged",
         [](const Fleet& f) {
             return withStatement(firstSet(f), 4, 2, {&f.r1, &f.r2});
         },
         "the board's statement (/etc/update-keys/keyset) can't be read", nullptr,
         "update-keyset 1\nversion 1\n"},
        {"keyChangedAfterSigning",
         [](const Fleet& f) {
             KeyFiles set = withStatement(firstSet(f), 2, 2, {&f.r1, &f.r2});
             set["a.key"] = keyFileOf(f.a, true);
             return set;
         },
         "its statement doesn't name its key files as they are"},
        {"keyNotNamed",
         [](const Fleet& f) {
             KeyFiles set = withStatement(firstSet(f), 2, 2, {&f.r1, &f.r2});
             set["c.key"] = keyFileOf(f.a);
             return set;
         },
         "its statement doesn't name its key files as they are"},
        {"namedKeyMissing",
         [](const Fleet& f) {
             KeyFiles set = withStatement(firstSet(f), 2, 2, {&f.r1, &f.r2});
             set.erase("b.key");
             return set;
         },
         "its statement doesn't name its key files as they are"},
        {"statementDamaged",
         [](const Fleet& f) {
             KeyFiles set = withStatement(firstSet(f), 2, 2, {&f.r1, &f.r2});
             set[kKeySetStatementName] += "# signed\n";
             return set;
         },
         "its statement (keyset) can't be read"},
        {"signaturesOnly",
         [](const Fleet& f) {
             KeyFiles set = withStatement(firstSet(f), 2, 2, {&f.r1, &f.r2});
             set.erase(kKeySetStatementName);
             return set;
         },
         "no statement (keyset) beside its keys"},
        {"signaturesDamaged",
         [](const Fleet& f) {
             KeyFiles set = withStatement(firstSet(f), 2, 2, {&f.r1, &f.r2});
             set[kKeySetSignaturesName] += set[kKeySetSignaturesName];
             return set;
         },
         "its signatures (keyset.sig) can't be read"},
        {"signaturesMissing",
         [](const Fleet& f) {
             KeyFiles set = withStatement(firstSet(f), 2, 2, {&f.r1, &f.r2});
             set.erase(kKeySetSignaturesName);
             return set;
         },
         "signed by 0 of the board's root keys, 2 needed"},
        {"signaturesOfAnotherStatement",
         [](const Fleet& f) {
             KeyFiles set = withStatement(firstSet(f), 2, 2, {&f.r1, &f.r2});
             set[kKeySetSignaturesName] =
                 withStatement(firstSet(f), 3, 2, {&f.r1, &f.r2})[kKeySetSignaturesName];
             return set;
         },
         "signed by 0 of the board's root keys, 2 needed"},
    };
    return rows;
}

class RootKeysRefuse : public testing::TestWithParam<RefusedRow> {};

TEST_P(RootKeysRefuse, TheBoardKeepsItsKeys) {
    const RefusedRow& row = GetParam();
    const Fleet fleet;
    KeyFiles board = boardsFirstSet(fleet);
    if (row.boardStatement != nullptr) board[kKeySetStatementName] = row.boardStatement;
    if (row.boardHoldsR1Twice) board["r1-again.key"] = keyFileOf(fleet.r1, true);
    installBoardSet(board);
    if (row.record != nullptr) writeWholeFile(kKeySetVersionPath, row.record);
    KeyUpdateOutcome outcome = runKeyUpdate(signedWith(keySetUpdateImage(row.set(fleet)), fleet.a));
    EXPECT_EQ(outcome.notice, "NOK");
    EXPECT_EQ(outcome.report, refusedReport(fleet.a, row.reason));
    EXPECT_EQ(boardSet(), board);
    EXPECT_EQ(fileExists(kKeySetVersionPath) ? readWholeFile(kKeySetVersionPath) : "none",
              row.record != nullptr ? row.record : "none");
}

INSTANTIATE_TEST_SUITE_P(Board, RootKeysRefuse, testing::ValuesIn(refusedRows()),
                         testing::PrintToStringParamName());

// As many of the board's root keys as its threshold change the set, with the new set's own
// roots; one fewer doesn't (above). The set's statement and signatures go in with its keys.
TEST(RootKeys, TheThresholdOfRootsChangesTheSet) {
    const Fleet fleet;
    installBoardSet(boardsFirstSet(fleet));
    KeyFiles next = firstSet(fleet);
    next.erase("b.key");
    next = withStatement(next, 7, 2, {&fleet.r2, &fleet.r3});
    KeyUpdateOutcome outcome = runKeyUpdate(signedWith(keySetUpdateImage(next), fleet.b));
    EXPECT_EQ(outcome.notice, "OK");
    EXPECT_EQ(outcome.report, takenReport(&fleet.b, 1, 4, 7));
    EXPECT_EQ(boardSet(), next);
    EXPECT_EQ(readWholeFile(kKeySetVersionPath), "7\n");
}

// Root keys sign key sets only: an image that one signed is refused, though the key is the
// board's and the signature good.
TEST(RootKeys, AnImageSignedByARootKeyIsRefused) {
    const Fleet fleet;
    const KeyFiles board = boardsFirstSet(fleet);
    installBoardSet(board);
    KeyUpdateOutcome outcome = runKeyUpdate(signedWith(sampleUpdateWithoutModule(), fleet.r1));
    EXPECT_EQ(outcome.notice, "NOK");
    EXPECT_EQ(outcome.report, "image file /tmp/image refused: signed by root key " +
                                  keyIdOf(fleet.r1) +
                                  ", which signs key sets only\n*UPDATE_FINISHED* ... NOK\n");
    EXPECT_EQ(boardSet(), board);
}

// A set that holds root keys comes only with a statement its own roots signed, on a board
// without keys too; with one, such a board takes it, and its version is recorded. A board
// without roots takes a set without roots and without statement as ever.
TEST(RootKeys, RootsComeOnlyWithTheirStatement) {
    const Fleet fleet;
    const KeyFiles bare = firstSet(fleet);
    KeyUpdateOutcome outcome = runKeyUpdate(keySetUpdateImage(bare));
    EXPECT_EQ(outcome.notice, "NOK");
    EXPECT_EQ(outcome.report,
              "Update keys:           started ... key set refused: no statement (keyset) beside "
              "its keys\nthe board's keys are kept\n NOK\n*UPDATE_FINISHED* ... NOK\n");
    EXPECT_FALSE(fileExists(kUpdateKeyFolder));
    EXPECT_FALSE(fileExists(kKeySetVersionPath));

    const KeyFiles releaseOnly{{"a.key", keyFileOf(fleet.a)}};
    outcome = runKeyUpdate(keySetUpdateImage(releaseOnly));
    EXPECT_EQ(outcome.notice, "OK") << outcome.report;
    EXPECT_EQ(outcome.report, takenReport(nullptr, 1, 1, std::nullopt));
    EXPECT_EQ(boardSet(), releaseOnly);
    EXPECT_FALSE(fileExists(kKeySetVersionPath));

    outcome = runKeyUpdate(signedWith(keySetUpdateImage(bare), fleet.a));
    EXPECT_EQ(outcome.report, refusedReport(fleet.a, "no statement (keyset) beside its keys"));
    EXPECT_EQ(boardSet(), releaseOnly);
    // A statement, or signatures alone, bring the rules too: such a set has its roots.
    const KeyFiles stated = withStatement(releaseOnly, 1, 1, {&fleet.a});
    outcome = runKeyUpdate(signedWith(keySetUpdateImage(stated), fleet.a));
    EXPECT_EQ(outcome.report, refusedReport(fleet.a, "it holds no root key"));
    KeyFiles statementOnly = stated;
    statementOnly.erase(kKeySetSignaturesName);
    outcome = runKeyUpdate(signedWith(keySetUpdateImage(statementOnly), fleet.a));
    EXPECT_EQ(outcome.report, refusedReport(fleet.a, "it holds no root key"));
    outcome = runKeyUpdate(
        signedWith(keySetUpdateImage({{"a.key", keyFileOf(fleet.a)},
                                      {kKeySetSignaturesName, stated.at(kKeySetSignaturesName)}}),
                   fleet.a));
    EXPECT_EQ(outcome.report, refusedReport(fleet.a, "no statement (keyset) beside its keys"));
    EXPECT_EQ(boardSet(), releaseOnly);

    const KeyFiles rooted = withStatement(bare, 1, 2, {&fleet.r3, &fleet.r1});
    outcome = runKeyUpdate(signedWith(keySetUpdateImage(rooted), fleet.a));
    EXPECT_EQ(outcome.notice, "OK") << outcome.report;
    EXPECT_EQ(outcome.report, takenReport(&fleet.a, 2, 5, 1));
    EXPECT_EQ(boardSet(), rooted);
    EXPECT_EQ(readWholeFile(kKeySetVersionPath), "1\n");
}

// A board whose roots came without a statement (by hand) needs one of them to change its set.
TEST(RootKeys, ABoardsRootsWithoutStatementNeedOneOfThem) {
    const Fleet fleet;
    const KeyFiles board{{"a.key", keyFileOf(fleet.a)}, {"r2.key", keyFileOf(fleet.r2, true)}};
    installBoardSet(board);
    const KeyFiles next{{"a.key", keyFileOf(fleet.a)}, {"r1.key", keyFileOf(fleet.r1, true)}};
    KeyUpdateOutcome outcome = runKeyUpdate(
        signedWith(keySetUpdateImage(withStatement(next, 1, 1, {&fleet.r1})), fleet.a));
    EXPECT_EQ(outcome.report,
              refusedReport(fleet.a, "signed by 0 of the board's root keys, 1 needed"));
    EXPECT_EQ(boardSet(), board);
    const KeyFiles taken = withStatement(next, 1, 1, {&fleet.r2, &fleet.r1});
    outcome = runKeyUpdate(signedWith(keySetUpdateImage(taken), fleet.a));
    EXPECT_EQ(outcome.report, takenReport(&fleet.a, 1, 2, 1));
    EXPECT_EQ(boardSet(), taken);
}

// A board's statement outlives the files of its roots (a fault, a hand): the set it stands
// for still changes only with its threshold of roots, which no longer sign.
TEST(RootKeys, ABoardsStatementOutlivesItsRootFiles) {
    const Fleet fleet;
    KeyFiles board = boardsFirstSet(fleet);
    for (const char* root : {"r1.key", "r2.key", "r3.key"}) board.erase(root);
    installBoardSet(board);
    KeyUpdateOutcome outcome =
        runKeyUpdate(signedWith(keySetUpdateImage({{"a.key", keyFileOf(fleet.a)}}), fleet.a));
    EXPECT_EQ(outcome.report, refusedReport(fleet.a, "no statement (keyset) beside its keys"));
    EXPECT_EQ(boardSet(), board);
}

// The key step only stages the set: an update that fails after it records no key-set version
// and keeps the board's keys.
TEST(RootKeys, AnUpdateThatFailsAfterItsKeyStepRecordsNoVersion) {
    const Fleet fleet;
    const KeyFiles board = boardsFirstSet(fleet);
    installBoardSet(board);
    const KeyFiles next = withStatement(firstSet(fleet), 2, 2, {&fleet.r1, &fleet.r2});
    KeyUpdateOutcome outcome =
        runKeyUpdate(signedWith(keySetUpdateImage(next, "UPDATE_KEYS\nLAP_SOFTWARE\n"), fleet.a));
    EXPECT_EQ(outcome.notice, "NOK");
    EXPECT_NE(outcome.report.find("Update keys:           started ... OK\n"), std::string::npos)
        << outcome.report;
    EXPECT_TRUE(
        outcome.report.ends_with("key set /etc/update-keys.1 removed; the board's keys are kept\n"
                                 "*UPDATE_FINISHED* ... NOK\n"))
        << outcome.report;
    EXPECT_EQ(boardSet(), board);
    EXPECT_FALSE(fileExists(kKeySetVersionPath));
}

// A release key leaks. Its images can't lock the makers out: a set of its own is refused; the
// makers' roots retire it, and from then on its images are refused, and so is the old set
// brought back with its old, valid signatures.
TEST(RootKeys, AFleetRecoversFromALeakedReleaseKey) {
    const Fleet fleet;
    const KeyFiles first = boardsFirstSet(fleet);
    installBoardSet(first);

    KeyUpdateOutcome outcome =
        runKeyUpdate(signedWith(keySetUpdateImage({{"a.key", keyFileOf(fleet.a)}}), fleet.a));
    EXPECT_EQ(outcome.notice, "NOK");
    EXPECT_EQ(outcome.report, refusedReport(fleet.a, "no statement (keyset) beside its keys"));
    EXPECT_EQ(boardSet(), first);

    KeyFiles withoutA = firstSet(fleet);
    withoutA.erase("a.key");
    withoutA = withStatement(withoutA, 2, 2, {&fleet.r1, &fleet.r2});
    outcome = runKeyUpdate(signedWith(keySetUpdateImage(withoutA), fleet.b));
    EXPECT_EQ(outcome.notice, "OK");
    EXPECT_EQ(outcome.report, takenReport(&fleet.b, 1, 4, 2));
    EXPECT_EQ(boardSet(), withoutA);
    EXPECT_EQ(readWholeFile(kKeySetVersionPath), "2\n");

    outcome = runKeyUpdate(signedWith(sampleUpdateWithoutModule(), fleet.a));
    EXPECT_EQ(outcome.notice, "NOK");
    EXPECT_EQ(outcome.report, "image file /tmp/image refused: signed by unknown key " +
                                  keyIdOf(fleet.a) + "\n*UPDATE_FINISHED* ... NOK\n");

    outcome = runKeyUpdate(signedWith(keySetUpdateImage(first), fleet.b));
    EXPECT_EQ(outcome.notice, "NOK");
    EXPECT_EQ(outcome.report,
              refusedReport(fleet.b, "key-set version 1 is not higher than the board's 2"));
    EXPECT_EQ(boardSet(), withoutA);
    EXPECT_EQ(readWholeFile(kKeySetVersionPath), "2\n");

    outcome = runKeyUpdate(signedWith(sampleUpdateWithoutModule(), fleet.b));
    EXPECT_EQ(outcome.notice, "OK") << outcome.report;
}

}  // namespace
