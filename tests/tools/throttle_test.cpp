// The account's pauses: the RateLimit header reader, the shared backoff and
// the spread of the last requests of a budget, on a clock the test moves.
#include "throttle.h"

#include <gtest/gtest.h>

namespace {

using cli::account_pauses;
using steady = account_pauses::clock;

steady::duration ms(long n) {
    return std::chrono::milliseconds(n);
}

TEST(BudgetNumber, DigitsOnlyAtMostNine) {
    long v = -1;
    EXPECT_TRUE(cli::budget_number(" 42\r\n", &v));
    EXPECT_EQ(42, v);
    EXPECT_TRUE(cli::budget_number("999999999", &v));
    EXPECT_EQ(999999999, v);
    for (const char *bad :
         {"1000000000", "", " \r\n", "-1", "+1", "1.5", "1 2", "0x10", "\xd9\xa1"})
        EXPECT_FALSE(cli::budget_number(bad, &v)) << bad;
    cli::rate_budget b = cli::read_budget("100", "x", " 0");
    EXPECT_EQ(100, b.limit);
    EXPECT_EQ(-1, b.remaining);
    EXPECT_EQ(0, b.reset);
}

TEST(AccountPauses, BackoffGrowsPerBurstAndEndsWithASuccess) {
    account_pauses p;
    const steady::time_point t0 = steady::now();
    EXPECT_EQ(t0 + ms(1500), p.throttled(503, t0, t0 + ms(1000), -1, 0));
    // Under way when the first came back: the same burst, the same window.
    EXPECT_EQ(t0 + ms(2000), p.throttled(503, t0 + ms(10), t0 + ms(1000), -1, 1));
    EXPECT_EQ(1, p.streak());
    // Sent after it: twice the window (1 to 2 s), never shortening the pause.
    EXPECT_EQ(t0 + ms(4000), p.throttled(429, t0 + ms(2000), t0 + ms(3000), -1, 0));
    account_pauses::cause why;
    int status = 0;
    EXPECT_EQ(t0 + ms(4000), p.held(&why, &status));
    EXPECT_EQ(account_pauses::cause::backoff, why);
    EXPECT_EQ(429, status);
    for (int i = 3; i <= 8; i++)
        p.throttled(503, t0 + ms(1000 * i), t0 + ms(1000 * i), -1, 0);
    const steady::time_point t9 = t0 + ms(9000);
    EXPECT_EQ(t9 + ms(32000), p.throttled(503, t9, t9, -1, 1)); // capped at 32 s
    p.answered(t9 - ms(1)); // sent before the last throttled answer: nothing learnt
    EXPECT_EQ(9, p.streak());
    p.answered(t9);
    EXPECT_EQ(0, p.streak());
    account_pauses gateway(5); // a shorter cap
    for (int i = 0; i < 5; i++)
        gateway.throttled(503, t0 + ms(i), t0 + ms(i), -1, 1);
    EXPECT_EQ(t0 + ms(5004), gateway.held(&why, &status));
    // A Retry-After is the pause, without jitter.
    const steady::time_point t50 = t0 + ms(50000);
    EXPECT_EQ(t50 + ms(2000), p.throttled(429, t50, t50, 2, 0.7));
    p.held(&why, &status);
    EXPECT_EQ(account_pauses::cause::asked, why);
}

TEST(AccountPauses, LowBudgetSpreadsTheRestOverItsReset) {
    account_pauses p;
    const steady::time_point t0 = steady::now();
    const steady::duration any = steady::duration::max();
    p.budget(t0, {100, 11, 2}); // over a tenth left: no pacing
    EXPECT_EQ(t0, p.turn(t0, any));
    p.budget(t0, {-1, 1, 2}); // no limit: only none left counts
    EXPECT_EQ(t0, p.turn(t0, any));
    p.budget(t0, {100, 10, 2}); // a tenth: 10 left and the next, over 2 s
    EXPECT_EQ(t0 + steady::duration(ms(2000)) / 11, p.turn(t0, any));
    p.budget(t0, {100, 3, 2});
    EXPECT_EQ(t0 + ms(500), p.turn(t0, ms(499))); // too far for this caller: not taken
    EXPECT_EQ(t0 + ms(500), p.turn(t0, any));
    EXPECT_EQ(t0 + ms(1000), p.turn(t0, any));
    EXPECT_EQ(t0 + ms(1500), p.turn(t0, any));
    EXPECT_EQ(t0 + ms(2000), p.turn(t0, any));
    EXPECT_EQ(t0 + ms(2000), p.turn(t0, any)); // nobody waits past the reset
    EXPECT_EQ(t0 + ms(2000), p.turn(t0 + ms(2000), any));
    p.budget(t0, {-1, 0, -1}); // no reset named: a short window
    EXPECT_EQ(t0 + ms(5000), p.turn(t0, any));
    p.budget(t0, {-1, 0, 999999999}); // a hostile reset is capped
    EXPECT_EQ(t0 + ms(120000), p.turn(t0, any));
    p.budget(t0, {-1, 0, 0}); // whole again now
    EXPECT_EQ(t0, p.turn(t0, any));
}

// What a gateway tells its client to wait: the pause, or the next turn of a
// spent budget, whichever ends later; nothing once both are over.
TEST(AccountPauses, LeftIsTheLaterOfPauseAndTurn) {
    account_pauses p;
    const steady::time_point t0 = steady::now();
    EXPECT_EQ(steady::duration::zero(), p.left(t0));
    p.throttled(429, t0, t0, 120, 0);
    EXPECT_EQ(ms(120000), p.left(t0));
    EXPECT_EQ(ms(1), p.left(t0 + ms(119999)));
    EXPECT_EQ(steady::duration::zero(), p.left(t0 + ms(120000)));
    const steady::time_point t1 = t0 + ms(200000);
    p.budget(t1, {100, 3, 2});
    EXPECT_EQ(ms(500), p.left(t1));
    p.turn(t1, steady::duration::max());
    EXPECT_EQ(ms(1000), p.left(t1));
    EXPECT_EQ(steady::duration::zero(), p.left(t1 + ms(2000)));
}

} // namespace
