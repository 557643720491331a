#include "core/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <regex>
#include <string>
#include <vector>

#include "core/file_util.h"
#include "tests/support/board.h"

namespace {

std::string capture(void (*write)()) {
    testing::internal::CaptureStderr();
    write();
    return testing::internal::GetCapturedStderr();
}

TEST(Log, InformationAtLevelOneIsWrittenWithPrefixAndNotReported) {
    std::string out = capture([] { UPDATE_LOG(LogLevel::Warning, "value %d\n", 7); });
    EXPECT_TRUE(std::regex_match(
        out,
        std::regex(
            R"(UPDATE_LOG-0\.1\.0 \d\d:\d\d:\d\d\.\d\d\d: src/update_process operator\(\) line: \d+: value 7\n)")))
        << out;
    EXPECT_FALSE(fileExists(kUpdateReportPath));
}

TEST(Log, ErrorsOfEveryLevelAreWrittenAndAppendedBare) {
    std::string out = capture([] {
        UPDATE_ERR(LogLevel::Warning, 107, "SIGTERM receiced and ignored !!\n");
        UPDATE_ERR(LogLevel::Critical, 106, "two ");
        UPDATE_ERR(LogLevel::Fatal, 110, "run together\n");
    });
    EXPECT_EQ(withoutTimestamps(out).substr(0, 36), "UPDATE_ERR-0.1.0 TIME: src/update_pr");
    EXPECT_NE(out.find("two UPDATE_ERR-0.1.0 "), std::string::npos) << out;
    EXPECT_EQ(readWholeFile(kUpdateReportPath),
              "SIGTERM receiced and ignored !!\ntwo run together\n");
}

// (Standard error is a file here: a progress entry's carriage return ends its line.)
TEST(Log, PercentSignsInInsertedTextStayAsTheyAre) {
    std::string out = capture([] {
        UPDATE_ERR(LogLevel::Critical, 110, "file %s\n", "/tmp/100%d");
        UPDATE_LOG(LogLevel::Warning, "%3d%%\r", 50);
    });
    EXPECT_NE(out.find(": file /tmp/100%d\n"), std::string::npos) << out;
    EXPECT_TRUE(out.ends_with(":  50%\n")) << out;
    EXPECT_EQ(readWholeFile(kUpdateReportPath), "file /tmp/100%d\n");
}

// An entry reaches standard error in one write, prefix and all, so that another process's
// entries (the DFU child's) can't come between its pieces: on a datagram socket each write is
// one datagram. A long message is cut at 1022 characters.
TEST(Log, AnEntryIsOneWriteAndLongMessagesAreCutAt1022Characters) {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, ends), 0);
    int saved = dup(STDERR_FILENO);
    dup2(ends[0], STDERR_FILENO);
    UPDATE_ERR(LogLevel::Critical, 106, "%s", std::string(2000, 'x').c_str());
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(ends[0]);
    std::vector<std::string> writes;
    char buffer[4096];
    for (ssize_t n; (n = recv(ends[1], buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
        writes.emplace_back(buffer, static_cast<std::size_t>(n));
    close(ends[1]);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_TRUE(
        std::regex_match(writes[0], std::regex(R"(UPDATE_ERR-0\.1\.0 \d\d:\d\d:\d\d\.\d{3}: )"
                                               R"(src/update_process \w+ line: \d+: x{1022})")))
        << writes[0];
    EXPECT_EQ(readWholeFile(kUpdateReportPath), std::string(1022, 'x'));
}

// Entries that standard error refused (a full disk, a reader gone) are counted, and the count
// goes out once, before the next entry that it takes.
TEST(Log, EntriesStandardErrorRefusedAreCountedBeforeTheNextItTakes) {
    int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    int saved = dup(STDERR_FILENO);
    dup2(full, STDERR_FILENO);
    UPDATE_LOG(LogLevel::Warning, "first\n");
    UPDATE_LOG(LogLevel::Warning, "second\n");
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(full);
    std::string out = capture([] { UPDATE_LOG(LogLevel::Warning, "third\n"); });
    EXPECT_TRUE(out.starts_with("2 log entries lost\nUPDATE_LOG-")) << out;
    EXPECT_TRUE(out.ends_with(": third\n")) << out;
    out = capture([] { UPDATE_LOG(LogLevel::Warning, "fourth\n"); });
    EXPECT_EQ(out.find("lost"), std::string::npos) << out;
}

// Repeatable entries of any text are written at most 20 times a minute; the count of the
// others follows when something else is appended to the report, or when ended.
TEST(Log, RepeatableEntriesReachTheReportTwentyTimesAMinuteThenTheirCount) {
    std::string out = capture([] {
        for (int i = 0; i < 25; ++i) UPDATE_ERR_REPEATABLE(LogLevel::Warning, 103, "junk %d\n", i);
        appendText(kUpdateReportPath, "step ... ");
        UPDATE_ERR_REPEATABLE(LogLevel::Warning, 104, "other junk\n");
        endRepeatedErrors();
        endRepeatedErrors();
        UPDATE_ERR(LogLevel::Critical, 106, "not junk\n");
    });
    std::string expected;
    for (int i = 0; i < 20; ++i) expected += "junk " + std::to_string(i) + "\n";
    EXPECT_EQ(readWholeFile(kUpdateReportPath),
              expected +
                  "5 datagram errors left out of the report\nstep ... "
                  "1 datagram errors left out of the report\nnot junk\n");
    // Standard error gets the same: the 20 entries, the two counts and the last entry.
    EXPECT_EQ(countOf(out, "UPDATE_ERR-"), 23u) << out;
}

// The failing append has an errno of its own; the entry's "%m" and the caller's errno after
// it are the caller's.
TEST(Log, FailureAboutTheReportItselfIsNotAppendedToIt) {
    // A directory in the report's place can't be opened for appending.
    ASSERT_EQ(mkdir(kUpdateReportPath, 0755), 0);
    std::string out = capture([] {
        errno = ENOENT;
        UPDATE_ERR(LogLevel::Critical, 106, "first %d %m\n", errno);
        EXPECT_EQ(errno, ENOENT);
    });
    EXPECT_NE(out.find(": first 2 No such file or directory\n"), std::string::npos);
    EXPECT_NE(out.find("open error file /tmp/update.log: 0x15 Is a directory"), std::string::npos)
        << out;
    // The entry and the one failure to append it; nothing chases its tail.
    EXPECT_EQ(countOf(out, "UPDATE_ERR-"), 2u) << out;
}

}  // namespace
