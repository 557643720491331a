// The installation of an update's key set: only a real folder of readable keys replaces the
// board's set, whole; anything else leaves the board's keys as they were.
#include "update/board_keys.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "image/image_signature.h"
#include "tests/support/board.h"
#include "tests/support/openssl_keys.h"
#include "tools/mkupdate/image_signing.h"
#include "update/update_state.h"

namespace {

namespace fs = std::filesystem;

constexpr char kSource[] = "/tmp/keyset";
constexpr char kTarget[] = "/etc/keyset";

const OpensslKey& boardKey() {
    static const OpensslKey key = makeOpensslKey("board-key", 2048);
    return key;
}

void writeKey(const std::string& path) {
    writeWholeFile(path, mkupdate::updateKeyFileText(boardKey().modulus));
}

// A file of the update's key set.
std::string member(const char* name) { return std::string(kSource) + "/" + name; }

TEST(KeySetInstall, ReplacesTheSetWholeOrNotAtAll) {
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
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(kSource);
        fs::remove_all("/tmp/elsewhere");
        fs::remove_all(kTarget);
        fs::create_directory(kSource);
        fs::create_directory(kTarget);
        writeWholeFile(std::string(kTarget) + "/old.key", "the board's key\n");
        c.source();
        EXPECT_EQ(installUpdateKeys(kSource, kTarget), c.installed);
        if (c.installed < 0) {
            EXPECT_EQ(readWholeFile(std::string(kTarget) + "/old.key"), "the board's key\n");
        } else {
            EXPECT_FALSE(fileExists(std::string(kTarget) + "/old.key"));
            EXPECT_FALSE(fileExists(std::string(kTarget) + "/a.pub"));
            EXPECT_EQ(readWholeFile(std::string(kTarget) + "/a.key"),
                      mkupdate::updateKeyFileText(boardKey().modulus));
        }
        EXPECT_FALSE(fileExists(std::string(kTarget) + ".new"));
        EXPECT_FALSE(fileExists(std::string(kTarget) + ".old"));
    }
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
        EXPECT_TRUE(raiseBoardSecurityVersion());
        EXPECT_EQ(readWholeFile(kSecurityVersionPath), c.after);
    }
    update.trust = ImageTrust::None;
}

}  // namespace
