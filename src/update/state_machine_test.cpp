#include "update/state_machine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/ai_socket.h"
#include "core/log.h"
#include "tests/support/board.h"
#include "tests/support/daemon_socket.h"
#include "update/update_state.h"

using namespace std::chrono_literals;

namespace {

class StateMachine : public DaemonSocketTest {
protected:
    void startList(std::vector<std::int32_t> ids) {
        setStepList(ids);
        testing::internal::CaptureStdout();
        startNextStep("");
        testing::internal::GetCapturedStdout();
    }

    std::string run() {
        testing::internal::CaptureStdout();
        stateMachine();
        return testing::internal::GetCapturedStdout();
    }

    TestPeer peer;
};

TEST_F(StateMachine, RemoveDfuUploadDeletesTheUpload) {
    writeWholeFile("/tmp/upload.dfu", "old upload");
    startList({STEP_REMOVE_DFU_UPLOAD, STEP_REMOVE_DFU_UPLOAD});
    run();
    EXPECT_FALSE(fileExists("/tmp/upload.dfu"));
    run();  // a missing upload is no error
    run();
    EXPECT_EQ(readWholeFile(kUpdateReportPath),
              "Remove DFU upload:     started ... OK\n"
              "Remove DFU upload:     started ... OK\n"
              "*UPDATE_FINISHED* ... OK\n");
}

// An update without service records merges nothing and its step is OK; the update's records
// not installed (here: no /etc/service.txt to merge into) end the step and the update NOK. The
// peer gets the step's trigger either way.
TEST_F(StateMachine, SdpStepIsOkWithoutRecordsAndNokWhenTheyAreNotInstalled) {
    const std::string service = readWholeFile("/etc/service.txt");
    const struct {
        bool updateHasRecords;
        std::int32_t result;
        const char* report;
    } cases[] = {
        {false, 1,
         "Check SDP records  :   started ... open error file /tmp/update.d/service.txt: 0x02 No "
         "such file or directoryOK\n"},
        {true, 0,
         "Check SDP records  :   started ... open error file /etc/service.txt: 0x02 No such file "
         "or directory NOK\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.result);
        std::filesystem::remove_all("/tmp/update.d");
        if (c.updateHasRecords) {
            std::filesystem::create_directory("/tmp/update.d");
            writeWholeFile("/tmp/update.d/service.txt", service);
            std::filesystem::remove("/etc/service.txt");
        }
        std::filesystem::remove(kUpdateReportPath);
        update.updateResult = 1;
        startList({STEP_CHECK_SDP});
        testing::internal::CaptureStderr();
        run();
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(update.updateResult, c.result);
        EXPECT_EQ(readWholeFile(kUpdateReportPath), c.report);
        EXPECT_EQ(readWholeFile("/etc/service.txt"), c.updateHasRecords ? "" : service);
        auto trigger = peer.receive(1s);
        ASSERT_TRUE(trigger);
        EXPECT_EQ(trigger->type, AI_TRIGGER);
        EXPECT_EQ(trigger->param, 0);
    }
}

}  // namespace
