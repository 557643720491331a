#include "core/shell_commands.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "core/log.h"
#include "core/signals.h"
#include "tests/support/board.h"

namespace {

// (SIGPIPE too, which the daemon ignores: a command in a pipeline ends when its reader did.)
TEST(ShellCommands, CommandsRunWithTheDefaultSignalMask) {
    installSignalHandlers();
    runShellCommand("grep SigBlk /proc/self/status > /tmp/mask");
    EXPECT_EQ(readWholeFile("/tmp/mask"), "SigBlk:\t0000000000000000\n");
    runShellCommand("grep SigIgn /proc/self/status > /tmp/ignored");
    EXPECT_FALSE(ignoresSigpipe(readWholeFile("/tmp/ignored")));
}

// The commands whose effect the daemon can't do without: how each ended, named with its text.
TEST(ShellCommands, FailedCommandsAreReportedWithTheirText) {
    writeWholeFile("/tmp/there", "x");
    struct Case {
        int (*run)();
        std::string report;  // empty: succeeded
    };
    const Case cases[] = {
        {[] { return shellRemove("/tmp/there"); }, ""},
        {[] { return shellRemove("/tmp/there"); },
         "command \" -rm /tmp/there\" failed: exit status 1\n"},
        {[] { return shellCat("/dev/null; kill -9 $$"); },
         "command \"cat /dev/null; kill -9 $$\" failed: signal 9\n"},
        // Too long to run; its text as far as it fitted.
        {[] { return shellRemove(std::string(200, 'x').c_str()); },
         "command \" -rm " + std::string(154, 'x') + "\" failed: not run\n"},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStderr();
        int status = c.run();
        testing::internal::GetCapturedStderr();
        unlink(kUpdateReportPath);
        testing::internal::CaptureStderr();
        EXPECT_EQ(commandSucceeded("tester", status), c.report.empty());
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(readWholeFile(kUpdateReportPath), c.report);
        EXPECT_EQ(err.find(" tester line: ") != std::string::npos, !c.report.empty()) << err;
    }
}

}  // namespace
