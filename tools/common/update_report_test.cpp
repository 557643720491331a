#include "tools/common/update_report.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The step lines as the daemon begins them.
const std::string kVersionLine = "Version Check:         started ... ";
const std::string kReadLine = "Read PS-Keys:          started ... ";
const std::string kCompareLine = "Compare PS-Keys:       started ... ";
const std::string kDiffLine = "Write diff. PS-Keys:   started ... ";
const std::string kAllLine = "Write all PS-Keys:     started ... ";
const std::string kFirmwareLine = "Update Parlo Firmware: started ... ";
const std::string kLapLine = "Update qvl Software:   started ... ";
const std::string kSdpLine = "Check SDP records  :   started ... ";
const std::string kBootLine = "Update PPCBOOT:        started ... ";
// The version check's table, ended by the step's "\n".
const std::string kTable =
    "OK\n     part:            |     old version      |      new version      |   update ?"
    "\n   Parlo Firmware ...  1958                    2114 means 17.3.5          yes         "
    "    \n   PS-Key         ...  05 S2C4                 07 S3A1                    yes     "
    "        \n   qvl Software   ...  2.0.3                   2.1.0                      yes "
    "            \n";

// "7 32% running | 8 OK | finished OK"
std::string described(const ReportedUpdate& update) {
    std::string text;
    for (const ReportedStep& step : update.steps) {
        if (!text.empty()) text += " | ";
        text += std::to_string(step.id);
        if (step.percent) {
            text += ' ';
            text += std::to_string(*step.percent);
            text += '%';
        }
        text += ' ';
        text += step.outcome == StepOutcome::Running ? "running" : outcomeText(step.outcome);
    }
    if (update.finishedOk) text += *update.finishedOk ? " | finished OK" : " | finished NOK";
    return text;
}

