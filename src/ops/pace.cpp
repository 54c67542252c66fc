// How many folders a walk lists at once when the settings leave it open:
// the number grows while the service answers promptly and halves at the
// first sign of throttling, as a TCP sender's window does. A throttled
// answer (429, 503) is such a sign; so is one that took far longer than the
// quickest, since a host transport that waits out a Retry-After by itself
// passes on only the success that came after the wait.
#include <chrono>

#include "ops/ops.h"

namespace {

// An answer slower than three times the quickest one seen and this much
// more is a sign of throttling: a new connection's handshakes cost two or
// three round trips and a large page some milliseconds, while a pause the
// service asks for is a second or more.
constexpr auto SLOW_BY = std::chrono::milliseconds(500);

} // namespace

nimbus_pace::nimbus_pace(int start, int most)
    : limit_(start < most ? start : most), most_(most), since_halved_(most) {}

int nimbus_pace::limit() const {
    return limit_.load(std::memory_order_relaxed);
}

void nimbus_pace::answered(std::chrono::steady_clock::duration took, long status) {
    std::lock_guard<std::mutex> hold(m_);
    if (best_ == std::chrono::steady_clock::duration::zero() || took < best_)
        best_ = took;
    int limit = limit_.load(std::memory_order_relaxed);
    if (status == 429 || status == 503 || took > 3 * best_ + SLOW_BY) {
        // Once per round of answers: the answers already under way when
        // the first sign came were sent at the old pace.
        if (since_halved_ >= limit) {
            limit = limit > 1 ? limit / 2 : 1;
            cautious_ = true;
            since_halved_ = 0;
            prompt_ = 0;
        }
    } else if (limit < most_) {
        // Quickly up at first (one more per prompt answer), then, once
        // the service has pushed back, one more per round of answers.
        if (!cautious_ || ++prompt_ >= limit) {
            limit++;
            prompt_ = 0;
        }
    }
    if (since_halved_ < most_)
        since_halved_++;
    limit_.store(limit, std::memory_order_relaxed);
}
