// How many folders a walk lists at once: up while answers are prompt,
// halved once per round at a sign of throttling, never below one.
#include <gtest/gtest.h>

#include "ops/ops.h"

namespace {

using ms = std::chrono::milliseconds;

TEST(Pace, GrowsWhilePromptHalvesOnThrottlingThenGrowsByRounds) {
    nimbus_pace pace(4, 16);
    EXPECT_EQ(4, pace.limit());
    for (int i = 0; i < 11; i++)
        pace.answered(ms(50), 200);
    EXPECT_EQ(15, pace.limit());
    pace.answered(ms(50), 200);
    pace.answered(ms(50), 200);
    EXPECT_EQ(16, pace.limit()); // the most

    pace.answered(ms(60), 429);
    EXPECT_EQ(8, pace.limit());
    // Answers sent before the halving do not halve again within a round.
    for (int i = 0; i < 7; i++)
        pace.answered(ms(60), 503);
    EXPECT_EQ(8, pace.limit());
    pace.answered(ms(60), 503);
    EXPECT_EQ(4, pace.limit());
    // After a push back: one more per round of prompt answers.
    for (int i = 0; i < 3; i++)
        pace.answered(ms(50), 200);
    EXPECT_EQ(4, pace.limit());
    pace.answered(ms(50), 200);
    EXPECT_EQ(5, pace.limit());
}

TEST(Pace, AnAnswerFarSlowerThanTheQuickestIsThrottlingAndOneIsTheLeast) {
    nimbus_pace pace(2, 16);
    pace.answered(ms(100), 200); // quickest: 100 ms
    EXPECT_EQ(3, pace.limit());
    pace.answered(ms(800), 200); // 3 x 100 + 500 = 800: not slower
    EXPECT_EQ(4, pace.limit());
    for (int i = 0; i < 2; i++)
        pace.answered(ms(100), 200);
    pace.answered(ms(801), 200);
    EXPECT_EQ(3, pace.limit());
    nimbus_pace one(1, 1);
    for (int i = 0; i < 4; i++)
        one.answered(ms(50), 429);
    EXPECT_EQ(1, one.limit());
}

} // namespace
