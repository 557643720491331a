// The DFU stand-in, run as the daemon runs it: execve with an empty environment, in
// /tmp/update.d/, after the BCSP driver's modules were loaded with the board's /bin/insmod.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/sim_state.h"
#include "tests/support/board.h"

namespace {

const std::string kStandIn = std::string(PROJECT_SOURCE_PATH) + "/sim/dfu-standin/";

class DfuStandIn : public ::testing::Test {
protected:
    void SetUp() override {
        mkdir("/tmp/update.d", 0755);
        for (const char* file : {"dfu", "stack.dfu"}) {
            writeWholeFile(std::string("/tmp/update.d/") + file, readWholeFile(kStandIn + file));
        }
        chmod("/tmp/update.d/dfu", 0755);
        writeWholeFile(simStatePath("dfu.seconds"), "0\n");
    }

    // Loads the stand-in BCSP modules as the firmware step does.
    static void loadBcspDriver() {
        for (const char* module : {"linabcsp_uart.o", "bcsp.o", "linabcsp_upChan.o"}) {
            ASSERT_EQ(std::system(("/bin/insmod " + kStandIn + module).c_str()), 0) << module;
        }
    }

    // The wait status of one run.
    static int runDfu(std::vector<const char*> argv = {"dfu", "-dr", "/tmp/update.d/stack.dfu"}) {
        argv.push_back(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            char* const noEnvironment[] = {nullptr};
            if (chdir("/tmp/update.d/") == 0) {
                execve("/tmp/update.d/dfu", const_cast<char* const*>(argv.data()), noEnvironment);
            }
            _exit(127);
        }
        int status = -1;
        waitpid(pid, &status, 0);
        return status;
    }
};

TEST_F(DfuStandIn, LoadsTheFirmwareNamedInStackDfu) {
    loadBcspDriver();
    writeWholeFile(simStatePath("dfu.seconds"), "1\n");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(runDfu(), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_EQ(readWholeFile("/tmp/dfu_status.log"), " 100 done: firmware 2114 17.3.5 loaded\n");
    EXPECT_EQ(readWholeFile(simStatePath("module.firmware")), "2114 17.3.5\n");
    EXPECT_FALSE(fileExists("/tmp/dfu_error.log"));
}

TEST_F(DfuStandIn, FailuresAreReportedInDfuErrorLog) {
    struct Case {
        const char* fault;
        bool driverLoaded;
        std::vector<const char*> argv;
        int waitStatus;
        const char* error;  // nullptr: no report
        const char* status;
    };
    const std::vector<const char*> usual{"dfu", "-dr", "/tmp/update.d/stack.dfu"};
    const Case cases[] = {
        {"fail", true, usual, 1 << 8,
         "dfu: download of firmware 2114 17.3.5 failed at 40 percent: the module does not "
         "answer\n",
         "  40 writing firmware 2114 17.3.5\n"},
        {"kill", true, usual, SIGKILL, nullptr, "  40 writing firmware 2114 17.3.5\n"},
        {"", false, usual, 1 << 8,
         "dfu: BCSP driver not loaded (linabcsp_uart.o missing): no link to the module\n", nullptr},
        {"",
         true,
         {"dfu", "/tmp/update.d/stack.dfu"},
         1 << 8,
         "dfu: usage: dfu -dr FIRMWARE_FILE\n",
         nullptr},
        {"",
         true,
         {"dfu", "-dr", "/tmp/update.d/none.dfu"},
         1 << 8,
         "dfu: can't read the firmware file /tmp/update.d/none.dfu\n",
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.fault) + (c.driverLoaded ? "" : " no driver"));
        writeWholeFile(simStatePath("insmod.log"), "");
        if (c.driverLoaded) loadBcspDriver();
        writeWholeFile(simStatePath("dfu.fault"), c.fault);
        unlink("/tmp/dfu_error.log");
        unlink("/tmp/dfu_status.log");
        EXPECT_EQ(runDfu(c.argv), c.waitStatus);
        EXPECT_EQ(fileExists("/tmp/dfu_error.log") ? readWholeFile("/tmp/dfu_error.log") : "",
                  c.error ? c.error : "");
        if (c.status != nullptr) {
            EXPECT_EQ(readWholeFile("/tmp/dfu_status.log"), c.status);
        }
        EXPECT_FALSE(fileExists(simStatePath("module.firmware")));
    }
}

}  // namespace
