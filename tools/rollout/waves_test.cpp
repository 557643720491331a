#include "tools/rollout/waves.h"

#include <gtest/gtest.h>

namespace rollout {

namespace {

TEST(RolloutWaves, EndWhereTheirSharesOfTheFleetReach) {
    struct Case {
        const char* waves;
        std::size_t total;
        std::vector<std::size_t> ends;
    };
    const Case cases[] = {
        {"1,5%,25%,100%", 200, {1, 10, 50, 200}},
        {"1,5%,25%,100%", 8, {1, 2, 8}},  // 5% of 8 rounds up to 1: no empty wave
        {"1,5%,25%,100%", 1, {1}},
        {"3,50%", 10, {3, 5}},  // short of 100%: the rest stays out
        {"20,100%", 10, {10}},  // a wave beyond the fleet reaches all of it
        {"1,2,3", 2, {1, 2}},
        {"33%,66%,100%", 10000, {3300, 6600, 10000}},
    };
    for (const Case& c : cases) {
        std::optional<std::vector<Share>> waves = parseWaves(c.waves);
        ASSERT_TRUE(waves) << c.waves;
        EXPECT_EQ(waveEnds(*waves, c.total), c.ends) << c.waves << " of " << c.total;
    }
}

TEST(RolloutWaves, RefusesWhatIsNoGrowingList) {
    for (const char* bad : {"", "0", "1,,2", "5%,1%", "3,2", "101%", "x", "1,5%,", "-1", "1.5"})
        EXPECT_FALSE(parseWaves(bad)) << bad;
}

TEST(RolloutLimits, HaltOnlyBeyondTheLimit) {
    struct Case {
        const char* limit;
        std::size_t count, reached;
        bool exceeded;
    };
    const Case cases[] = {
        {"0", 0, 10, false},  {"0", 1, 10, true},        {"2", 2, 10, false},
        {"2", 3, 10, true},   {"10%", 1, 10, false},     {"10%", 2, 10, true},
        {"0%", 1, 200, true}, {"100%", 200, 200, false}, {"5%", 2, 50, false},
        {"5%", 3, 50, true},
    };
    for (const Case& c : cases) {
        std::optional<Share> limit = parseShare(c.limit);
        ASSERT_TRUE(limit) << c.limit;
        EXPECT_EQ(exceeds(*limit, c.count, c.reached), c.exceeded)
            << c.count << " of " << c.reached << " against " << c.limit;
        EXPECT_EQ(shareText(*limit), c.limit);
    }
}

}  // namespace

}  // namespace rollout
