#include "tools/common/progress_view.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kVersionDone = "Version Check:         started ... OK\n     part: ...\n";
const std::string kLapStarted = "Update qvl Software:   started ... ";
const std::string kBootStarted = "Update PPCBOOT:        started ... ";
const std::string kFirmwareStarted = "Update Parlo Firmware: started ... ";

// One reading of the report and what it makes the view print.
struct Reading {
    std::string report;
    std::string printed;
};

// Feeds the readings in order and checks each one's text.
void expectPrinted(const std::vector<Reading>& readings, std::size_t stepCount, ViewForm form) {
    ShownProgress shown;
    for (const Reading& reading : readings) {
        ProgressText out =
            renderProgress(shown, parseUpdateReport(reading.report), stepCount, form);
        EXPECT_EQ(out.text, reading.printed) << reading.report;
        shown = out.shown;
    }
}

// An image update seen at every stage, and once with no change.
const std::vector<std::string> kImageUpdate = {
    "",
    kVersionDone,
    kVersionDone + kLapStarted + "  0 percent ",
    kVersionDone + kLapStarted + " 32 percent ",
    kVersionDone + kLapStarted + " 32 percent ",
    kVersionDone + kLapStarted + "100 percent OK\n" + kBootStarted + "Nothing Done\n" +
        "*UPDATE_FINISHED* ... OK\n",
};

std::vector<Reading> readings(const std::vector<std::string>& printed) {
    std::vector<Reading> result;
    for (std::size_t i = 0; i < printed.size(); ++i)
        result.push_back({kImageUpdate[i], printed[i]});
    return result;
}

TEST(ProgressView, RedrawsOneBarLinePerStepOnATerminal) {
    expectPrinted(readings({
                      "",
                      "\r[ 1/3] Version Check:         [                    ]     ",
                      "\r[ 1/3] Version Check:         [                    ]      OK\n"
                      "\r[ 2/3] Update qvl Software:   [--------------------]   0%",
                      "\r[ 2/3] Update qvl Software:   [######--------------]  32%",
                      "",
                      "\r[ 2/3] Update qvl Software:   [####################] 100% OK\n"
                      "\r[ 3/3] Update PPCBOOT:        [                    ]      Nothing Done\n"
                      "*UPDATE_FINISHED* ... OK\n",
                  }),
                  3, ViewForm::Terminal);
}

TEST(ProgressView, ShowsAnUnknownStepCountAsAQuestionMark) {
    expectPrinted({{kLapStarted + " 50 percent ",
                    "step 1/? Update qvl Software: started\nstep 1/? Update qvl Software: 50%\n"}},
                  0, ViewForm::Lines);
    expectPrinted({{kLapStarted + " 50 percent ",
                    "\r[ 1/?] Update qvl Software:   [##########----------]  50%"}},
                  0, ViewForm::Terminal);
}

TEST(ProgressView, KeepsTheLastPercentageWhenTheStatusIsNoNumber) {
    expectPrinted({{kFirmwareStarted + " 40 percent ",
                    "step 1/1 Update Parlo Firmware: started\n"
                    "step 1/1 Update Parlo Firmware: 40%\n"},
                   {"Update Parlo Firmware: started ... err percent ", ""},
                   {"Update Parlo Firmware: started ... err percent dfu: no answer\nNOK\n"
                    " nothing done... try again\n",
                    "step 1/1 Update Parlo Firmware: NOK nothing done... try again\n"}},
                  1, ViewForm::Lines);
}

TEST(ProgressView, DrawsTheBarAgainAfterOtherOutput) {
    std::string report = kLapStarted + " 32 percent ";
    ProgressText first = renderProgress({}, parseUpdateReport(report), 1, ViewForm::Terminal);
    ProgressText closed = closeProgressLine(first.shown);
    EXPECT_EQ(closed.text, "\n");
    EXPECT_EQ(closeProgressLine(closed.shown).text, "");
    ProgressText again =
        renderProgress(closed.shown, parseUpdateReport(report), 1, ViewForm::Terminal);
    EXPECT_EQ(again.text, first.text);
    EXPECT_EQ(renderProgress(again.shown, parseUpdateReport(report), 1, ViewForm::Terminal).text,
              "");
}

TEST(ProgressView, BeginsAgainForTheNextUpdate) {
    expectPrinted({{kBootStarted + "Nothing Done\n*UPDATE_FINISHED* ... NOK\n",
                    "step 1/1 Update PPCBOOT: started\n"
                    "step 1/1 Update PPCBOOT: Nothing Done\n"
                    "*UPDATE_FINISHED* ... NOK\n"},
                   {kBootStarted + "Nothing Done\n*UPDATE_FINISHED* ... NOK\n" + kBootStarted,
                    "step 1/1 Update PPCBOOT: started\n"}},
                  1, ViewForm::Lines);
}

}  // namespace
