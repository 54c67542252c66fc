// The pauses the requests of one account (one transport, curl_io.h) take
// together: after a throttled answer (429, 503) none of them goes until the
// pause is over, and while the service says its request budget is nearly
// spent they go one at a time, spread over what is left of its window.
#ifndef NIMBUS_TOOLS_THROTTLE_H
#define NIMBUS_TOOLS_THROTTLE_H

#include <chrono>
#include <mutex>
#include <string>

namespace cli {

constexpr double kMaxPause = 120;   // longest wait a Retry-After or a budget's reset gets
constexpr double kMaxBackoff = 32;  // longest backoff window without a Retry-After
constexpr double kBudgetWindow = 5; // the budget's reset when RateLimit-Reset is missing

// What an answer's RateLimit-Limit, RateLimit-Remaining and RateLimit-Reset
// say; -1 where a header is missing or not a plain number.
struct rate_budget {
    long limit = -1;
    long remaining = -1;
    long reset = -1; // seconds until the budget is whole again
};

// One such header's value as sent: 1 to 9 digits, blanks around them allowed.
bool budget_number(const std::string &raw, long *value);
rate_budget read_budget(const std::string &limit, const std::string &remaining,
                        const std::string &reset);

// Thread-safe. Times are passed in, so the arithmetic is tested without waiting.
class account_pauses {
  public:
    using clock = std::chrono::steady_clock;
    enum class cause { none, asked, backoff, budget };

    // max_backoff_s: the longest backoff window (kMaxBackoff at most).
    explicit account_pauses(double max_backoff_s = kMaxBackoff)
        : max_backoff_s_(max_backoff_s < kMaxBackoff ? max_backoff_s : kMaxBackoff) {}

    // A 429 or 503 (status) to a request sent at `sent` came back `now`. asked_s is
    // the service's Retry-After in seconds (capped by the caller), negative
    // when there was none; jitter is a draw from [0, 1). Returns the end of
    // the account's pause.
    clock::time_point throttled(int status, clock::time_point sent, clock::time_point now,
                                double asked_s, double jitter);
    // Any answer that is not throttled: the service took a request again.
    void answered(clock::time_point sent);
    // An answer's RateLimit headers.
    void budget(clock::time_point now, const rate_budget &b);

    // The pause under way (its end, which may have passed) and why.
    clock::time_point held(cause *why, int *status) const;
    // How long from now the account sends nothing more: what is left of the
    // pause under way, or of the wait for the next turn while the budget is
    // nearly spent; zero when a request may go now. A plain query, for
    // whoever answers a client "come back later".
    clock::duration left(clock::time_point now) const;
    // When a request may go while the budget is nearly spent: now when it is
    // not. The turn is taken only when it is at most `longest` away: a
    // caller that will not wait that long leaves it to the next request.
    clock::time_point turn(clock::time_point now, clock::duration longest);

    // True once per pause or budget window `until` ends: the one wait of
    // many that is announced on a terminal.
    bool first_notice(clock::time_point until);

    // Consecutive throttled answers (for tests).
    int streak() const;

  private:
    const double max_backoff_s_;
    mutable std::mutex lock_;
    int streak_ = 0;
    clock::time_point last_throttled_{}; // when the latest throttled answer came
    clock::time_point hold_{};           // no request before
    cause hold_cause_ = cause::none;
    int hold_status_ = 0;
    clock::time_point paced_until_{}; // the budget is whole again
    clock::duration spacing_{};       // between paced requests
    clock::time_point next_turn_{};
    clock::time_point noticed_{};
};

} // namespace cli

#endif