TEST(UpdateReport, ReadsEveryKindOfLineWhileTheDaemonWritesIt) {
    struct Case {
        const char* what;
        std::string report;
        const char* expected;
    };
    const Case cases[] = {
        {"no report yet", "", ""},
        {"only a stop's text", "Exit because stopped !!\n", ""},
        {"step line half written", "Version Check:         sta", ""},
        {"label not in 22 columns", "Version Check: started ... OK\n", ""},
        {"version check entered", kVersionLine, "1 running"},
        {"table half written", kVersionLine + "OK\n     part:            |  ", "1 running"},
        {"next line half written", kVersionLine + kTable + "Update qvl Soft", "1 running"},
        {"version check ended", kVersionLine + kTable + kLapLine, "1 OK | 7 running"},
        {"first percentage", kLapLine + "  0 percent ", "7 0% running"},
        {"overwritten in place", kLapLine + " 65 percent ", "7 65% running"},
        {"percentage half written", kLapLine + "  0 perc", "7 running"},
        {"result not yet followed", kLapLine + "100 percent OK\n", "7 100% running"},
        {"result followed", kLapLine + "100 percent OK\n" + kSdpLine, "7 100% OK | 8 running"},
        {"progress after an error text",
         kLapLine + "  0 percent can't write 65536 bytes at 0x30000 of /dev/flash0\n 32 percent ",
         "7 32% running"},
        {"error text after the percentage",
         kLapLine + " 32 percent can't erase 65536 bytes at 0x50000 of /dev/flash0\n",
         "7 32% running"},
        {"error text, then NOK",
         kLapLine + "image file /tmp/image to small (10 Bytes) !\n NOK\n" + kSdpLine,
         "7 NOK | 8 running"},
        {"percentage, error text, NOK", kLapLine + " 32 percent write error\n NOK\n" + kSdpLine,
         "7 32% NOK | 8 running"},
        {"compare OK", kCompareLine + "OK\n" + kDiffLine, "3 OK | 4 running"},
        {"compare NOK", kCompareLine + " NOK\n" + kDiffLine, "3 NOK | 4 running"},
        {"result of no known kind", kCompareLine + "half a result\n" + kDiffLine,
         "3 ended | 4 running"},
        {"skipped step", kDiffLine + "nothing to do ... OK\n" + kAllLine,
         "4 nothing to do ... OK | 5 running"},
        {"PS-Key writing", kAllLine + " 40 percent ", "5 40% running"},
        {"read NOK, finishing NOK", kReadLine + " NOK\n*UPDATE_FINISHED* ... NOK\n",
         "2 NOK | finished NOK"},
        {"last step and finishing line", kBootLine + "Nothing Done\n*UPDATE_FINISHED* ... OK\n",
         "10 Nothing Done | finished OK"},
        {"finishing line half written", kBootLine + "Nothing Done\n*UPDATE_FINISHED* ... ",
         "10 Nothing Done"},
        // The firmware step shows the DFU status file's first four characters; its first
        // text, one longer than "  0 percent ", takes the blank before.
        {"firmware status", "Update Parlo Firmware: started ...  40 percent ", "6 40% running"},
        {"firmware status without a blank", "Update Parlo Firmware: started ...100  percent ",
         "6 100% running"},
        {"firmware status of one line end", "Update Parlo Firmware: started ...   7\n percent ",
         "6 7% running"},
        {"firmware status not a number", "Update Parlo Firmware: started ...  ab percent ",
         "6 running"},
        {"firmware status above 100", "Update Parlo Firmware: started ...9999 percent ",
         "6 100% running"},
        {"firmware load failed",
         kFirmwareLine + " 80 percent dfu: no answer\nNOK\n nothing done... try again\n",
         "6 80% NOK nothing done... try again"},
        {"an update after an abort",
         kFirmwareLine + "NOK\n nothing done... try again\n" + kVersionLine, "1 running"},
        {"an update after a finishing line", "*UPDATE_FINISHED* ... OK\n" + kVersionLine,
         "1 running"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(described(parseUpdateReport(c.report)), c.expected) << c.what;
    }
}

TEST(UpdateReport, CountsTheStepsTheDaemonTakesFromTheTodoFile) {
    std::string many;
    for (int i = 0; i < 25; ++i) many += "PPCBOOT\n";
    struct Case {
        std::string todo;
        std::size_t steps;
    };
    const Case cases[] = {
        {"", 0},
        {"CHECK_VERSIONS\nLAP_SOFTWARE\nCHECK_SDP\nREMOVE_DFU_UPLOAD\nPPCBOOT\n", 5},
        {"# the steps\nCHECK_VERSIONS\nREBOOT\n\nPPCBOOT", 2},  // no line end at the end
        {"LAP_SOFTWARE_NEW\n LAP_SOFTWARE\n#LAP_SOFTWARE\n", 1},
        {many, 20},
        // The daemon reads 1022 characters at a time: the rest of a longer line is a line.
        {std::string(1022, 'x') + "PPCBOOT\n", 1},
        {std::string(1021, 'x') + "PPCBOOT\n", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(todoSteps(c.todo).size(), c.steps) << c.todo;
    EXPECT_EQ(todoSteps("CHECK_SDP\n#x\nLAP_SOFTWARE\n"), (std::vector<std::int32_t>{8, 7}));
}

// What the peer shows beside a final NOK: the reception's errors before any step, or each
// failed step's own text without its percentage and result; nothing of an earlier update.
TEST(FailureCause, TellsWhyTheLastUpdateFailed) {
    const std::string earlier =
        "Update qvl Software:   started ...   0 percent flash write error\n NOK\n"
        "*UPDATE_FINISHED* ... NOK\n";
    const struct {
        std::string report;
        std::string cause;
    } cases[] = {
        {earlier + "File opening error for file :/tmp/image errno = 2 No such file or directory "
                   "\n*UPDATE_FINISHED* ... NOK\n",
         "the update's reception failed:\n"
         "  File opening error for file :/tmp/image errno = 2 No such file or directory\n"},
        {earlier + "Update Parlo Firmware: started ...   40 percent dfu: download failed at 40 "
                   "percent: the module does not answer\nNOK\n nothing done... try again\n"
                   "*UPDATE_FINISHED* ... NOK\n",
         "Update Parlo Firmware failed:\n"
         "  dfu: download failed at 40 percent: the module does not answer\n"},
        {"Version Check:         started ... OK\nCheck SDP records  :   started ... "
         "record 3 of 2000 bytes is too long\n NOK\nUpdate PPCBOOT:        started ... "
         "Nothing Done\n*UPDATE_FINISHED* ... NOK\n",
         "Check SDP records failed:\n  record 3 of 2000 bytes is too long\n"},
        {"Version Check:         started ... OK\n*UPDATE_FINISHED* ... OK\n", ""},
        // Who signed an image is no reason why its update failed.
        {"image signed by key 00112233445566778899aabbccddeeff, security version 2\n"
         "Check SDP records  :   started ... no room\n NOK\n*UPDATE_FINISHED* ... NOK\n",
         "Check SDP records failed:\n  no room\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(failureCause(c.report), c.cause) << c.report;
}

}  // namespace
