// The fault files' count of good operations, shared by every device model.
#include "sim/state_files.h"

#include <gtest/gtest.h>

namespace {

TEST(StateFiles, FaultStrikesAfterItsCountOfGoodOperations) {
    writeStateFile("any.fault", "write 2\n");
    EXPECT_FALSE(faultStrikes("any.fault", "erase"));  // another kind: no count taken
    EXPECT_EQ(stateFileText("any.fault"), "write 2\n");
    EXPECT_FALSE(faultStrikes("any.fault", "write"));
    EXPECT_EQ(stateFileText("any.fault"), "write 1\n");
    EXPECT_FALSE(faultStrikes("any.fault", "write"));
    EXPECT_EQ(stateFileText("any.fault"), "write 0\n");
    EXPECT_TRUE(faultStrikes("any.fault", "write"));
    EXPECT_TRUE(faultStrikes("any.fault", "write"));
    writeStateFile("any.fault", "write");
    EXPECT_TRUE(faultStrikes("any.fault", "write"));
    EXPECT_FALSE(faultStrikes("missing.fault", "write"));
    EXPECT_FALSE(readStateFile("missing.fault").has_value());
}

}  // namespace
