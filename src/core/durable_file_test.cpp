#include "core/durable_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string textOf(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class DurableFile : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/durable-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        path = folder + "/record";
    }
    void TearDown() override {
        unlink(path.c_str());
        unlink((path + ".new").c_str());
        rmdir(folder.c_str());
    }
    std::string folder;
    std::string path;
};

TEST_F(DurableFile, ReplacesTheFileWholeAndLeavesNoStagingName) {
    ASSERT_TRUE(replaceFileDurably(path.c_str(), "old\n", 4, 0644));
    // A staging file that a cut left behind is no obstacle.
    { std::ofstream((path + ".new").c_str()) << "half"; }
    ASSERT_TRUE(replaceFileDurably(path.c_str(), "new text\n", 9, 0600));
    EXPECT_EQ(textOf(path), "new text\n");
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_NE(access((path + ".new").c_str(), F_OK), 0);
}

TEST_F(DurableFile, ANewFileIsNeverMadeOverSomethingThere) {
    ASSERT_TRUE(writeNewSyncedFile(path.c_str(), "a", 1, 0644));
    EXPECT_FALSE(writeNewSyncedFile(path.c_str(), "b", 1, 0644));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(textOf(path), "a");
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(symlink("elsewhere", path.c_str()), 0);
    EXPECT_FALSE(writeNewSyncedFile(path.c_str(), "b", 1, 0644));
}

TEST_F(DurableFile, AFailedReplacementKeepsTheOldFile) {
    ASSERT_TRUE(replaceFileDurably(path.c_str(), "old\n", 4, 0644));
    // A folder at the staging name can't be unlinked, so the new text can't be written.
    ASSERT_EQ(mkdir((path + ".new").c_str(), 0755), 0);
    EXPECT_FALSE(replaceFileDurably(path.c_str(), "new\n", 4, 0644));
    EXPECT_EQ(textOf(path), "old\n");
    rmdir((path + ".new").c_str());
}

}  // namespace
