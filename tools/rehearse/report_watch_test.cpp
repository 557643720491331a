// The stamps of a step's start on the board: the daemon's processor time read from /proc.
#include "tools/rehearse/report_watch.h"

#include <gtest/gtest.h>

namespace {

TEST(ReportWatch, ReadsTheDaemonsProcessorTimeAndItsWaitForOne) {
    // A command name with blanks and a parenthesis; utime to cstime are 5, 6, 7 and 8.
    const std::string stat = "1234 (update (sim) x) S 1 1 1 0 -1 0 0 0 0 0 5 6 7 8 20 0 1 0\n";
    EXPECT_EQ(processorTicks(stat, "123 456 7\n"), "26/456");
    EXPECT_EQ(processorTicks(stat, ""), "26");
    EXPECT_EQ(processorTicks("", ""), "-");
    EXPECT_EQ(reportStamp(1.5, "26/456", "started 3", 1.25),
              "1.500000 26/456 started 3 1.250000\n");
}

}  // namespace
