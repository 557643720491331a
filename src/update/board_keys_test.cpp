// The board's key set on flash: a new set is staged in a versioned folder of its own and put in
// by one rename of a link, so that the board holds its old set or its new one, whole; anything
// refused leaves the board's keys as they were.
#include "update/board_keys.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "image/image_signature.h"
#include "tests/support/board.h"
#include "tests/support/openssl_keys.h"
#include "tools/mkupdate/image_signing.h"
#include "update/key_set_folders.h"
#include "update/update_state.h"

namespace {

namespace fs = std::filesystem;

constexpr char kSource[] = "/tmp/keyset";
constexpr char kLink[] = "/etc/keyset";
constexpr char kOldKey[] = "the board's key\n";

const OpensslKey& boardKey() {
    static const OpensslKey key = makeOpensslKey("board-key", 2048);
    return key;
}

void writeKey(const std::string& path) {
    writeWholeFile(path, mkupdate::updateKeyFileText(boardKey().modulus));
}

// A file of the update's key set.
std::string member(const char* name) { return std::string(kSource) + "/" + name; }
std::string beside(const std::string& suffix) { return std::string(kLink) + suffix; }

// Fills the update's key set with count key files: a.key and others beside it.
void writeKeys(int count) {
    writeKey(member("a.key"));
    for (int i = 1; i < count; ++i) writeKey(member(("k" + std::to_string(i) + ".key").c_str()));
}

// Whether anything stands at path, a link not followed.
bool stands(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

std::string linkTarget() {
    std::error_code error;
    return fs::read_symlink(kLink, error).string();
}

// The names in /etc that begin with the link's.
std::vector<std::string> namesBeside() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator("/etc")) {
        std::string name = entry.path().filename().string();
        if (name.starts_with("keyset")) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void clearBoard() {
    for (const std::string& name : namesBeside()) fs::remove_all("/etc/" + name);
    fs::remove_all(kSource);
}

// A board in the link form, enrolled, whose set number 1 holds old.key.
void linkedBoard() {
    clearBoard();
    fs::create_directory(beside(".1"));
    writeWholeFile(beside(".1/old.key"), kOldKey);
    fs::create_directory_symlink("keyset.1", kLink);
    writeWholeFile(beside(".enrolled"), "");
}

TEST(KeySetStaging, PutsInTheSetWholeOrNotAtAll) {
    const struct {
        const char* name;
        std::function<void()> source;  // beside the folder, empty
        int installed;                 // -1: refused
    } cases[] = {
        {"twoKeys",
         [] {
             writeKey(member("a.key"));
             writeKey(member("b.key"));
         },
         2},
        {"aPublicFileIsLeftOut",
         [] {
             writeKey(member("a.key"));
             writeKey(member("a.pub"));
         },
         1},
        {"noSource", [] { fs::remove(kSource); }, -1},
        {"onlyAPublicFile", [] { writeKey(member("a.pub")); }, -1},
        {"emptyFolder", [] {}, -1},
        {"aLinkToAFolder",
         [] {
             fs::remove(kSource);
             fs::create_directory("/tmp/elsewhere");
             writeKey("/tmp/elsewhere/a.key");
             fs::create_directory_symlink("/tmp/elsewhere", kSource);
         },
         -1},
        {"aKeyThatIsALink",
         [] {
             writeKey("/tmp/a.key");
             writeKey(member("b.key"));
             fs::create_symlink("/tmp/a.key", member("a.key"));
         },
         -1},
        {"aFifo",
         [] {
             writeKey(member("a.key"));
             ASSERT_EQ(mkfifo(member("f.key").c_str(), 0644), 0);
         },
         -1},
        {"notAKey", [] { writeWholeFile(member("a.key"), "rsa-sha256 65537 0123\n"); }, -1},
        // A set holds at most kMaxUpdateKeys keys: each is tried against every image.
        {"asManyKeysAsASetHolds", [] { writeKeys(kMaxUpdateKeys); }, kMaxUpdateKeys},
        {"oneKeyTooMany", [] { writeKeys(kMaxUpdateKeys + 1); }, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        linkedBoard();
        fs::remove_all("/tmp/elsewhere");
        fs::create_directory(kSource);
        c.source();
        ASSERT_TRUE(prepareKeySetChange(kLink, true));
        std::optional<StagedKeySet> staged = stageKeySet(kSource, kLink);
        // Staged or not, the board's set is the old one until the set is committed.
        EXPECT_EQ(linkTarget(), "keyset.1");
        EXPECT_EQ(readWholeFile(beside("/old.key")), kOldKey);
        if (c.installed < 0) {
            EXPECT_FALSE(staged);
            EXPECT_EQ(namesBeside(),
                      (std::vector<std::string>{"keyset", "keyset.1", "keyset.enrolled"}));
            continue;
        }
        ASSERT_TRUE(staged);
        EXPECT_EQ(staged->number, 2u);
        EXPECT_EQ(staged->keys, c.installed);
        ASSERT_TRUE(commitKeySet(kLink, staged->number));
        EXPECT_EQ(linkTarget(), "keyset.2");
        EXPECT_EQ(namesBeside(),
                  (std::vector<std::string>{"keyset", "keyset.2", "keyset.enrolled"}));
        EXPECT_FALSE(stands(beside("/a.pub")));
        EXPECT_EQ(readWholeFile(beside("/a.key")), mkupdate::updateKeyFileText(boardKey().modulus));
    }
}

// A staged set that isn't to be the board's goes, and the board keeps its set.
TEST(KeySetStaging, ADroppedSetLeavesTheBoardsSet) {
    linkedBoard();
    fs::create_directory(kSource);
    writeKey(member("a.key"));
    ASSERT_TRUE(prepareKeySetChange(kLink, true));
    std::optional<StagedKeySet> staged = stageKeySet(kSource, kLink);
    ASSERT_TRUE(staged);
    dropKeySet(kLink, staged->number);
    EXPECT_EQ(linkTarget(), "keyset.1");
    EXPECT_EQ(namesBeside(), (std::vector<std::string>{"keyset", "keyset.1", "keyset.enrolled"}));
}

// A board that got its keys before the link form holds a plain folder: its key step moves the
// folder to the link form with its keys unchanged, and records that the board holds keys
// before anything moves.
TEST(KeySetForm, APlainFolderIsMovedToTheLinkForm) {
    const struct {
        const char* name;
        std::function<bool()> move;
    } ways[] = {
        {"keyStep", [] { return prepareKeySetChange(kLink, true); }},
        {"move", [] { return moveFolderToLinkForm(kLink); }},
    };
    for (const auto& way : ways) {
        SCOPED_TRACE(way.name);
        clearBoard();
        fs::create_directory(kLink);
        writeWholeFile(beside("/old.key"), kOldKey);
        ASSERT_TRUE(way.move());
        EXPECT_EQ(linkTarget(), "keyset.0");
        EXPECT_EQ(readWholeFile(beside("/old.key")), kOldKey);
        EXPECT_EQ(namesBeside(),
                  (std::vector<std::string>{"keyset", "keyset.0", "keyset.enrolled"}));
        EXPECT_EQ(findKeySet(kLink).form, KeySetPlace::Form::Link);
    }
}

// What a cut or an unfinished change leaves beside the link goes at the next key step: every
// versioned name but the board's set, and the link that wasn't renamed yet.
TEST(KeySetForm, TheNextKeyStepRemovesWhatACutLeft) {
    linkedBoard();
    fs::create_directory(beside(".3"));
    writeWholeFile(beside(".3/new.key"), "a staged set\n");
    writeWholeFile(beside(".7"), "");
    fs::create_directory_symlink("keyset.3", beside(".link"));
    writeWholeFile(beside(".x"), "not a set's name\n");
    writeWholeFile(beside(".05"), "not a set's name\n");
    ASSERT_TRUE(prepareKeySetChange(kLink, true));
    EXPECT_EQ(namesBeside(), (std::vector<std::string>{"keyset", "keyset.05", "keyset.1",
                                                       "keyset.enrolled", "keyset.x"}));
    EXPECT_EQ(linkTarget(), "keyset.1");
}

// Where the board's keys are: a link's set, or on an enrolled board whose link a cut or a hand
// removed, the newest set folder (only a committed set can be one then).
TEST(KeySetForm, FindsTheBoardsSet) {
    using Form = KeySetPlace::Form;
    const struct {
        const char* name;
        std::function<void()> board;
        Form form;
        std::uint32_t number;
    } cases[] = {
        {"nothing", [] {}, Form::None, 0},
        {"plainFolder", [] { fs::create_directory(kLink); }, Form::Folder, 0},
        {"aFile", [] { writeWholeFile(kLink, ""); }, Form::Folder, 0},
        {"link", [] { fs::create_directory_symlink("keyset.3", kLink); }, Form::Link, 3},
        {"danglingLink", [] { fs::create_symlink("keyset.12", kLink); }, Form::Link, 12},
        {"absoluteLink", [] { fs::create_symlink("/etc/keyset.3", kLink); }, Form::Stray, 0},
        {"leadingZero", [] { fs::create_symlink("keyset.03", kLink); }, Form::Stray, 0},
        {"elsewhere", [] { fs::create_symlink("/tmp", kLink); }, Form::Stray, 0},
        {"enrolledWithoutLink",
         [] {
             writeWholeFile(beside(".enrolled"), "");
             fs::create_directory(beside(".2"));
             fs::create_directory(beside(".4"));
             writeWholeFile(beside(".7"), "");
             fs::create_symlink("keyset.2", beside(".9"));
         },
         Form::Unlinked, 4},
        {"neverEnrolledWithoutLink", [] { fs::create_directory(beside(".4")); }, Form::None, 0},
        {"enrolledWithNothing", [] { writeWholeFile(beside(".enrolled"), ""); }, Form::None, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clearBoard();
        c.board();
        KeySetPlace place = findKeySet(kLink);
        EXPECT_EQ(place.form, c.form);
        EXPECT_EQ(place.number, c.number);
    }
}

// An enrolled board whose link is missing gets it back, naming the set it reads, before a new
// set is staged: a staged set must never be the newest folder of a board without its link.
TEST(KeySetForm, AnUnlinkedSetIsLinkedAgain) {
    clearBoard();
    writeWholeFile(beside(".enrolled"), "");
    fs::create_directory(beside(".4"));
    writeWholeFile(beside(".4/old.key"), kOldKey);
    fs::create_directory(beside(".2"));
    fs::create_directory(kSource);
    writeKey(member("a.key"));
    ASSERT_TRUE(prepareKeySetChange(kLink, true));
    EXPECT_EQ(linkTarget(), "keyset.4");
    EXPECT_EQ(namesBeside(), (std::vector<std::string>{"keyset", "keyset.4", "keyset.enrolled"}));
    std::optional<StagedKeySet> staged = stageKeySet(kSource, kLink);
    ASSERT_TRUE(staged);
    EXPECT_EQ(staged->number, 5u);
    EXPECT_EQ(findKeySet(kLink).number, 4u) << "the staged set is not read";
    ASSERT_TRUE(commitKeySet(kLink, staged->number));
    EXPECT_EQ(linkTarget(), "keyset.5");
    EXPECT_EQ(namesBeside(), (std::vector<std::string>{"keyset", "keyset.5", "keyset.enrolled"}));
}

// The board's security version rises only with an image that a key of the board verified.
TEST(BoardSecurityVersion, RisesOnlyForAVerifiedImage) {
    const struct {
        ImageTrust trust;
        std::uint32_t version;
        const char* before;  // nullptr: no record
        const char* after;
    } cases[] = {
        {ImageTrust::Verified, 3, nullptr, "3\n"}, {ImageTrust::Verified, 2, "3\n", "3\n"},
        {ImageTrust::Verified, 4, "3\n", "4\n"},   {ImageTrust::Unchecked, 9, "3\n", "3\n"},
        {ImageTrust::None, 9, "3\n", "3\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        unlink(kSecurityVersionPath);
        if (c.before != nullptr) writeWholeFile(kSecurityVersionPath, c.before);
        update.trust = c.trust;
        update.securityVersion = c.version;
        EXPECT_TRUE(finishBoardTrust(true));
        EXPECT_EQ(readWholeFile(kSecurityVersionPath), c.after);
    }
    update.trust = ImageTrust::None;
    unlink(kUpdateKeysEnrolledPath);
}

}  // namespace
