// A throttled client that keeps firing from other threads is throttled
// harder, so one throttled answer pauses every request of the account. The
// pause is the service's Retry-After when it sent one, else a backoff that
// doubles with each throttled answer in a row (1, 2, 4 ... 32 s windows) and
// starts over once the service takes a request again. Its jitter is "equal"
// (half the window, plus up to half at random) rather than full: a full
// jitter draw near zero would be no pause at all for the other threads.
#include "throttle.h"

#include <algorithm>
#include <cmath>

namespace cli {

namespace {

using clock = account_pauses::clock;

clock::duration seconds(double s) {
    return std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(s));
}

} // namespace

bool budget_number(const std::string &raw, long *value) {
    size_t b = raw.find_first_not_of(" \t\r\n");
    size_t e = raw.find_last_not_of(" \t\r\n");
    if (b == std::string::npos || e - b + 1 > 9)
        return false;
    long v = 0;
    for (size_t i = b; i <= e; i++) {
        char c = raw[i];
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    *value = v;
    return true;
}

rate_budget read_budget(const std::string &limit, const std::string &remaining,
                        const std::string &reset) {
    rate_budget b;
    if (!budget_number(limit, &b.limit))
        b.limit = -1;
    if (!budget_number(remaining, &b.remaining))
        b.remaining = -1;
    if (!budget_number(reset, &b.reset))
        b.reset = -1;
    return b;
}

clock::time_point account_pauses::throttled(int status, clock::time_point sent,
                                            clock::time_point now, double asked_s, double jitter) {
    std::lock_guard<std::mutex> lock(lock_);
    // Answers to requests that were already under way when the account was
    // throttled belong to the same burst: they do not double the backoff.
    if (streak_ == 0 || sent >= last_throttled_) {
        streak_ = std::min(streak_ + 1, 64);
        last_throttled_ = now;
    }
    double pause = asked_s;
    cause why = cause::asked;
    if (asked_s < 0) {
        double window = std::min(std::ldexp(1.0, std::min(streak_ - 1, 10)), max_backoff_s_);
        jitter = jitter < 0 ? 0 : jitter > 1 ? 1 : jitter;
        pause = window * (0.5 + 0.5 * jitter);
        why = cause::backoff;
    }
    clock::time_point until = now + seconds(pause);
    if (until > hold_) {
        hold_ = until;
        hold_cause_ = why;
        hold_status_ = status;
    }
    return hold_;
}

void account_pauses::answered(clock::time_point sent) {
    std::lock_guard<std::mutex> lock(lock_);
    if (sent >= last_throttled_)
        streak_ = 0;
}

// The latest answer's headers stand: answers of concurrent requests arrive
// in any order, and the reset they name is never more than kMaxPause away.
void account_pauses::budget(clock::time_point now, const rate_budget &b) {
    if (b.remaining < 0)
        return;
    bool low =
        b.limit >= 0 ? static_cast<long long>(b.remaining) * 10 <= b.limit : b.remaining == 0;
    double window =
        b.reset >= 0 ? std::min(static_cast<double>(b.reset), kMaxPause) : kBudgetWindow;
    std::lock_guard<std::mutex> lock(lock_);
    if (!low || window <= 0) {
        paced_until_ = clock::time_point{};
        return;
    }
    // The requests left, and the next one after them, spread evenly over
    // the window: the first waits one spacing, the last goes at its end.
    clock::duration spacing = seconds(window / (static_cast<double>(b.remaining) + 1));
    bool pacing = now < paced_until_;
    paced_until_ = now + seconds(window);
    spacing_ = spacing;
    next_turn_ = pacing ? std::max(next_turn_, now + spacing) : now + spacing;
}

clock::time_point account_pauses::held(cause *why, int *status) const {
    std::lock_guard<std::mutex> lock(lock_);
    *why = hold_cause_;
    *status = hold_status_;
    return hold_;
}

clock::duration account_pauses::left(clock::time_point now) const {
    std::lock_guard<std::mutex> lock(lock_);
    clock::time_point free = hold_;
    if (now < paced_until_)
        free = std::max(free, std::min(std::max(now, next_turn_), paced_until_));
    return free > now ? free - now : clock::duration::zero();
}

clock::time_point account_pauses::turn(clock::time_point now, clock::duration longest) {
    std::lock_guard<std::mutex> lock(lock_);
    if (now >= paced_until_)
        return now;
    // Past the window the budget is whole again: nobody waits beyond it.
    clock::time_point slot = std::min(std::max(now, next_turn_), paced_until_);
    if (slot - now > longest)
        return slot;
    next_turn_ = slot + spacing_;
    return slot;
}

bool account_pauses::first_notice(clock::time_point until) {
    std::lock_guard<std::mutex> lock(lock_);
    if (until == noticed_)
        return false;
    noticed_ = until;
    return true;
}

int account_pauses::streak() const {
    std::lock_guard<std::mutex> lock(lock_);
    return streak_;
}

} // namespace cli
