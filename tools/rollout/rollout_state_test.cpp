#include "tools/rollout/rollout_state.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tools/rollout/field_status.h"

namespace rollout {

namespace {

// Ten boards in waves 1, 50%, 100%: ends 1, 5, 10.
RolloutState tenBoards() {
    RolloutState state;
    state.imageName = "update.img";
    state.planPath = "/plans/plan.json";
    state.waves = *parseWaves("1,50%,100%");
    state.waveEnds = waveEnds(state.waves, 10);
    for (std::size_t i = 0; i < 10; ++i) {
        BoardEntry board;
        board.name = "lap-" + std::to_string(i + 1);
        board.host = "root@" + board.name;
        board.folder = "fleet/" + board.name;
        board.wave = i < 1 ? 1 : i < 5 ? 2 : 3;
        board.planned = "OK";
        state.boards.push_back(board);
    }
    return state;
}

void ran(RolloutState& state, std::size_t index, const char* status, const char* outcome) {
    state.boards[index].status = status;
    state.boards[index].outcome = outcome;
}

TEST(RolloutState, TheFirstSurpriseHaltsByDefault) {
    RolloutState state = tenBoards();
    ran(state, 0, kUpdated, "OK");
    EXPECT_EQ(haltReason(state, 1), "");
    EXPECT_EQ(nextWave(state), 2u);
    ran(state, 1, kUnexpected, "NOK");
    EXPECT_EQ(haltReason(state, 2), "1 board unlike the plan, more than --max-unexpected 0");
}

TEST(RolloutState, LimitsCountUnreachableBoardsAndNok) {
    RolloutState state = tenBoards();
    state.maxUnexpected = *parseShare("20%");
    state.maxNok = *parseShare("1");
    ran(state, 1, kUnreachable, "");
    EXPECT_EQ(haltReason(state, 2), "") << "1 of 5 is 20%";
    ran(state, 2, kNoAnswer, "");
    EXPECT_EQ(haltReason(state, 2), "2 boards unlike the plan, more than --max-unexpected 20%");
    EXPECT_EQ(haltReason(state, 3), "") << "2 of 10";
    ran(state, 3, kAsPlanned, "NOK");
    ran(state, 4, kAsPlanned, "NOK");
    EXPECT_EQ(haltReason(state, 3), "2 boards NOK, more than --max-nok 1");
}

TEST(RolloutState, AResumeForgivesWhatWasSeen) {
    RolloutState state = tenBoards();
    ran(state, 0, kUnexpected, "NOK");
    EXPECT_NE(haltReason(state, 1), "");
    state.forgivenUnexpected = 1;
    state.forgivenNok = 1;
    EXPECT_EQ(haltReason(state, 2), "");
    ran(state, 1, kUnreachable, "");
    EXPECT_NE(haltReason(state, 2), "");
}

TEST(RolloutState, ItsFileReadsBackAsWritten) {
    RolloutState state = tenBoards();
    state.maxNok = *parseShare("5%");
    ran(state, 0, kUpdated, "OK");
    ran(state, 1, kUnexpected, "NOK");
    state.boards[1].differences = {"&0021: planned 0006, found 0004"};
    state.haltedWave = 2;
    state.haltReason = "1 board unlike the plan, more than --max-unexpected 0";
    state.forgivenNok = 2;
    RolloutState read;
    std::string error;
    ASSERT_TRUE(readState(stateJson(state), &read, &error)) << error;
    EXPECT_EQ(stateJson(read), stateJson(state));
    EXPECT_EQ(read.waveEnds, (std::vector<std::size_t>{1, 5, 10}));
    EXPECT_FALSE(readState("{\"format\": \"btlap-rehearsal\"}", &read, &error));
    std::string bad = stateJson(state);
    bad.replace(bad.find("\"status\": \"unexpected\""), 24, "\"status\": \"sideways\"");
    EXPECT_FALSE(readState(bad, &read, &error)) << "an unknown status";
}

TEST(RolloutState, TheVerdictAndExitStatus) {
    RolloutState state = tenBoards();
    EXPECT_EQ(verdictOf(state), kNotYet);
    EXPECT_EQ(exitStatusOf(state), 3);
    for (std::size_t i = 0; i < 10; ++i) ran(state, i, kUpdated, "OK");
    EXPECT_EQ(verdictOf(state), kUpdated);
    EXPECT_EQ(exitStatusOf(state), 0);
    ran(state, 3, kAlready, "");
    ran(state, 4, kAsPlanned, "NOK");
    EXPECT_EQ(verdictOf(state), kAsPlanned);
    EXPECT_EQ(exitStatusOf(state), 0);
    ran(state, 5, kUnreachable, "");
    EXPECT_EQ(verdictOf(state), kUnreachable);
    EXPECT_EQ(exitStatusOf(state), 1);
    ran(state, 6, kUnexpected, "OK");
    EXPECT_EQ(verdictOf(state), kUnexpected);
    EXPECT_EQ(verdictLine(state), "unexpected - finished: 10 boards");
    ran(state, 5, kUpdated, "OK");
    ran(state, 6, kUpdated, "OK");
    ran(state, 7, kUnderWay, "");
    EXPECT_EQ(verdictOf(state), kNotYet) << "stopped during its update: its end is unknown";
    EXPECT_EQ(exitStatusOf(state), 3);
    EXPECT_EQ(verdictLine(state), "not yet - 9 of 10 boards run, 1 under way");
}

TEST(RolloutState, IsWrittenWhole) {
    const std::string path = testing::TempDir() + "rollout-state.json";
    std::string error;
    ASSERT_TRUE(writeDurably(path, "first\n", &error)) << error;
    ASSERT_TRUE(writeDurably(path, "second\n", &error)) << error;
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "second\n");
    EXPECT_FALSE(writeDurably("/nonexistent-folder/state.json", "x", &error));
}

}  // namespace

}  // namespace rollout
