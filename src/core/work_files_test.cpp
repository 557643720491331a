#include "core/work_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>

#include "core/log.h"
#include "tests/support/board.h"

namespace {
// Set by a test: runs once, right after the next removal through unlinkat that succeeded.
std::function<void()> afterNextUnlink;
}  // namespace

// The linker sends the daemon's calls of unlinkat here (--wrap=unlinkat).
extern "C" int __real_unlinkat(int folder, const char* name, int flags);
extern "C" int __wrap_unlinkat(int folder, const char* name, int flags);
extern "C" int __wrap_unlinkat(int folder, const char* name, int flags) {
    int result = __real_unlinkat(folder, name, flags);
    if (result == 0 && afterNextUnlink) {
        std::function<void()> hook = std::move(afterNextUnlink);
        afterNextUnlink = nullptr;
        int error = errno;
        hook();
        errno = error;
    }
    return result;
}

namespace {

constexpr const char* kWorkFile = "/tmp/work.psr";
constexpr const char* kRootsFile = "/etc/roots.txt";

// What may stand at a work file's name, and whether the daemon takes it as its own.
struct Standing {
    const char* what;
    std::function<void()> make;
    bool own;
};

void ownedBy(uid_t uid, mode_t mode) {
    writeWholeFile(kWorkFile, "standing\n");
    ASSERT_EQ(chown(kWorkFile, uid, uid), 0);
    ASSERT_EQ(chmod(kWorkFile, mode), 0);
}

TEST(WorkFiles, OnlyTheDaemonsOwnFileIsOpenedAndNothingThroughALink) {
    writeWholeFile(kRootsFile, "root's\n");
    const Standing cases[] = {
        {"the daemon's file", [] { ownedBy(0, 0600); }, true},
        {"its file readable by all", [] { ownedBy(0, 0444); }, true},
        {"another user's file", [] { ownedBy(65534, 0600); }, false},
        {"its file that others may write", [] { ownedBy(0, 0666); }, false},
        {"a second name of a root's file",
         [] {
             writeWholeFile("/tmp/roots.txt", "root's\n");
             ASSERT_EQ(link("/tmp/roots.txt", kWorkFile), 0);
         },
         false},
        {"a link to a root's file", [] { ASSERT_EQ(symlink(kRootsFile, kWorkFile), 0); }, false},
        {"a folder", [] { ASSERT_EQ(mkdir(kWorkFile, 0700), 0); }, false},
        {"a pipe", [] { ASSERT_EQ(mkfifo(kWorkFile, 0600), 0); }, false},
    };
    for (const Standing& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(kWorkFile);
        c.make();
        testing::internal::CaptureStderr();
        int fd = openOwnFile("test", kWorkFile, O_RDONLY);
        int appending = openOwnFileForAppend("test", kWorkFile);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(fd >= 0, c.own);
        EXPECT_EQ(appending >= 0, c.own);
        EXPECT_EQ(ownFileAt(kWorkFile), c.own);
        EXPECT_EQ(err.find(kWorkFile) != std::string::npos, !c.own) << err;
        if (fd >= 0) close(fd);
        if (appending >= 0) close(appending);
        EXPECT_EQ(readWholeFile(kRootsFile), "root's\n");
    }
}

TEST(WorkFiles, WhateverStandsGoesAndTheFileIsMadeAfresh) {
    std::filesystem::create_directories("/tmp/outside");
    writeWholeFile("/tmp/outside/keep", "kept");
    const std::function<void()> standing[] = {
        [] { ownedBy(65534, 0666); },
        [] { ASSERT_EQ(symlink("/tmp/outside/keep", kWorkFile), 0); },
        [] { ASSERT_EQ(symlink("/tmp/outside", kWorkFile), 0); },
        [] {
            std::filesystem::create_directories(std::string(kWorkFile) + "/sub");
            writeWholeFile(std::string(kWorkFile) + "/sub/file", "x");
            std::filesystem::create_directory_symlink("/tmp/outside",
                                                      std::string(kWorkFile) + "/sub/link");
        },
    };
    for (const auto& make : standing) {
        std::filesystem::remove_all(kWorkFile);
        make();
        int fd = makeFreshFile("test", kWorkFile, 0640);
        ASSERT_GE(fd, 0);
        struct stat info {};
        ASSERT_EQ(fstat(fd, &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_EQ(info.st_uid, geteuid());
        EXPECT_EQ(info.st_mode & 07777, 0640u);
        EXPECT_EQ(info.st_size, 0);
        close(fd);
        EXPECT_EQ(readWholeFile("/tmp/outside/keep"), "kept") << "links are not followed";
    }
    // A file made by the first append gets its work file mode.
    std::filesystem::remove_all(kWorkFile);
    int fd = openOwnFileForAppend("test", kWorkFile);
    ASSERT_GE(fd, 0);
    close(fd);
    struct stat info {};
    ASSERT_EQ(lstat(kWorkFile, &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
}

// What another process makes at the name between its removal and the file's making is not
// taken: the file is made only where nothing stands, and a file linked there from elsewhere
// keeps its contents.
TEST(WorkFiles, WhatIsMadeAtTheNameAfterItsRemovalIsNotTaken) {
    std::filesystem::create_directories("/tmp/outside");
    writeWholeFile("/tmp/outside/keep", "kept");
    writeWholeFile(kWorkFile, "standing\n");
    afterNextUnlink = [] { ASSERT_EQ(link("/tmp/outside/keep", kWorkFile), 0); };
    int fd = makeFreshFile("test", kWorkFile, 0640);
    afterNextUnlink = nullptr;
    EXPECT_LT(fd, 0);
    if (fd >= 0) close(fd);
    EXPECT_EQ(readWholeFile("/tmp/outside/keep"), "kept");
    unlink(kWorkFile);
}

// The unpacked archive becomes the daemon's only as plain files and folders: a special file
// (a FIFO that would hang a reader, a device) or a file with a second name elsewhere (whose
// mode the take-over would change there too) is refused, by its name in the archive.
TEST(TakeOverTree, TakesPlainFilesAndFoldersOnly) {
    static constexpr char kTree[] = "/tmp/unpacked";
    const struct {
        const char* name;
        void (*make)();
        const char* refusal;  // nullptr: taken over
    } cases[] = {
        {"plain", [] {}, nullptr},
        {"fifo", [] { ASSERT_EQ(mkfifo("/tmp/unpacked/sub/pipe", 0644), 0); },
         "archive member update.d/sub/pipe refused: neither a file nor a folder\n"},
        {"secondName", [] { ASSERT_EQ(link("/tmp/unpacked/sub/file", "/tmp/second-name"), 0); },
         "archive member update.d/sub/file refused: a file with more than one name\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(kTree);
        unlink("/tmp/second-name");
        unlink(kUpdateReportPath);
        std::filesystem::create_directories("/tmp/unpacked/sub");
        writeWholeFile("/tmp/unpacked/sub/file", "x");
        ASSERT_EQ(chmod("/tmp/unpacked/sub/file", 0666), 0);
        c.make();
        EXPECT_EQ(takeOverTree("test", kTree, "update.d"), c.refusal == nullptr);
        if (c.refusal == nullptr) {
            struct stat info {};
            ASSERT_EQ(stat("/tmp/unpacked/sub/file", &info), 0);
            EXPECT_EQ(info.st_mode & 07777, 0644u) << "nobody else writes it";
            EXPECT_FALSE(fileExists(kUpdateReportPath));
        } else {
            EXPECT_EQ(readWholeFile(kUpdateReportPath), c.refusal);
        }
    }
    std::filesystem::remove_all(kTree);
    unlink("/tmp/second-name");
}

}  // namespace
