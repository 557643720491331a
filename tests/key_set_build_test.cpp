// Key sets with root keys as mkupdate builds them, taken by the simulated board the way the
// README's "The life of a fleet's keys" shows: the first roots by an update that the board's
// release key signed, then a release key's rotation that the board's threshold of roots
// signed, built against the board's own key folder (--board-keys).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "image/key_set_statement.h"
#include "tests/support/board.h"

using namespace std::chrono_literals;

namespace {

const std::string kTool = PROJECT_BINARY_PATH "/mkupdate";

ProgramRun mkupdateRun(const std::string& arguments) { return runProgram(kTool + " " + arguments); }

// The board's update with the image that mkupdate wrote to path: the peer's final notice.
std::string updateWith(const std::string& path) {
    const std::string image = readWholeFile(path);
    TestPeer peer;
    SimDaemon daemon;
    return runUpdateOnBoard(daemon, peer, std::vector<std::uint8_t>(image.begin(), image.end()),
                            120s);
}

void setOf(const std::string& folder, const std::vector<std::string>& keys) {
    std::filesystem::create_directories(folder);
    for (const std::string& key : keys)
        std::filesystem::copy_file("/tmp/" + key + ".key", folder + "/" + key + ".key");
}

TEST(KeySetBuiltByMkupdate, TheBoardTakesItsRootsAndTheirRotation) {
    if (!fileExists(kTool)) GTEST_SKIP() << "the board's build has no mkupdate";
    for (const char* made :
         {"keygen --bits 2048 /tmp/release1.pem", "keygen --bits 2048 /tmp/release2.pem",
          "keygen --bits 2048 --role root /tmp/root1.pem",
          "keygen --bits 2048 --role root /tmp/root2.pem",
          "keygen --bits 2048 --role root /tmp/root3.pem"})
        ASSERT_EQ(mkupdateRun(made).status, 0) << made;
    setOf(kUpdateKeyFolder, {"release1"});
    const std::string boardKeys = std::string(" --board-keys ") + kUpdateKeyFolder;

    // The first roots: an update that the board's release key signed, the set's statement
    // signed by two of its three roots.
    setOf("/tmp/set2", {"release1", "root1", "root2", "root3"});
    ProgramRun roots = mkupdateRun(
        "build -o /tmp/roots.img --sign /tmp/release1.pem --install-keys /tmp/set2 "
        "--keyset-version 1 --root-key /tmp/root1.pem --root-key /tmp/root2.pem" +
        boardKeys);
    ASSERT_EQ(roots.status, 0) << roots.err;
    EXPECT_EQ(updateWith("/tmp/roots.img"), "OK") << readWholeFile("/tmp/update.log");
    EXPECT_EQ(readWholeFile(kKeySetVersionPath), "1\n");
    EXPECT_TRUE(fileExists(std::string(kUpdateKeyFolder) + "/root3.key"));

    // A new release key: one root is below the board's threshold, which build finds in the
    // board's folder; two are enough, and the board takes the set.
    setOf("/tmp/set3", {"release2", "root1", "root2", "root3"});
    const std::string rotate =
        "build -o /tmp/rotate.img --sign /tmp/release1.pem --install-keys /tmp/set3 "
        "--keyset-version 2 --root-key /tmp/root1.pem" +
        boardKeys;
    ProgramRun few = mkupdateRun(rotate);
    EXPECT_EQ(few.status, 1);
    EXPECT_EQ(few.err, std::string("mkupdate: a board with the keys of ") + kUpdateKeyFolder +
                           " refuses this key set: 1 of its root keys signed, it needs 2\n");
    ProgramRun enough = mkupdateRun(rotate + " --root-key /tmp/root3.pem");
    ASSERT_EQ(enough.status, 0) << enough.err;
    EXPECT_EQ(
        mkupdateRun("check --keys " + std::string(kUpdateKeyFolder) + " /tmp/rotate.img").status,
        0);
    EXPECT_EQ(updateWith("/tmp/rotate.img"), "OK") << readWholeFile("/tmp/update.log");
    EXPECT_EQ(readWholeFile(kKeySetVersionPath), "2\n");
    EXPECT_FALSE(fileExists(std::string(kUpdateKeyFolder) + "/release1.key"));
    EXPECT_TRUE(fileExists(std::string(kUpdateKeyFolder) + "/release2.key"));
}

}  // namespace
